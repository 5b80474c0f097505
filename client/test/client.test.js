import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  createClient, INFINITE, SCARD_PROTOCOL_T1, SCARD_SCOPE_SYSTEM, SCARD_SHARE_SHARED,
  SCARD_STATE_UNAWARE, TesseraError,
} from '../tessera-smartcard.js';

// A port that records what the client sends (through JSON, as the browser does) and lets the
// test answer, stay silent or disconnect.
function fakePort() {
  const messageListeners = [];
  const disconnectListeners = [];
  return {
    sent: [],
    postMessage(message) { this.sent.push(JSON.parse(JSON.stringify(message))); },
    onMessage: { addListener: (f) => messageListeners.push(f) },
    onDisconnect: { addListener: (f) => disconnectListeners.push(f) },
    answer(message) { for (const f of messageListeners) f(message); },
    drop(message) { for (const f of disconnectListeners) f({ error: { message } }); },
    lastId() { return this.sent.at(-1).i; },
  };
}

const context = '0807060504030201';
const card = '00000000a0b0c0d0';
const contextS = { p: 8, x: 1, y: 2, z: 3, s: 4, l: 5, b: 6, h: 7, j: 8 };
const contextW = { p: 8, x: 1, y: 2, z: 3, w: 4, m: 5, s: 6, t: 7, k: 8 };
const cardS = { p: 8, x: 0xd0, y: 0xc0, z: 0xb0, s: 0xa0, l: 0, b: 0, h: 0, j: 0 };

// Every request carries all of its command's keys: the host keeps numeric keys from one request
// of a command to the next, so a key left out would silently take an earlier request's value.
const requests = [
  ['SCardAccessStartedEvent', [], { c: 103 }],
  ['SCardEstablishContext', [SCARD_SCOPE_SYSTEM], { c: 114, p: 2 }],
  ['SCardReleaseContext', [context], { c: 160, ...contextW }],
  ['SCardCancel', [context], { c: 108, ...contextS }],
  ['SCardListReaderGroups', [context], { c: 147, ...contextS }],
  ['SCardListReaders', [context], { c: 149, ...contextS, m: '', k: 0 }],
  ['SCardListReaders', [context, ['AB', 'C']], { c: 149, ...contextS, m: '65,66,0,67,0,0', k: 6 }],
  ['SCardConnect', [context, 'Test Reader 00 00', SCARD_SHARE_SHARED, 3],
    { c: 109, ...contextW, g: 'Test Reader 00 00', q: 2, b: 3 }],
  ['SCardReconnect', [card, 2, 3, 1], { c: 159, ...cardS, w: 2, m: 3, t: 1 }],
  ['SCardDisconnect', [card, 1], { c: 112, ...cardS, w: 1 }],
  ['SCardDisconnect', [card], { c: 112, ...cardS, w: 0 }],
  ['SCardBeginTransaction', [card], { c: 107, ...cardS }],
  ['SCardEndTransaction', [card], { c: 113, ...cardS, w: 0 }],
  ['SCardTransmit', [card, SCARD_PROTOCOL_T1, [0, 0xa4, 4, 0]],
    { c: 169, ...cardS, w: '2,0,0,0,8,0,0,0', n: 8, g: '0,164,4,0', q: 4, m: 'NULL', d: 0, f: 65538, t: 0 }],
  ['SCardTransmit', [card, new Uint8Array([1, 0, 0, 0, 8, 0, 0, 0]), new Uint8Array(0),
    { maxResponse: 258, receivePci: new Uint8Array(8) }],
    { c: 169, ...cardS, w: '1,0,0,0,8,0,0,0', n: 8, g: 'NULL', q: 0, m: '0,0,0,0,0,0,0,0', d: 8, f: 258, t: 0 }],
  ['SCardControl', [card, 0x42000d48], { c: 111, ...cardS, w: 0x42000d48, g: 'NULL', q: 0, m: 65536 }],
  ['SCardControl', [card, 1, [9, 8], { outputLength: 16 }], { c: 111, ...cardS, w: 1, g: '9,8', q: 2, m: 16 }],
  ['SCardGetAttrib', [card, 0x90303], { c: 122, ...cardS, g: 0x90303, q: 0, m: 4294967295 }],
  ['SCardGetAttrib', [card, 0x90303, { length: 0 }], { c: 122, ...cardS, g: 0x90303, q: 1, m: 0 }],
  ['SCardGetAttrib', [card, 0x90303, { length: 64 }], { c: 122, ...cardS, g: 0x90303, q: 0, m: 64 }],
  ['SCardStatus', [card], { c: 167, ...cardS, w: 4294967295, g: 36 }],
  ['SCardGetStatusChange', [context, 0, []], { c: 133, ...contextS, m: 0, k: '', w: 0 }],
];

test('each call sends its command code and every one of its keys', () => {
  for (const [name, args, expected] of requests) {
    const port = fakePort();
    const client = createClient(port, { timeoutMs: Infinity });
    client[name](...args).catch(() => {});
    assert.equal(port.sent.length, 1, name);
    const { i, ...rest } = port.sent[0];
    assert.equal(typeof i, 'string', name);
    assert.deepEqual(rest, expected, `${name}(${JSON.stringify(args)})`);
  }
});

test('reader states go out as 200-byte records with the count', () => {
  const port = fakePort();
  createClient(port, { timeoutMs: Infinity }).SCardGetStatusChange(context, 5000,
    [{ reader: 'R', currentState: SCARD_STATE_UNAWARE }, { reader: 'S', currentState: 0x22 }]).catch(() => {});
  const sent = port.sent[0];
  assert.equal(sent.w, 2);
  assert.equal(sent.m, 5000);
  const values = sent.k.split(',').map(Number);
  assert.equal(values.length, 400);
  assert.equal(values[0], 82);
  assert.equal(values[200], 83);
  assert.equal(values[336], 0x22);
});

const head = (i, name, result = '0') => ({ i, [name]: result, resp: '' });

test('replies are decoded into values', async () => {
  const cases = [
    ['SCardEstablishContext', [2], (i) => ({ ...head(i, 'SCardEstablishContext'), cbContext: '8',
      pbContext0: '3', pbContext1: '2', pbContext2: '1', pbContext3: '0', pbContext4: '0',
      pbContext5: '0', pbContext6: '0', pbContext7: '0' }),
    { context: '0000000000010203' }],
    ['SCardConnect', [context, 'R'], (i) => ({ ...head(i, 'SCardConnectA'), cbHandle: '8',
      pbHandlet0: '1', pbContext1: '0', pbContext2: '1', pbContext3: '0', pbContext4: '0',
      pbContext5: '0', pbContext6: '0', pbContext7: '0', dwActiveProtocol: '2' }),
    { card: '0000000000010001', activeProtocol: 2 }],
    ['SCardTransmit', [card, 2, [0]], (i) => ({ ...head(i, 'SCardTransmit'), pioRecvPci: 'NULL',
      cbPciLength: '0', pbRecvBuffer: '144,0', cbRecvLength: '2' }),
    { response: new Uint8Array([144, 0]), receivePci: null }],
    ['SCardListReaders', [context], (i) => ({ ...head(i, 'SCardListReadersA'), cchReaders: '6',
      mszReaders: '65,66,0,67,0,0' }), { readers: ['AB', 'C'] }],
    ['SCardListReaders', [context], (i) => ({ ...head(i, 'SCardListReadersA', '-2146435026'),
      cchReaders: '0', mszReaders: 'NULL' }),
    { readers: [], result: 0x8010002e, resultName: 'SCARD_E_NO_READERS_AVAILABLE', ok: false }],
    ['SCardListReaderGroups', [context], (i) => ({ ...head(i, 'SCardListReaderGroupsA'),
      mszGroups: '65,0,0', cchGroups: '3' }), { groups: ['A'] }],
    ['SCardStatus', [card], (i) => ({ ...head(i, 'SCardStatusA'), mszReaderNames: '65,66,0,0',
      cchReaderLen: '4', dwState: '52', dwProtocol: '2', pbAtr: '59,0', cbAtrLen: '2' }),
    { readerNames: ['AB'], state: 52, protocol: 2, atr: new Uint8Array([59, 0]) }],
    ['SCardControl', [card, 1], (i) => ({ ...head(i, 'SCardControl'), pvOutBuffer: '1,2',
      cbOutBufferSize: '2' }), { output: new Uint8Array([1, 2]) }],
    ['SCardGetAttrib', [card, 1], (i) => ({ ...head(i, 'SCardGetAttrib'), pbAttr: 'NULL',
      cbAttrLen: '33' }), { attribute: new Uint8Array(0), length: 33 }],
    ['SCardReconnect', [card], (i) => ({ ...head(i, 'SCardReconnect', '-2146434967'),
      dwActiveProtocol: '0' }),
    { activeProtocol: 0, result: 0x80100069, resultName: 'SCARD_W_REMOVED_CARD', ok: false }],
    ['SCardDisconnect', [card], (i) => head(i, 'SCardDisconnect'),
      { result: 0, resultName: 'SCARD_S_SUCCESS', ok: true }],
  ];
  for (const [name, args, reply, expected] of cases) {
    const port = fakePort();
    const pending = createClient(port)[name](...args);
    port.answer(reply(port.lastId()));
    const value = await pending;
    for (const [key, want] of Object.entries(expected)) {
      assert.deepEqual(value[key], want, `${name}: ${key}`);
    }
  }
});

test('reader states come back as objects', async () => {
  const port = fakePort();
  const pending = createClient(port).SCardGetStatusChange(context, 0, [{ reader: 'R', currentState: 0 }]);
  const record = new Array(200).fill(0);
  record[0] = 82;
  record[144] = 0x22; record[146] = 3;  // event state 0x30022: present, changed, count 3
  record[152] = 2; record[160] = 0x3b; record[161] = 0x8f;
  port.answer({ ...head(port.lastId(), 'SCardGetStatusChangeA'), rgReaderStates: record.join(','), cReaders: '1' });
  const { readerStates } = await pending;
  assert.equal(readerStates[0].reader, 'R');
  assert.equal(readerStates[0].eventState, 0x30022);
  assert.deepEqual([...readerStates[0].atr], [0x3b, 0x8f]);
});

test('a reply whose members disagree is refused, not half-decoded', async () => {
  const port = fakePort();
  const pending = createClient(port).SCardTransmit(card, 2, [0]);
  port.answer({ ...head(port.lastId(), 'SCardTransmit'), pioRecvPci: 'NULL', cbPciLength: '0',
    pbRecvBuffer: '1,2', cbRecvLength: '3' });
  await assert.rejects(pending, (e) => e instanceof TesseraError && e.reason === 'reply');
});

test('a call without answer times out and says so', async () => {
  const port = fakePort();
  const client = createClient(port, { timeoutMs: 30 });
  const started = Date.now();
  await assert.rejects(client.SCardStatus(card), (e) => {
    assert.equal(e.reason, 'timeout');
    assert.match(e.message, /SCardStatus: no reply .* within 30 ms/);
    return true;
  });
  assert.ok(Date.now() - started >= 25);
  assert.equal(client.pendingCount, 0);
  // Its late answer is dropped and the next call is matched by its own id.
  const next = client.SCardDisconnect(card);
  port.answer(head(port.sent[0].i, 'SCardStatusA'));
  port.answer(head(port.lastId(), 'SCardDisconnect'));
  assert.equal((await next).ok, true);
});

test('a request the host skipped fails as soon as a later one is answered', async () => {
  const port = fakePort();
  const client = createClient(port, { timeoutMs: 60000 });
  const first = client.SCardBeginTransaction(card);
  const second = client.SCardEndTransaction(card);
  port.answer(head(port.lastId(), 'SCardEndTransaction'));
  await assert.rejects(first, (e) => e.reason === 'skipped' && /skipped this one/.test(e.message));
  assert.equal((await second).ok, true);
});

test('the clock runs only for the request the host is working on', async () => {
  const port = fakePort();
  const client = createClient(port, { timeoutMs: 20 });
  const wait = client.SCardGetStatusChange(context, INFINITE, [{ reader: 'R', currentState: 0 }]);
  const queued = client.SCardStatus(card);
  await new Promise((r) => setTimeout(r, 60));
  assert.equal(client.pendingCount, 2, 'nothing timed out behind an endless wait');
  const [waitId, statusId] = port.sent.map((m) => m.i);
  port.answer({ ...head(waitId, 'SCardGetStatusChangeA'), rgReaderStates: new Array(200).fill(0).join(','), cReaders: '1' });
  await wait;
  // Now the queued request is the host's, and its clock starts.
  await assert.rejects(queued, (e) => e.reason === 'timeout');
  assert.ok(statusId);
});

test('a closed port fails what is open and what comes later, with the browser\'s reason', async () => {
  const port = fakePort();
  const client = createClient(port);
  const open = client.SCardListReaders(context);
  port.drop('Specified native messaging host not found.');
  await assert.rejects(open, (e) => e.reason === 'disconnected' && /host not found/.test(e.message));
  await assert.rejects(client.SCardEstablishContext(2), (e) => e.reason === 'disconnected');
  assert.equal(port.sent.length, 1, 'nothing sent after the port closed');
});

test('bad arguments fail before anything is sent', async () => {
  const cases = [
    ['SCardReleaseContext', ['1234']],
    ['SCardConnect', [context, '']],
    ['SCardConnect', [context, 'R', 2.5]],
    ['SCardTransmit', [card, 2, [256]]],
    ['SCardTransmit', [card, 2, [1], { maxResponse: -5e9 }]],
    ['SCardGetStatusChange', [context, 0, [{ reader: 'x'.repeat(200), currentState: 0 }]]],
    ['SCardListReaders', [context, ['']]],
  ];
  for (const [name, args] of cases) {
    const port = fakePort();
    await assert.rejects(createClient(port)[name](...args),
      (e) => e instanceof TesseraError && e.reason === 'argument', name);
    assert.equal(port.sent.length, 0, name);
  }
});

test('close() settles every open call at once, also an endless wait, and refuses later calls', async () => {
  const port = fakePort();
  let disconnects = 0;
  port.disconnect = () => { disconnects++; };
  const client = createClient(port);
  const wait = client.SCardGetStatusChange(context, INFINITE, [{ reader: 'R', currentState: 0 }]);
  const queued = client.SCardListReaders(context);
  client.close();
  assert.equal(client.closed, true);
  assert.equal(client.pendingCount, 0);
  assert.equal(disconnects, 1, 'the port is closed, so the host sees end of input');
  for (const call of [wait, queued, client.SCardStatus(card)]) {
    await assert.rejects(call, (e) => e instanceof TesseraError && e.reason === 'disconnected');
  }
  port.drop('Native host has exited.');  // a late notice changes nothing
  assert.equal(port.sent.length, 2);
});
