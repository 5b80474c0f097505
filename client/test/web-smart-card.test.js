// The Web Smart Card API layer over scripted host processes: the draft's mapping rules that a
// real service cannot be made to show (every failure code, every state flag), the
// one-operation-at-a-time rule and aborts.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  createSmartCard, connectionState, SmartCardError,
} from '../web-smart-card.js';
import {
  decodeReaderStates, encodeReaderStates, fromByteList, RESULT_CODES as C, toByteList,
} from '../tessera-smartcard.js';

const CONTEXT = { cbContext: '8', pbContext0: '1', pbContext1: '0', pbContext2: '0', pbContext3: '0',
  pbContext4: '0', pbContext5: '0', pbContext6: '0', pbContext7: '0' };
const CARD = { cbHandle: '8', pbHandlet0: '2', pbContext1: '0', pbContext2: '0', pbContext3: '0',
  pbContext4: '0', pbContext5: '0', pbContext6: '0', pbContext7: '0' };
const bytes = (text) => toByteList(new TextEncoder().encode(text));

// What each command answers unless a test says otherwise: [result member, members].
const ANSWERS = {
  114: () => ['SCardEstablishContext', CONTEXT],
  149: () => ['SCardListReadersA', { mszReaders: `${bytes('R')},0,0`, cchReaders: '3' }],
  109: () => ['SCardConnectA', { ...CARD, dwActiveProtocol: '2' }],
  169: () => ['SCardTransmit', { pioRecvPci: 'NULL', cbPciLength: '0', pbRecvBuffer: '144,0', cbRecvLength: '2' }],
  167: () => ['SCardStatusA', { mszReaderNames: `${bytes('R')},0,0`, cchReaderLen: '3', dwState: '84',
    dwProtocol: '2', pbAtr: '59,0', cbAtrLen: '2' }],
  107: () => ['SCardBeginTransaction', {}],
  113: () => ['SCardEndTransaction', {}],
  112: () => ['SCardDisconnect', {}],
  133: (m) => ['SCardGetStatusChangeA', { rgReaderStates: m.k, cReaders: String(m.w) }],
};

// Host processes as the tests script them. script(message, portIndex) returns undefined for the
// default answer, null to stay silent, or {result, members}.
function scriptedHost(script = () => undefined) {
  const ports = [];
  const connectPort = () => {
    const index = ports.length;
    const messageListeners = [];
    const port = {
      sent: [], disconnected: false,
      postMessage(message) {
        const m = JSON.parse(JSON.stringify(message));
        port.sent.push(m);
        const custom = script(m, index);
        if (custom === null) return;
        const [member, members] = ANSWERS[m.c](m);
        const result = String((custom?.result ?? 0) | 0);
        const reply = { i: m.i, [member]: result, resp: '', ...members, ...(custom?.members ?? {}) };
        queueMicrotask(() => { if (!port.disconnected) for (const f of messageListeners) f(reply); });
      },
      onMessage: { addListener: (f) => messageListeners.push(f) },
      onDisconnect: { addListener() {} },
      disconnect() { port.disconnected = true; },
    };
    ports.push(port);
    return port;
  };
  return { ports, connectPort };
}

async function connected(script) {
  const host = scriptedHost(script);
  const smartCard = createSmartCard({ connectPort: host.connectPort, platform: 'pcsclite' });
  const context = await smartCard.establishContext();
  return { host, smartCard, context };
}

test('each PC/SC failure rejects with the draft\'s exception, naming the PC/SC code', async () => {
  const cases = [
    ['SCARD_E_NO_SERVICE', 'no-service'], ['SCARD_E_NO_SMARTCARD', 'no-smartcard'],
    ['SCARD_E_NOT_READY', 'not-ready'], ['SCARD_E_NOT_TRANSACTED', 'not-transacted'],
    ['SCARD_E_PROTO_MISMATCH', 'proto-mismatch'], ['SCARD_E_READER_UNAVAILABLE', 'reader-unavailable'],
    ['SCARD_W_REMOVED_CARD', 'removed-card'], ['SCARD_W_RESET_CARD', 'reset-card'],
    ['SCARD_E_SERVER_TOO_BUSY', 'server-too-busy'], ['SCARD_E_SHARING_VIOLATION', 'sharing-violation'],
    ['SCARD_E_SYSTEM_CANCELLED', 'system-cancelled'], ['SCARD_E_UNKNOWN_READER', 'unknown-reader'],
    ['SCARD_W_UNPOWERED_CARD', 'unpowered-card'], ['SCARD_W_UNRESPONSIVE_CARD', 'unresponsive-card'],
    ['SCARD_W_UNSUPPORTED_CARD', 'unsupported-card'], ['SCARD_E_UNSUPPORTED_FEATURE', 'unsupported-feature'],
    ['SCARD_E_INVALID_PARAMETER', null, TypeError],
    ['SCARD_E_INVALID_HANDLE', null, 'InvalidStateError'],
    ['SCARD_E_SERVICE_STOPPED', null, 'InvalidStateError'],
    ['SCARD_P_SHUTDOWN', null, 'AbortError'],
    ['SCARD_E_TIMEOUT', null, 'UnknownError'],
    ['SCARD_F_COMM_ERROR', null, 'UnknownError'],
  ];
  for (const [code, responseCode, kind] of cases) {
    const { context } = await connected((m) => (m.c === 109 ? { result: C[code] } : undefined));
    await assert.rejects(context.connect('R', 'shared'), (e) => {
      assert.match(e.message, new RegExp(code), code);
      if (responseCode) {
        assert.ok(e instanceof SmartCardError && e instanceof DOMException, code);
        assert.equal(e.name, 'SmartCardError', code);
        assert.equal(e.responseCode, responseCode, code);
      } else if (kind === TypeError) {
        assert.ok(e instanceof TypeError, code);
      } else {
        assert.ok(e instanceof DOMException && !(e instanceof SmartCardError), code);
        assert.equal(e.name, kind, code);
      }
      return true;
    });
    // The context stays usable after a failure.
    assert.deepEqual(await context.listReaders(), ['R'], code);
  }
});

test('no readers is an empty list, not an error', async () => {
  const { context } = await connected((m) => (m.c === 149
    ? { result: C.SCARD_E_NO_READERS_AVAILABLE, members: { mszReaders: 'NULL', cchReaders: '0' } } : undefined));
  assert.deepEqual(await context.listReaders(), []);
});

test('reader state flags go out and come back bit by bit', async () => {
  const inFlags = [['unaware', 0], ['ignore', 0x1], ['unavailable', 0x8], ['empty', 0x10], ['present', 0x20],
    ['exclusive', 0x80], ['inuse', 0x100], ['mute', 0x200], ['unpowered', 0x400]];
  const outFlags = [['ignore', 0x1], ['changed', 0x2], ['unknown', 0x4], ['unavailable', 0x8], ['empty', 0x10],
    ['present', 0x20], ['exclusive', 0x80], ['inuse', 0x100], ['mute', 0x200], ['unpowered', 0x400]];
  let eventState = 0;
  const { host, context } = await connected((m) => {
    if (m.c !== 133) return undefined;
    const states = decodeReaderStates(fromByteList(m.k)).map((s) => ({ ...s, eventState, atr: new Uint8Array([0x3b, 2]) }));
    return { members: { rgReaderStates: toByteList(encodeReaderStates(states)) } };
  });
  for (const [name, bit] of inFlags) {
    await context.getStatusChange([{ readerName: 'R', currentState: { [name]: true }, currentCount: 7 }], { timeout: 5 });
    const wait = host.ports[1].sent.at(-1);
    assert.equal(wait.m, 5, 'timeout in ms');
    assert.equal(decodeReaderStates(fromByteList(wait.k))[0].currentState, (bit | (7 << 16)) >>> 0, name);
  }
  for (const [name, bit] of outFlags) {
    eventState = (bit | (3 << 16)) >>> 0;
    const [out] = await context.getStatusChange([{ readerName: 'R', currentState: {} }]);
    assert.equal(out.readerName, 'R');
    assert.equal(out.eventCount, 3, name);
    assert.deepEqual(Object.keys(out.eventState).filter((k) => out.eventState[k]), [name]);
    assert.deepEqual([...new Uint8Array(out.answerToReset)], [0x3b, 2]);
  }
  assert.equal(host.ports[1].sent.at(-1).m, 0xffffffff, 'no timeout: no limit');
});

test('a context runs one operation at a time; a disconnected connection refuses calls', async () => {
  const { host, context } = await connected((m, port) => (port === 1 && m.c === 133 ? null : undefined));
  const controller = new AbortController();
  const wait = context.getStatusChange([{ readerName: 'R', currentState: {} }], { signal: controller.signal });
  await new Promise((resolve) => setTimeout(resolve, 10));
  await assert.rejects(context.listReaders(), { name: 'InvalidStateError' });
  await assert.rejects(context.connect('R', 'shared'), { name: 'InvalidStateError' });
  await assert.rejects(context.getStatusChange([]), { name: 'InvalidStateError' });
  assert.equal(host.ports[0].sent.length, 1, 'nothing but the context reached the call port');
  controller.abort();
  await assert.rejects(wait, { name: 'AbortError' });

  const other = await connected();
  const { connection, activeProtocol } = await other.context.connect('R', 'shared', { preferredProtocols: ['t0', 't1'] });
  assert.equal(activeProtocol, 't1');
  assert.equal(other.host.ports[0].sent.at(-1).b, 3);
  assert.deepEqual([...new Uint8Array(await connection.transmit(new Uint8Array([0, 0xa4, 4, 0])))], [144, 0]);
  const transmit = connection.transmit([0]);
  await assert.rejects(connection.status(), { name: 'InvalidStateError' });
  await transmit;
  assert.deepEqual(await connection.status(),
    { readerName: 'R', state: 't1', answerToReset: new Uint8Array([59, 0]).buffer });
  await assert.rejects(connection.setAttribute(1, new Uint8Array(1)), { name: 'NotSupportedError' });
  await connection.disconnect('eject');
  assert.equal(other.host.ports[0].sent.at(-1).w, 3);
  await assert.rejects(connection.transmit([0]), { name: 'InvalidStateError' });
  await assert.rejects(connection.disconnect(), { name: 'InvalidStateError' });
});

test('a transaction ends with the callback\'s disposition, "reset" by default or on error', async () => {
  const { host, context } = await connected();
  const { connection } = await context.connect('R', 'shared');
  const ends = () => host.ports[0].sent.filter((m) => m.c === 113).map((m) => m.w);
  await connection.startTransaction(async () => 'leave');
  await connection.startTransaction(async () => undefined);
  const failure = new Error('callback failed');
  await assert.rejects(connection.startTransaction(async () => { throw failure; }), (e) => e === failure);
  assert.deepEqual(ends(), [0, 1, 1]);
  await connection.startTransaction(async () => {
    await assert.rejects(context.connect('R', 'shared'), { name: 'InvalidStateError' });
    await connection.transmit([0]);
    return 'unpower';
  });
  assert.deepEqual(ends(), [0, 1, 1, 2]);
  // A call still running when the callback settles: the end waits for it, as the draft says.
  let late;
  await connection.startTransaction(async () => { late = connection.transmit([0]); return 'eject'; });
  assert.deepEqual([...new Uint8Array(await late)], [144, 0]);
  assert.deepEqual(ends(), [0, 1, 1, 2, 3]);
  await context.connect('R', 'shared');  // the reader is free again
});

test('an aborted wait rejects at once, ends its host process and leaves the context usable', async () => {
  const { host, smartCard, context } = await connected((m, port) => (m.c === 133 && port === 1 ? null : undefined));
  const controller = new AbortController();
  const wait = context.getStatusChange([{ readerName: 'R', currentState: { empty: true } }], { signal: controller.signal });
  await new Promise((resolve) => setTimeout(resolve, 10));
  controller.abort();
  await assert.rejects(wait, { name: 'AbortError' });
  assert.equal(host.ports[1].disconnected, true, 'the wait port is closed');
  assert.equal(host.ports[0].disconnected, false);
  assert.deepEqual(await context.listReaders(), ['R']);
  const already = new AbortController();
  already.abort();
  await assert.rejects(context.getStatusChange([], { signal: already.signal }), { name: 'AbortError' });
  const [out] = await context.getStatusChange([{ readerName: 'R', currentState: {} }], { timeout: 0 });
  assert.equal(out.readerName, 'R');
  assert.equal(host.ports.length, 3, 'the next wait opened a new port');

  const pending = context.getStatusChange([]);
  smartCard.close();
  await assert.rejects(pending);
  assert.ok(host.ports.every((p) => p.disconnected), 'close ends every port');
  await assert.rejects(smartCard.establishContext(), { name: 'InvalidStateError' });
});

test('connection states from pcsc-lite bits and WinSCard numbers', () => {
  const cases = [
    [0x02, 0, 'pcsclite', 'absent'], [0x04, 0, 'pcsclite', 'present'], [0x0c, 0, 'pcsclite', 'swallowed'],
    [0x14, 0, 'pcsclite', 'powered'], [0x34, 0, 'pcsclite', 'negotiable'], [0x34, 2, 'pcsclite', 't1'],
    [0x14, 1, 'pcsclite', 't0'], [0x04, 2, 'pcsclite', 'present'], [0x54, 1, 'pcsclite', 't0'],
    [0x74, 2, 'pcsclite', 't1'], [0x54, 4, 'pcsclite', 'raw'], [0x54, 0, 'pcsclite', undefined],
    [0x01, 0, 'pcsclite', undefined],
    [1, 0, 'windows', 'absent'], [2, 0, 'windows', 'present'], [3, 0, 'windows', 'swallowed'],
    [4, 0, 'windows', 'powered'], [5, 0, 'windows', 'negotiable'], [6, 2, 'windows', 't1'],
    [6, 0x10000, 'windows', 'raw'], [0, 0, 'windows', undefined],
  ];
  for (const [state, protocol, platform, want] of cases) {
    assert.equal(connectionState(state, protocol, platform), want, `${platform} ${state} ${protocol}`);
  }
});

test('watchReaders reports readers and cards as they come and go', async () => {
  let readers = ['A'];
  let step = 0;
  const { smartCard } = await connected((m, port) => {
    if (m.c === 149) return { members: { mszReaders: `${readers.map((r) => `${bytes(r)},0`).join(',')},0` } };
    if (m.c !== 133) return undefined;
    step++;
    const states = decodeReaderStates(fromByteList(m.k)).map((s) => {
      let eventState = s.currentState;
      if (s.reader === 'A' && step === 1) eventState = 0x10022;  // card in
      if (s.reader === '\\\\?PnP?\\Notification' && step === 2) { readers = ['A', 'B']; eventState = 0x10002; }
      if (s.reader === 'A' && step === 3) eventState = 0x20012;  // card out
      return { ...s, eventState, atr: s.reader === 'A' && step === 1 ? new Uint8Array([0x3b, 1]) : new Uint8Array(0) };
    });
    return step > 3 ? null : { members: { rgReaderStates: toByteList(encodeReaderStates(states)) } };
  });
  const controller = new AbortController();
  const events = [];
  for await (const event of smartCard.watchReaders({ signal: controller.signal })) {
    events.push([event.type, event.readerName, [...new Uint8Array(event.answerToReset)]]);
    if (events.length === 4) setTimeout(() => controller.abort(), 10);
  }
  assert.deepEqual(events, [
    ['added', 'A', []], ['inserted', 'A', [0x3b, 1]], ['added', 'B', []], ['ejected', 'A', []],
  ]);
});
