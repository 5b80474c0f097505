import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  BYTE_KEYS_S, BYTE_KEYS_W, CARD_MEMBERS, CONTEXT_MEMBERS, decodeReaderStates, encodeReaderStates,
  fromByteList, fromMultiString, fromNumberText, handleFromReply, handleToKeys, resultName,
  toByteList, toMultiString,
} from '../encodings.js';

test('handles travel as count "p" and eight byte keys, byte 0 the least significant', () => {
  const handle = '0807060504030201';
  assert.deepEqual(handleToKeys(handle, BYTE_KEYS_S),
    { p: 8, x: 1, y: 2, z: 3, s: 4, l: 5, b: 6, h: 7, j: 8 });
  // Connect and release read bytes 3 to 7 from other letters: "s" is byte 5 there.
  assert.deepEqual(handleToKeys(handle, BYTE_KEYS_W),
    { p: 8, x: 1, y: 2, z: 3, w: 4, m: 5, s: 6, t: 7, k: 8 });
  for (const bad of ['', '080706050403020', '08070605040302011', '0807060504030G01', 7, null]) {
    assert.throws(() => handleToKeys(bad, BYTE_KEYS_S), TypeError, `accepted ${bad}`);
  }
});

test('handles are read from the context members and from the card members', () => {
  const context = { cbContext: '8', pbContext0: '3', pbContext1: '2', pbContext2: '1',
    pbContext3: '0', pbContext4: '0', pbContext5: '0', pbContext6: '0', pbContext7: '0' };
  assert.equal(handleFromReply(context, CONTEXT_MEMBERS), '0000000000010203');
  // The card handle's first byte has its own name; the others reuse the context's names.
  const card = { cbHandle: '8', pbHandlet0: '1', pbContext1: '0', pbContext2: '1', pbContext3: '0',
    pbContext4: '0', pbContext5: '0', pbContext6: '0', pbContext7: '255' };
  assert.equal(handleFromReply(card, CARD_MEMBERS), 'ff00000000010001');
  assert.throws(() => handleFromReply({ ...card, pbHandlet0: '256' }, CARD_MEMBERS), TypeError);
  assert.throws(() => handleFromReply({ ...card, pbContext3: undefined }, CARD_MEMBERS), TypeError);
  // A handle read from a reply goes back unchanged.
  const keys = handleToKeys(handleFromReply(card, CARD_MEMBERS), BYTE_KEYS_S);
  assert.deepEqual([keys.x, keys.y, keys.z, keys.s, keys.l, keys.b, keys.h, keys.j],
    [1, 0, 1, 0, 0, 0, 0, 255]);
});

test('byte lists', () => {
  const cases = [
    [[0, 10, 255], '0,10,255'],
    [[7], '7'],
    [[], 'NULL'],
  ];
  for (const [bytes, text] of cases) {
    assert.equal(toByteList(new Uint8Array(bytes)), text);
    assert.equal(toByteList(bytes), text);
    assert.deepEqual(fromByteList(text), new Uint8Array(bytes));
  }
  assert.equal(toByteList(null), 'NULL');
  for (const bad of [[256], [-1], [1.5], ['1']]) {
    assert.throws(() => toByteList(bad), TypeError, `accepted ${bad}`);
  }
  for (const bad of ['1,,2', '256', '1, 2', 'a', '1,2,']) {
    assert.throws(() => fromByteList(bad), TypeError, `accepted ${bad}`);
  }
});

test('status and number texts become unsigned codes with their names', () => {
  const cases = [
    ['0', 0, 'SCARD_S_SUCCESS'],
    ['-2146435043', 0x8010001d, 'SCARD_E_NO_SERVICE'],
    ['-2146434967', 0x80100069, 'SCARD_W_REMOVED_CARD'],
    ['-2146435062', 0x8010000a, 'SCARD_E_TIMEOUT'],
    ['-2147483648', 0x80000000, '0x80000000'],
    ['4294967295', 0xffffffff, '0xffffffff'],
  ];
  for (const [text, code, name] of cases) {
    assert.equal(fromNumberText(text), code, text);
    assert.equal(resultName(code), name, text);
  }
  assert.throws(() => fromNumberText('NULL'), TypeError);
});

test('multi-strings', () => {
  assert.deepEqual(fromMultiString(new Uint8Array([65, 66, 0, 67, 0, 0])), ['AB', 'C']);
  assert.deepEqual(fromMultiString(new Uint8Array([0])), []);
  assert.deepEqual(fromMultiString(new Uint8Array(0)), []);
  // Reader names are UTF-8.
  const name = 'Lecteur \u00e9 00 00';
  assert.deepEqual(fromMultiString(toMultiString([name, 'X'])), [name, 'X']);
  assert.deepEqual(toMultiString(['AB', 'C']), new Uint8Array([65, 66, 0, 67, 0, 0]));
  assert.throws(() => toMultiString(['']), TypeError);
  assert.throws(() => toMultiString(['a\u0000b']), TypeError);
});

test('reader-state records: 200 bytes with the fields at their offsets', () => {
  const bytes = encodeReaderStates([
    { reader: 'Test Reader 00 00', currentState: 0x12345678, userData: new Uint8Array([1, 2, 3, 4, 5, 6, 7, 8]) },
    { reader: '', currentState: 0x20, eventState: 0x10022, atr: new Uint8Array([0x3b, 0x00]) },
  ]);
  assert.equal(bytes.length, 400);
  assert.equal(new TextDecoder().decode(bytes.subarray(0, 17)), 'Test Reader 00 00');
  assert.equal(bytes[17], 0);
  assert.deepEqual([...bytes.subarray(128, 136)], [1, 2, 3, 4, 5, 6, 7, 8]);
  assert.deepEqual([...bytes.subarray(136, 144)], [0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0]);
  assert.deepEqual([...bytes.subarray(200 + 144, 200 + 148)], [0x22, 0x00, 0x01, 0x00]);
  assert.deepEqual([...bytes.subarray(200 + 152, 200 + 156)], [2, 0, 0, 0]);
  assert.deepEqual([...bytes.subarray(200 + 160, 200 + 162)], [0x3b, 0x00]);
  assert.ok(bytes.subarray(200, 200 + 128).every((b) => b === 0), 'empty name is all zero');

  const back = decodeReaderStates(bytes);
  assert.equal(back[0].reader, 'Test Reader 00 00');
  assert.equal(back[0].currentState, 0x12345678);
  assert.deepEqual([...back[0].userData], [1, 2, 3, 4, 5, 6, 7, 8]);
  assert.equal(back[1].reader, '');
  assert.equal(back[1].eventState, 0x10022);
  assert.deepEqual([...back[1].atr], [0x3b, 0x00]);

  // The host's record may say an ATR length beyond the field: never read past it.
  const long = new Uint8Array(200);
  long[152] = 200;
  assert.equal(decodeReaderStates(long)[0].atr.length, 36);
  assert.throws(() => decodeReaderStates(new Uint8Array(199)), TypeError);
  assert.throws(() => encodeReaderStates([{ reader: 'x'.repeat(128), currentState: 0 }]), TypeError);
  assert.throws(() => encodeReaderStates([{ reader: 'r', currentState: 0, atr: new Uint8Array(37) }]), TypeError);
});
