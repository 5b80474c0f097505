// The client against the real host program (over the fake smart-card service, which answers
// every call with success): every request the client builds must be one the host reads and
// answers, since the host answers nothing to a request with a key of the wrong type.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createClient, SCARD_PROTOCOL_T1 } from '../tessera-smartcard.js';
import { spawnHostPort } from '../node-port.js';

const hostPath = process.env.TESSERA_FAKE_HOST;

test('the host answers every call the client makes', { skip: !hostPath && 'TESSERA_FAKE_HOST not set' }, async () => {
  const port = spawnHostPort(hostPath);
  const pcsc = createClient(port, { timeoutMs: 5000 });
  const context = '0000000000000001';
  const card = '0000000000000002';
  const calls = [
    () => pcsc.SCardAccessStartedEvent(),
    () => pcsc.SCardEstablishContext(2),
    () => pcsc.SCardListReaderGroups(context),
    () => pcsc.SCardListReaders(context),
    () => pcsc.SCardListReaders(context, ['SCard$DefaultReaders']),
    () => pcsc.SCardConnect(context, 'Reader \u00e9 "quoted" \\ 00'),
    () => pcsc.SCardReconnect(card),
    () => pcsc.SCardBeginTransaction(card),
    () => pcsc.SCardTransmit(card, SCARD_PROTOCOL_T1, [0, 0xa4, 4, 0, 0]),
    () => pcsc.SCardTransmit(card, SCARD_PROTOCOL_T1, [], { receivePci: new Uint8Array(8) }),
    () => pcsc.SCardControl(card, 0x42000d48, [1, 2, 3]),
    () => pcsc.SCardGetAttrib(card, 0x90303),
    () => pcsc.SCardGetAttrib(card, 0x90303, { length: 0 }),
    () => pcsc.SCardStatus(card),
    () => pcsc.SCardGetStatusChange(context, 0, [{ reader: 'A', currentState: 0 }, { reader: 'B', currentState: 0x10 }]),
    () => pcsc.SCardGetStatusChange(context, 0, []),
    () => pcsc.SCardEndTransaction(card),
    () => pcsc.SCardDisconnect(card),
    () => pcsc.SCardCancel(context),
    () => pcsc.SCardReleaseContext(context),
  ];
  // All at once: the host answers in order and the client matches replies by id.
  const results = await Promise.all(calls.map((call) => call()));
  for (const [index, value] of results.entries()) {
    assert.equal(value.resultName, 'SCARD_S_SUCCESS', `call ${index}`);
  }
  assert.equal(results[15].readerStates.length, 0);
  assert.equal(results[14].readerStates.length, 2);
  assert.equal(results[14].readerStates[1].reader, 'B');
  const exited = new Promise((resolve) => port.child.on('exit', resolve));
  pcsc.close();
  assert.equal(await exited, 0, 'the host ends at end of input');
});

test('a host that does not exit at end of input is ended after the grace', async () => {
  // sleep reads no input, as the host does while it is blocked in a wait.
  const port = spawnHostPort('sleep', { args: ['30'], exitGraceMs: 50 });
  const exited = new Promise((resolve) => port.child.on('exit', (code, signal) => resolve(signal)));
  port.disconnect();
  assert.equal(await exited, 'SIGTERM');
});
