// The Web Smart Card API (the WICG draft behind navigator.smartCard) over the tessera-smartcard
// host, for extensions and Node. No dependencies; builds on the PC/SC client in
// tessera-smartcard.js.
//
//   import { createSmartCard } from './web-smart-card.js';
//   const smartCard = createSmartCard();          // ports from runtime.connectNative(HOST_NAME)
//   const context = await smartCard.establishContext();
//   const [reader] = await context.listReaders();
//   const { connection } = await context.connect(reader, 'shared', { preferredProtocols: ['t0', 't1'] });
//   const response = await connection.transmit(new Uint8Array([0x00, 0xa4, 0x04, 0x00]));
//   await connection.disconnect();
//   smartCard.close();                            // ends every host process it started
//
// Concurrency. The host answers one request at a time and reads nothing while a call blocks
// (a status-change wait, a transaction that waits for another one), so it has no way to cancel.
// Each context therefore owns two host processes:
//   - the call port: establishes the context and serves every ordinary call of the context and
//     of its connections, one after another;
//   - the wait port: opened on the context's first getStatusChange, with its own PC/SC context,
//     and used only for waits.
// Aborting a wait closes the wait port: its promise rejects at once with the signal's reason (an
// "AbortError" DOMException by default), the host process is ended (end of input, then killed by
// the port when it does not exit: it is blocked in the wait), and the next wait opens a new one.
// The context stays usable, because its connections live on the call port. As in the draft a
// context runs one operation at a time: a call while another one of the same context is in
// progress rejects with "InvalidStateError". Contexts never share a process, so one context's
// wait never holds up another context's calls. close() of the manager (or of a context) ends
// every port it opened, so no host process outlives them.

import {
  createClient, HOST_NAME, INFINITE, PNP_NOTIFICATION, RESULT_CODES, SCARD_SCOPE_SYSTEM,
  SCARD_SHARE_DIRECT, SCARD_SHARE_EXCLUSIVE, SCARD_SHARE_SHARED,
} from './tessera-smartcard.js';

const C = RESULT_CODES;

/** The draft's responseCode for each PC/SC code that has one. */
export const RESPONSE_CODES = Object.freeze({
  [C.SCARD_E_NO_SERVICE]: 'no-service',
  [C.SCARD_E_NO_SMARTCARD]: 'no-smartcard',
  [C.SCARD_E_NOT_READY]: 'not-ready',
  [C.SCARD_E_NOT_TRANSACTED]: 'not-transacted',
  [C.SCARD_E_PROTO_MISMATCH]: 'proto-mismatch',
  [C.SCARD_E_READER_UNAVAILABLE]: 'reader-unavailable',
  [C.SCARD_W_REMOVED_CARD]: 'removed-card',
  [C.SCARD_W_RESET_CARD]: 'reset-card',
  [C.SCARD_E_SERVER_TOO_BUSY]: 'server-too-busy',
  [C.SCARD_E_SHARING_VIOLATION]: 'sharing-violation',
  [C.SCARD_E_SYSTEM_CANCELLED]: 'system-cancelled',
  [C.SCARD_E_UNKNOWN_READER]: 'unknown-reader',
  [C.SCARD_W_UNPOWERED_CARD]: 'unpowered-card',
  [C.SCARD_W_UNRESPONSIVE_CARD]: 'unresponsive-card',
  [C.SCARD_W_UNSUPPORTED_CARD]: 'unsupported-card',
  [C.SCARD_E_UNSUPPORTED_FEATURE]: 'unsupported-feature',
});

/** A PC/SC failure with a name in the draft. */
export class SmartCardError extends DOMException {
  #responseCode;
  constructor(message = '', options) {
    super(message, 'SmartCardError');
    if (!options || typeof options.responseCode !== 'string') {
      throw new TypeError('SmartCardError: options.responseCode is required');
    }
    this.#responseCode = options.responseCode;
  }
  get responseCode() { return this.#responseCode; }
}

/**
 * The exception the draft gives for a PC/SC result. Its message names the PC/SC code, also
 * where the draft has no name for it ("UnknownError").
 * @param {{result: number, resultName: string}} r
 * @param {string} call
 */
export function exceptionFor(r, call) {
  const hex = `0x${(r.result >>> 0).toString(16).padStart(8, '0')}`;
  const message = `${call}: ${r.resultName} (${hex})`;
  const responseCode = RESPONSE_CODES[r.result >>> 0];
  if (responseCode) return new SmartCardError(message, { responseCode });
  switch (r.result >>> 0) {
    case C.SCARD_E_INVALID_PARAMETER: return new TypeError(message);
    case C.SCARD_E_INVALID_HANDLE:
    case C.SCARD_E_SERVICE_STOPPED: return new DOMException(message, 'InvalidStateError');
    case C.SCARD_P_SHUTDOWN: return new DOMException(message, 'AbortError');
    default: return new DOMException(message, 'UnknownError');
  }
}

const FLAGS_IN = [
  ['unaware', 0x0000], ['ignore', 0x0001], ['unavailable', 0x0008], ['empty', 0x0010],
  ['present', 0x0020], ['exclusive', 0x0080], ['inuse', 0x0100], ['mute', 0x0200], ['unpowered', 0x0400],
];
const FLAGS_OUT = [
  ['ignore', 0x0001], ['changed', 0x0002], ['unavailable', 0x0008], ['unknown', 0x0004],
  ['empty', 0x0010], ['present', 0x0020], ['exclusive', 0x0080], ['inuse', 0x0100],
  ['mute', 0x0200], ['unpowered', 0x0400],
];

/** SmartCardReaderStateFlagsIn and currentCount to the PC/SC dwCurrentState. */
export function flagsToState(flags = {}, count = 0) {
  let state = 0;
  for (const [name, bit] of FLAGS_IN) if (flags[name]) state |= bit;
  if (!Number.isInteger(count) || count < 0 || count > 0xffff) {
    throw new TypeError(`currentCount is not a 16-bit count: ${count}`);
  }
  return (state | (count << 16)) >>> 0;
}

/** A PC/SC dwEventState to SmartCardReaderStateFlagsOut. */
export function stateToFlags(state) {
  const flags = {};
  for (const [name, bit] of FLAGS_OUT) flags[name] = (state & bit) === bit;
  return flags;
}

// SCARD_PROTOCOL_RAW is 4 in pcsc-lite and 0x10000 in WinSCard.
const PROTOCOLS = { t0: 1, t1: 2, raw: 4 };
const RAW_WINDOWS = 0x10000;
function protocolName(value) {
  if (value === 1) return 't0';
  if (value === 2) return 't1';
  if (value === 4 || value === RAW_WINDOWS) return 'raw';
  return undefined;
}
function protocolValue(name, platform) {
  if (name === 'raw') return platform === 'windows' ? RAW_WINDOWS : 4;
  const v = PROTOCOLS[name];
  if (v === undefined) throw new TypeError(`not a SmartCardProtocol: ${name}`);
  return v;
}

const ACCESS = { shared: SCARD_SHARE_SHARED, exclusive: SCARD_SHARE_EXCLUSIVE, direct: SCARD_SHARE_DIRECT };
const DISPOSITIONS = { leave: 0, reset: 1, unpower: 2, eject: 3 };

/**
 * SCardStatus's dwState to SmartCardConnectionState. pcsc-lite sets bits (the highest one is
 * the most advanced state); WinSCard counts 0-6. pcsc-lite never sets SCARD_SPECIFIC: a powered
 * card with an active protocol stays "negotiable" there, so the protocol names its state.
 */
export function connectionState(state, protocol, platform) {
  let step;  // 1 absent .. 6 specific, as WinSCard counts
  if (platform === 'windows') {
    step = state;
  } else {
    step = 0;
    for (let bit = 6; bit >= 1; bit--) if (state & (1 << bit)) { step = bit; break; }
    if (step >= 4 && protocolName(protocol)) step = 6;
  }
  return [undefined, 'absent', 'present', 'swallowed', 'powered', 'negotiable'][step] ??
    (step === 6 ? protocolName(protocol) : undefined);
}

function detectPlatform() {
  const p = globalThis.process?.platform ?? globalThis.navigator?.userAgentData?.platform ??
    globalThis.navigator?.platform ?? '';
  return /^win/i.test(p) ? 'windows' : 'pcsclite';
}

function defaultConnectPort() {
  const runtime = globalThis.chrome?.runtime ?? globalThis.browser?.runtime;
  if (!runtime?.connectNative) {
    throw new DOMException('no runtime.connectNative here: pass options.connectPort', 'NotSupportedError');
  }
  return runtime.connectNative(HOST_NAME);
}

function toBytes(data, what) {
  if (data === undefined || data === null) return new Uint8Array(0);
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  if (Array.isArray(data)) return Uint8Array.from(data);
  throw new TypeError(`${what} is not a BufferSource`);
}

const toBuffer = (bytes) => bytes.slice().buffer;

/** The low-level client's failures (no answer at all): TypeError for a bad argument, else "UnknownError". */
function lostAnswer(e) {
  if (e instanceof DOMException || e instanceof TypeError) return e;
  if (e?.reason === 'argument') return new TypeError(e.message);
  return new DOMException(String(e?.message ?? e), 'UnknownError');
}

/**
 * @param {{connectPort?: () => import('./tessera-smartcard.js').PortLike,
 *   platform?: 'pcsclite' | 'windows', timeoutMs?: number}} [options]
 */
export function createSmartCard(options = {}) {
  const connectPort = options.connectPort ?? defaultConnectPort;
  const platform = options.platform ?? detectPlatform();
  const clientOptions = options.timeoutMs === undefined ? {} : { timeoutMs: options.timeoutMs };
  const contexts = new Set();
  let closed = false;

  const manager = {
    /** @returns {Promise<SmartCardContext>} */
    async establishContext() {
      if (closed) throw new DOMException('the resource manager is closed', 'InvalidStateError');
      const client = createClient(connectPort(), clientOptions);
      let r;
      try {
        r = await client.SCardEstablishContext(SCARD_SCOPE_SYSTEM);
      } catch (e) {
        client.close();
        throw lostAnswer(e);
      }
      if (!r.ok) {
        client.close();
        throw exceptionFor(r, 'establishContext');
      }
      const context = new SmartCardContext(client, r.context, { connectPort, platform, clientOptions, contexts });
      contexts.add(context);
      if (closed) context.close();
      return context;
    },

    /**
     * Reader events (not in the draft): {type: 'added'|'removed'|'inserted'|'ejected',
     * readerName, answerToReset}. The readers and cards there at the start come first as
     * 'added' and 'inserted'. Ends when the signal aborts or the loop breaks.
     * @param {{signal?: AbortSignal}} [opts]
     */
    watchReaders(opts = {}) {
      return watchReaders(manager, opts.signal);
    },

    /** Releases every context and ends every host process this manager started. */
    close() {
      closed = true;
      for (const context of [...contexts]) context.close();
    },
  };
  return manager;
}

class SmartCardContext {
  #client; #handle; #env;
  #busy = false;
  #idleWaiters = [];
  #wait = null;  // {client, handle} of the wait port
  #transactions = new Map();  // reader name -> connection
  #closed = false;

  constructor(client, handle, env) {
    this.#client = client;
    this.#handle = handle;
    this.#env = env;
  }

  /** Runs one operation of this context; another one at the same time is an InvalidStateError. */
  async _run(name, body) {
    if (this.#closed) throw new DOMException(`${name}: the context is closed`, 'InvalidStateError');
    if (this.#busy) throw new DOMException(`${name}: another operation of this context is in progress`, 'InvalidStateError');
    this.#busy = true;
    try {
      return await body(this.#client);
    } finally {
      this.#busy = false;
      for (const resolve of this.#idleWaiters.splice(0)) resolve();
    }
  }

  /** Resolves when no operation of this context runs (for ending a settled transaction). */
  _idle() {
    return this.#busy ? new Promise((resolve) => this.#idleWaiters.push(resolve)) : Promise.resolve();
  }

  get _platform() { return this.#env.platform; }
  get _busy() { return this.#busy; }
  get _transactions() { return this.#transactions; }

  /** @returns {Promise<string[]>} */
  listReaders() {
    return this._run('listReaders', async (client) => {
      const r = await call(() => client.SCardListReaders(this.#handle));
      if (r.result === C.SCARD_E_NO_READERS_AVAILABLE) return [];
      if (!r.ok) throw exceptionFor(r, 'listReaders');
      return r.readers;
    });
  }

  /**
   * @param {{readerName: string, currentState: object, currentCount?: number}[]} readerStates
   * @param {{timeout?: number, signal?: AbortSignal}} [options]
   */
  async getStatusChange(readerStates, options = {}) {
    const records = readerStates.map((s) => ({
      reader: s.readerName, currentState: flagsToState(s.currentState, s.currentCount ?? 0),
    }));
    const r = await this._waitRaw(records, options.timeout, options.signal);
    if (!r.ok) throw exceptionFor(r, 'getStatusChange');
    return r.readerStates.map((s) => ({
      readerName: s.reader, eventState: stateToFlags(s.eventState), eventCount: s.eventState >>> 16,
      answerToReset: toBuffer(s.atr),
    }));
  }

  /** A wait through the wait port; resolves with the PC/SC result, rejects on abort. */
  _waitRaw(records, timeout, signal) {
    if (signal?.aborted) return Promise.reject(signal.reason);
    let pcscTimeout = INFINITE;
    if (timeout !== undefined) {
      if (!Number.isFinite(timeout) || timeout < 0) return Promise.reject(new TypeError(`bad timeout: ${timeout}`));
      pcscTimeout = Math.min(Math.floor(timeout), INFINITE - 1);
    }
    return this._run('getStatusChange', () => new Promise((resolve, reject) => {
      const onAbort = () => {
        this.#dropWaitPort();
        reject(signal.reason);
      };
      signal?.addEventListener('abort', onAbort, { once: true });
      (async () => {
        const wait = await this.#waitPort();
        return wait.client.SCardGetStatusChange(wait.handle, pcscTimeout, records);
      })().then((r) => {
        if (r.result === C.SCARD_E_CANCELLED && signal?.aborted) throw signal.reason;
        return r;
      }).catch((e) => { throw lostAnswer(e); })
        .then(resolve, reject)
        .finally(() => signal?.removeEventListener('abort', onAbort));
    }));
  }

  async #waitPort() {
    if (!this.#wait) {
      const wait = { client: createClient(this.#env.connectPort(), this.#env.clientOptions), handle: null };
      this.#wait = wait;
      const r = await wait.client.SCardEstablishContext(SCARD_SCOPE_SYSTEM);
      if (!r.ok) {
        if (this.#wait === wait) this.#dropWaitPort();
        throw exceptionFor(r, 'getStatusChange');
      }
      wait.handle = r.context;
      return wait;
    }
    // A wait runs only when no other operation of the context does, so a port found here is ready.
    return this.#wait;
  }

  #dropWaitPort() {
    this.#wait?.client.close();
    this.#wait = null;
  }

  /**
   * @param {string} readerName
   * @param {'shared'|'exclusive'|'direct'} accessMode
   * @param {{preferredProtocols?: ('raw'|'t0'|'t1')[]}} [options]
   */
  connect(readerName, accessMode, options = {}) {
    if (this.#transactions.has(readerName)) {
      return Promise.reject(new DOMException(`connect: ${readerName} has a transaction of this context`, 'InvalidStateError'));
    }
    return this._run('connect', async (client) => {
      const share = ACCESS[accessMode];
      if (share === undefined) throw new TypeError(`not a SmartCardAccessMode: ${accessMode}`);
      let protocols = 0;
      for (const p of options.preferredProtocols ?? []) protocols |= protocolValue(p, this.#env.platform);
      const r = await call(() => client.SCardConnect(this.#handle, readerName, share, protocols));
      if (!r.ok) throw exceptionFor(r, 'connect');
      const connection = new SmartCardConnection(this, readerName, r.card, r.activeProtocol);
      const result = { connection };
      const active = protocolName(r.activeProtocol);
      if (active) result.activeProtocol = active;
      return result;
    });
  }

  /** Not in the draft: ends this context's host processes now rather than with the manager. */
  close() {
    if (this.#closed) return;
    this.#closed = true;
    this.#env.contexts.delete(this);
    this.#dropWaitPort();
    this.#client.close();
  }
}

/** Calls the low-level client; a missing answer becomes a DOMException. */
async function call(f) {
  try {
    return await f();
  } catch (e) {
    throw lostAnswer(e);
  }
}

class SmartCardConnection {
  #context; #readerName; #card; #protocol;
  #transaction = null;

  constructor(context, readerName, card, protocol) {
    this.#context = context;
    this.#readerName = readerName;
    this.#card = card;
    this.#protocol = protocol;
  }

  #op(name, body) {
    if (this.#card === null) {
      return Promise.reject(new DOMException(`${name}: the connection is disconnected`, 'InvalidStateError'));
    }
    return this.#context._run(name, (client) => body(client, this.#card));
  }

  /** @param {'leave'|'reset'|'unpower'|'eject'} [disposition] */
  disconnect(disposition = 'leave') {
    return this.#op('disconnect', async (client, card) => {
      const d = DISPOSITIONS[disposition];
      if (d === undefined) throw new TypeError(`not a SmartCardDisposition: ${disposition}`);
      const r = await call(() => client.SCardDisconnect(card, d));
      if (!r.ok) throw exceptionFor(r, 'disconnect');
      this.#card = null;
    });
  }

  /**
   * @param {BufferSource} sendBuffer
   * @param {{protocol?: 'raw'|'t0'|'t1'}} [options]
   * @returns {Promise<ArrayBuffer>}
   */
  transmit(sendBuffer, options = {}) {
    return this.#op('transmit', async (client, card) => {
      const protocol = options.protocol === undefined ? this.#protocol
        : protocolValue(options.protocol, this.#context._platform);
      if (!protocolName(protocol)) {
        throw new DOMException('transmit: the connection has no protocol; give options.protocol', 'InvalidStateError');
      }
      const r = await call(() => client.SCardTransmit(card, protocol, toBytes(sendBuffer, 'sendBuffer')));
      if (!r.ok) throw exceptionFor(r, 'transmit');
      return toBuffer(r.response);
    });
  }

  /**
   * Begins a transaction, runs the callback and ends the transaction with the disposition its
   * promise resolves to ("reset" for none, or when it throws; its error is then the result).
   * @param {() => Promise<'leave'|'reset'|'unpower'|'eject'|undefined>} transaction
   * @param {{signal?: AbortSignal}} [options]
   */
  async startTransaction(transaction, options = {}) {
    const signal = options.signal;
    if (signal?.aborted) throw signal.reason;
    if (this.#context._transactions.has(this.#readerName)) {
      throw new DOMException('startTransaction: the reader has a transaction of this context', 'InvalidStateError');
    }
    if (this.#transaction) throw new DOMException('startTransaction: a transaction is in progress', 'InvalidStateError');
    await this.#op('startTransaction', async (client, card) => {
      const r = await call(() => client.SCardBeginTransaction(card));
      if (!r.ok) throw exceptionFor(r, 'startTransaction');
    });
    this.#transaction = true;
    this.#context._transactions.set(this.#readerName, this);
    let disposition = 'reset';
    let failure = null;
    try {
      // The host cannot cancel a begin that waits for another application's transaction: an
      // abort while it waits ends the transaction at once when it has begun.
      if (signal?.aborted) throw signal.reason;
      const v = await transaction();
      if (v !== undefined) {
        if (DISPOSITIONS[v] === undefined) throw new TypeError(`not a SmartCardDisposition: ${v}`);
        disposition = v;
      }
    } catch (e) {
      failure = { error: e };
      disposition = 'reset';
    }
    try {
      // The draft ends a settled transaction once the context's running operation is over.
      while (this.#context._busy) await this.#context._idle();
      if (this.#card === null) {
        throw failure?.error ?? new DOMException('startTransaction: the connection was disconnected', 'InvalidStateError');
      }
      await this.#context._run('endTransaction', async (client) => {
        const r = await call(() => client.SCardEndTransaction(this.#card, DISPOSITIONS[disposition]));
        if (failure) throw failure.error;
        if (!r.ok) throw exceptionFor(r, 'endTransaction');
      });
    } finally {
      this.#transaction = null;
      this.#context._transactions.delete(this.#readerName);
    }
  }

  /** @returns {Promise<{readerName: string, state: string, answerToReset: ArrayBuffer}>} */
  status() {
    return this.#op('status', async (client, card) => {
      const r = await call(() => client.SCardStatus(card));
      if (!r.ok) throw exceptionFor(r, 'status');
      const state = connectionState(r.state, r.protocol, this.#context._platform);
      if (state === undefined) {
        throw new DOMException(`status: unknown state 0x${r.state.toString(16)} (protocol ${r.protocol})`, 'UnknownError');
      }
      return { readerName: r.readerNames[0] ?? this.#readerName, state, answerToReset: toBuffer(r.atr) };
    });
  }

  /** @returns {Promise<ArrayBuffer>} */
  control(controlCode, data) {
    return this.#op('control', async (client, card) => {
      const r = await call(() => client.SCardControl(card, controlCode, toBytes(data, 'data')));
      if (!r.ok) throw exceptionFor(r, 'control');
      return toBuffer(r.output);
    });
  }

  /** @returns {Promise<ArrayBuffer>} */
  getAttribute(tag) {
    return this.#op('getAttribute', async (client, card) => {
      const r = await call(() => client.SCardGetAttrib(card, tag));
      if (!r.ok) throw exceptionFor(r, 'getAttribute');
      return toBuffer(r.attribute);
    });
  }

  /** The host has no SCardSetAttrib command. */
  async setAttribute() {
    throw new DOMException('setAttribute: the native host has no command to set attributes', 'NotSupportedError');
  }
}

/** How long each wait lasts where there is no plug-and-play reader to wake it. */
const POLL_MS = 1000;

async function* watchReaders(manager, signal) {
  if (signal?.aborted) return;
  const context = await manager.establishContext();
  const known = new Map();  // reader -> PC/SC state last seen
  let pnp = { reader: PNP_NOTIFICATION, currentState: 0 };
  let usePnp = true;
  const isAbort = (e) => signal?.aborted && e === signal.reason;
  try {
    const fresh = [];
    for (const name of await context.listReaders()) {
      known.set(name, 0);
      fresh.push({ type: 'added', readerName: name, answerToReset: new ArrayBuffer(0) });
    }
    for (const event of fresh) yield event;
    for (;;) {
      const records = [...known].map(([reader, currentState]) => ({ reader, currentState }));
      if (usePnp) records.push(pnp);
      let r;
      try {
        r = await context._waitRaw(records, usePnp ? undefined : POLL_MS, signal);
      } catch (e) {
        if (isAbort(e)) return;
        throw e;
      }
      let relist = !usePnp;
      if (r.result === C.SCARD_E_UNKNOWN_READER) {
        relist = true;
      } else if (r.result !== C.SCARD_E_TIMEOUT && !r.ok) {
        throw exceptionFor(r, 'watchReaders');
      }
      const events = [];
      for (const s of r.ok ? r.readerStates : []) {
        if (s.reader === PNP_NOTIFICATION) {
          if (s.eventState & 0x0004) usePnp = false;  // no such pseudo-reader here: poll
          else if (s.eventState & 0x0002) relist = true;
          pnp = { reader: PNP_NOTIFICATION, currentState: s.eventState & ~0x0002 };
          continue;
        }
        if (!known.has(s.reader)) continue;
        const before = known.get(s.reader);
        const after = s.eventState & ~0x0002;
        if (s.eventState & 0x0004) { relist = true; continue; }
        const wasIn = (before & 0x0020) !== 0;
        const isIn = (after & 0x0020) !== 0;
        const swapped = wasIn && isIn && (before >>> 16) !== (after >>> 16) && (after >>> 16) - (before >>> 16) >= 2;
        if (wasIn && (!isIn || swapped)) events.push({ type: 'ejected', readerName: s.reader, answerToReset: new ArrayBuffer(0) });
        if (isIn && (!wasIn || swapped)) events.push({ type: 'inserted', readerName: s.reader, answerToReset: toBuffer(s.atr) });
        known.set(s.reader, after);
      }
      if (relist) {
        const now = await context.listReaders();
        for (const name of [...known.keys()]) {
          if (!now.includes(name)) {
            if (known.get(name) & 0x0020) events.push({ type: 'ejected', readerName: name, answerToReset: new ArrayBuffer(0) });
            known.delete(name);
            events.push({ type: 'removed', readerName: name, answerToReset: new ArrayBuffer(0) });
          }
        }
        for (const name of now) {
          if (!known.has(name)) {
            known.set(name, 0);
            events.push({ type: 'added', readerName: name, answerToReset: new ArrayBuffer(0) });
          }
        }
      }
      for (const event of events) yield event;
    }
  } finally {
    context.close();
  }
}
