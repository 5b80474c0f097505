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

// The Web Smart Card layer through real host processes, pcscd and the virtual card: run by
// tests/integration/run-in-rig.sh with TESSERA_HOST and TESSERA_VCARD (CTest: client.rig).
const rigReady = process.env.TESSERA_RIG === '1' && process.env.TESSERA_HOST && process.env.TESSERA_VCARD;

test('the Web Smart Card API on the real stack', { skip: !rigReady && 'not in the rig' }, async () => {
  const { spawn } = await import('node:child_process');
  const { createInterface } = await import('node:readline');
  const { createSmartCard } = await import('../web-smart-card.js');
  const [reader0, reader1] = [process.env.TESSERA_READER_0, process.env.TESSERA_READER_1];
  const vcard = spawn(process.env.TESSERA_VCARD, ['--reader', '0', '--stdin', '--quiet'],
    { stdio: ['pipe', 'pipe', 'inherit'] });
  const said = [];
  createInterface({ input: vcard.stdout }).on('line', (line) => said.push(line));
  const ports = [];
  const smartCard = createSmartCard({
    connectPort: () => { const p = spawnHostPort(process.env.TESSERA_HOST); ports.push(p); return p; },
  });
  try {
    const context = await smartCard.establishContext();
    assert.deepEqual(await context.listReaders(), [reader0, reader1]);

    const waitFor = async (flag, from) => {
      for (;;) {
        const [s] = await context.getStatusChange([{ readerName: reader0, ...from }], { timeout: 10000 });
        if (s.eventState[flag]) return s;
        from = { currentState: { present: s.eventState.present, empty: s.eventState.empty }, currentCount: s.eventCount };
      }
    };
    const start = await waitFor('present', { currentState: { unaware: true } });
    const seen = { currentState: { present: true }, currentCount: start.eventCount };
    vcard.stdin.write('remove\n');
    const out = await waitFor('empty', seen);
    vcard.stdin.write('insert\n');
    const back = await waitFor('present', { currentState: { empty: true }, currentCount: out.eventCount });
    assert.ok(back.answerToReset.byteLength > 0, 'the ATR comes with the card');

    // An endless wait, aborted: it has settled before the next turn of the event loop, its
    // host process ends, and the context answers the next call.
    const controller = new AbortController();
    const endless = context.getStatusChange([{ readerName: reader1, currentState: { empty: true } }],
      { signal: controller.signal });
    let settled = false;
    endless.catch(() => {}).finally(() => { settled = true; });
    await new Promise((resolve) => setTimeout(resolve, 300));
    const waitPort = ports.at(-1);
    assert.equal(settled, false, 'the wait blocks');
    controller.abort();
    await new Promise((resolve) => setImmediate(resolve));
    assert.equal(settled, true, 'the abort settled the wait at once');
    await assert.rejects(endless, { name: 'AbortError' });
    if (waitPort.child.exitCode === null) await new Promise((resolve) => waitPort.child.once('exit', resolve));
    assert.deepEqual(await context.listReaders(), [reader0, reader1]);
    const [again] = await context.getStatusChange([{ readerName: reader0, currentState: { unaware: true } }], { timeout: 0 });
    assert.equal(again.eventState.present, true, 'a new wait port after the abort');

    const { connection, activeProtocol } = await context.connect(reader0, 'shared', { preferredProtocols: ['t0', 't1'] });
    assert.ok(['t0', 't1'].includes(activeProtocol));
    await connection.startTransaction(async () => {
      const response = await connection.transmit(new Uint8Array([0x00, 0xb0, 0x00, 0x00, 0x04]));
      assert.deepEqual([...new Uint8Array(response)], [0, 1, 2, 3, 0x90, 0]);
      return 'leave';
    });
    const status = await connection.status();
    assert.equal(status.readerName, reader0);
    assert.equal(status.state, activeProtocol);
    assert.deepEqual([...new Uint8Array(status.answerToReset)], [...new Uint8Array(back.answerToReset)]);
    await connection.disconnect();
    await assert.rejects(connection.transmit([0, 0xb0, 0, 0, 4]), { name: 'InvalidStateError' });
    await assert.rejects(context.connect(reader1, 'shared', { preferredProtocols: ['t0', 't1'] }),
      (e) => e.name === 'SmartCardError' && e.responseCode === 'no-smartcard');

    // Reader events through the plug-and-play pseudo-reader: the start, then the card leaving.
    const watch = new AbortController();
    const events = [];
    for await (const event of smartCard.watchReaders({ signal: watch.signal })) {
      events.push(`${event.type} ${event.readerName}`);
      if (events.length === 3) vcard.stdin.write('remove\n');
      if (events.length === 4) watch.abort();
    }
    assert.deepEqual(events, [`added ${reader0}`, `added ${reader1}`, `inserted ${reader0}`, `ejected ${reader0}`]);
  } finally {
    smartCard.close();
    vcard.stdin.end('quit\n');
  }
  const ended = (p) => p.child.exitCode !== null || p.child.signalCode !== null;
  const allEnded = Promise.all(ports.map((p) => (ended(p) ? null : new Promise((resolve) => p.child.once('exit', resolve)))));
  let timer;
  await Promise.race([allEnded, new Promise((resolve) => { timer = setTimeout(resolve, 5000); })]);
  clearTimeout(timer);
  assert.equal(ports.length, 5, 'the context\'s call port and two wait ports one after the other; two of the watch');
  assert.ok(ports.every(ended), 'no host process left');
});
