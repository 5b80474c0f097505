// tessera-smartcard client: the PC/SC calls as promise-returning functions over a
// native-messaging port. No dependencies; works in an extension's service worker, in a page with
// a port from the extension, and in Node over the port of node-port.js.
//
//   import { connect, SCARD_SCOPE_SYSTEM, SCARD_SHARE_SHARED, SCARD_PROTOCOL_ANY }
//     from './tessera-smartcard.js';
//   const pcsc = connect();                       // chrome.runtime.connectNative(HOST_NAME)
//   const { context } = await pcsc.SCardEstablishContext(SCARD_SCOPE_SYSTEM);
//   const { readers } = await pcsc.SCardListReaders(context);
//   const { card, activeProtocol } =
//     await pcsc.SCardConnect(context, readers[0], SCARD_SHARE_SHARED, SCARD_PROTOCOL_ANY);
//   const { response } = await pcsc.SCardTransmit(card, activeProtocol, [0x00, 0xa4, 0x04, 0x00]);
//
// Every function resolves with the call's result code, also when the service failed: check
// `ok` (or `result`/`resultName`). A promise rejects only when no answer can come: a bad
// argument, a timeout, a request the host skipped, or a closed port (TesseraError.reason).
//
// The host keeps numeric arguments from one request of a command to the next; every request
// made here carries all of its command's keys, so no value of an earlier request leaks in.

import {
  BYTE_KEYS_S, BYTE_KEYS_W, CARD_MEMBERS, CONTEXT_MEMBERS, decodeReaderStates,
  encodeReaderStates, fromByteList, fromMultiString, fromNumberText, handleFromReply,
  handleToKeys, resultName, toByteList, toMultiString,
} from './encodings.js';

export * from './encodings.js';

/** The host's native-messaging name, as in its manifests. */
export const HOST_NAME = 'org.tessera.smartcard';

export const SCARD_SCOPE_USER = 0;
export const SCARD_SCOPE_TERMINAL = 1;
export const SCARD_SCOPE_SYSTEM = 2;
export const SCARD_SHARE_EXCLUSIVE = 1;
export const SCARD_SHARE_SHARED = 2;
export const SCARD_SHARE_DIRECT = 3;
export const SCARD_PROTOCOL_UNDEFINED = 0;
export const SCARD_PROTOCOL_T0 = 1;
export const SCARD_PROTOCOL_T1 = 2;
export const SCARD_PROTOCOL_ANY = 3;
export const SCARD_LEAVE_CARD = 0;
export const SCARD_RESET_CARD = 1;
export const SCARD_UNPOWER_CARD = 2;
export const SCARD_EJECT_CARD = 3;
export const SCARD_STATE_UNAWARE = 0x0000;
export const SCARD_STATE_IGNORE = 0x0001;
export const SCARD_STATE_CHANGED = 0x0002;
export const SCARD_STATE_UNKNOWN = 0x0004;
export const SCARD_STATE_UNAVAILABLE = 0x0008;
export const SCARD_STATE_EMPTY = 0x0010;
export const SCARD_STATE_PRESENT = 0x0020;
export const SCARD_STATE_ATRMATCH = 0x0040;
export const SCARD_STATE_EXCLUSIVE = 0x0080;
export const SCARD_STATE_INUSE = 0x0100;
export const SCARD_STATE_MUTE = 0x0200;
export const SCARD_STATE_UNPOWERED = 0x0400;
export const INFINITE = 0xffffffff;
export const SCARD_AUTOALLOCATE = 0xffffffff;
/** The pseudo-reader whose state changes when readers come and go (not on macOS). */
export const PNP_NOTIFICATION = '\\\\?PnP?\\Notification';
/** The largest ATR the host reads back (ISO 7816-3 allows 33 bytes). */
export const MAX_ATR = 36;
/** Room for the largest extended APDU response: 65536 data bytes and SW1 SW2. */
export const MAX_RESPONSE = 65538;

/** Default time for an answer, counted from when the host starts on the request. */
export const DEFAULT_TIMEOUT_MS = 10000;

/**
 * Why a call has no answer.
 * reason: 'argument' | 'timeout' | 'skipped' | 'disconnected' | 'reply'
 */
export class TesseraError extends Error {
  constructor(reason, message, call, requestId) {
    super(message);
    this.name = 'TesseraError';
    this.reason = reason;
    this.call = call;
    this.requestId = requestId;
  }
}

/**
 * The part of chrome.runtime.Port that the client uses.
 * @typedef {object} PortLike
 * @property {(message: object) => void} postMessage
 * @property {{addListener(listener: (message: any) => void): void}} onMessage
 * @property {{addListener(listener: (port?: any) => void): void}} onDisconnect
 * @property {() => void} [disconnect]
 */

/**
 * What every call resolves with, besides its own outputs.
 * @typedef {object} CallResult
 * @property {number} result the PC/SC result code, unsigned (0x80100069, not -2146434967)
 * @property {string} resultName its PC/SC name, e.g. "SCARD_W_REMOVED_CARD"
 * @property {boolean} ok result is SCARD_S_SUCCESS
 */

/**
 * Opens the host through the extension API and wraps the port.
 * @param {string} [hostName]
 * @param {{timeoutMs?: number}} [options]
 */
export function connect(hostName = HOST_NAME, options = {}) {
  const runtime = globalThis.chrome?.runtime ?? globalThis.browser?.runtime;
  if (!runtime?.connectNative) {
    throw new TesseraError('disconnected', 'no runtime.connectNative here: is this an extension with the "nativeMessaging" permission?');
  }
  return createClient(runtime.connectNative(hostName), options);
}

/**
 * Wraps a port to the host.
 * @param {PortLike} port
 * @param {{timeoutMs?: number, idPrefix?: string}} [options]
 */
export function createClient(port, options = {}) {
  const defaultTimeout = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
  const idPrefix = options.idPrefix ?? 't';
  let nextId = 1;
  let closedWith = null;
  // Requests in the order they were sent. The host answers in that order, one at a time, so the
  // clock runs only for the oldest: a request queued behind a long wait is not timed out by it.
  const pending = new Map();

  function startClock() {
    const head = pending.values().next().value;
    if (!head || head.timer !== null || !Number.isFinite(head.timeoutMs)) return;
    head.timer = setTimeout(() => {
      pending.delete(head.id);
      head.reject(new TesseraError('timeout',
        `${head.call}: no reply from the native host within ${head.timeoutMs} ms (request ${head.id}); ` +
        'the host sends nothing for a request it cannot read, and blocks while a card or a wait does',
        head.call, head.id));
      startClock();
    }, head.timeoutMs);
  }

  port.onMessage.addListener((message) => {
    const id = message?.i;
    const entry = pending.get(id);
    if (!entry) return;  // the late answer of a request that timed out
    // Earlier requests that are still open were skipped by the host: none will be answered.
    for (const earlier of pending.values()) {
      if (earlier === entry) break;
      clearTimeout(earlier.timer);
      pending.delete(earlier.id);
      earlier.reject(new TesseraError('skipped',
        `${earlier.call}: the native host answered a later request and skipped this one (request ${earlier.id}); ` +
        'it drops requests it cannot read', earlier.call, earlier.id));
    }
    clearTimeout(entry.timer);
    pending.delete(id);
    startClock();
    try {
      const resultText = message[entry.resultMember];
      if (typeof resultText !== 'string') {
        throw new TypeError(`reply has no ${entry.resultMember} member`);
      }
      const result = fromNumberText(resultText);
      entry.resolve({ result, resultName: resultName(result), ok: result === 0, ...entry.decode(message) });
    } catch (e) {
      entry.reject(new TesseraError('reply', `${entry.call}: malformed reply (request ${id}): ${e.message}`,
        entry.call, id));
    }
  });

  // Rejects every open request at once and refuses later ones.
  function shut(why) {
    if (closedWith !== null) return;
    closedWith = why;
    for (const entry of pending.values()) {
      clearTimeout(entry.timer);
      entry.reject(new TesseraError('disconnected',
        `${entry.call}: native host disconnected: ${why} (request ${entry.id})`, entry.call, entry.id));
    }
    pending.clear();
  }

  port.onDisconnect.addListener((p) => {
    shut(p?.error?.message ?? globalThis.chrome?.runtime?.lastError?.message ?? 'port closed');
  });

  /**
   * Sends one request and waits for its reply.
   * @param {string} call the PC/SC name
   * @param {number} code the host's command code
   * @param {string} resultMember the reply member that carries the result
   * @param {() => object} makeKeys the command's keys; may throw for bad arguments
   * @param {(reply: Record<string, string>) => object} decode
   * @param {number} [timeoutMs]
   */
  function request(call, code, resultMember, makeKeys, decode, timeoutMs = defaultTimeout) {
    return new Promise((resolve, reject) => {
      if (closedWith !== null) {
        reject(new TesseraError('disconnected', `${call}: native host disconnected: ${closedWith}`, call));
        return;
      }
      let keys;
      try {
        keys = makeKeys();
      } catch (e) {
        reject(new TesseraError('argument', `${call}: ${e.message}`, call));
        return;
      }
      const id = `${idPrefix}${nextId++}`;
      pending.set(id, { id, call, resultMember, decode, resolve, reject, timeoutMs, timer: null });
      try {
        port.postMessage({ i: id, c: code, ...keys });
      } catch (e) {
        pending.delete(id);
        reject(new TesseraError('disconnected', `${call}: cannot send to the native host: ${e.message}`, call, id));
        return;
      }
      startClock();
    });
  }

  const none = () => ({});
  const protocolOf = (reply, member) => ({ activeProtocol: fromNumberText(reply[member]) });

  return {
    /** Whether the smart-card service runs. @returns {Promise<CallResult>} */
    SCardAccessStartedEvent(opts = {}) {
      return request('SCardAccessStartedEvent', 103, 'SCardAccessStartedEvent', () => ({}), none, opts.timeoutMs);
    },

    /** @returns {Promise<CallResult & {context: string}>} */
    SCardEstablishContext(scope = SCARD_SCOPE_SYSTEM, opts = {}) {
      return request('SCardEstablishContext', 114, 'SCardEstablishContext', () => ({ p: u32(scope, 'scope') }),
        (r) => ({ context: handleFromReply(r, CONTEXT_MEMBERS) }), opts.timeoutMs);
    },

    /** @returns {Promise<CallResult>} */
    SCardReleaseContext(context, opts = {}) {
      return request('SCardReleaseContext', 160, 'SCardReleaseContext', () => handleToKeys(context, BYTE_KEYS_W),
        none, opts.timeoutMs);
    },

    /**
     * Cancels waits on the context. The host serves one request at a time, so this cannot cut
     * short a wait of the same host; it reaches the service after that wait has ended.
     * @returns {Promise<CallResult>}
     */
    SCardCancel(context, opts = {}) {
      return request('SCardCancel', 108, 'SCardCancel', () => handleToKeys(context, BYTE_KEYS_S), none, opts.timeoutMs);
    },

    /** @returns {Promise<CallResult & {groups: string[]}>} */
    SCardListReaderGroups(context, opts = {}) {
      return request('SCardListReaderGroups', 147, 'SCardListReaderGroupsA',
        () => handleToKeys(context, BYTE_KEYS_S),
        (r) => ({ groups: fromMultiString(fromByteList(r.mszGroups)) }), opts.timeoutMs);
    },

    /**
     * @param {string[] | null} [groups] only readers of these groups; all readers when absent
     * @returns {Promise<CallResult & {readers: string[]}>}
     */
    SCardListReaders(context, groups = null, opts = {}) {
      return request('SCardListReaders', 149, 'SCardListReadersA', () => {
        const filter = groups && groups.length ? toMultiString(groups) : null;
        return { ...handleToKeys(context, BYTE_KEYS_S), m: filter ? toByteList(filter) : '', k: filter ? filter.length : 0 };
      }, (r) => ({ readers: fromMultiString(fromByteList(r.mszReaders)) }), opts.timeoutMs);
    },

    /** @returns {Promise<CallResult & {card: string, activeProtocol: number}>} */
    SCardConnect(context, reader, shareMode = SCARD_SHARE_SHARED, preferredProtocols = SCARD_PROTOCOL_ANY, opts = {}) {
      return request('SCardConnect', 109, 'SCardConnectA', () => {
        if (typeof reader !== 'string' || reader === '') throw new TypeError('reader must be a reader name');
        return {
          ...handleToKeys(context, BYTE_KEYS_W), g: reader,
          q: u32(shareMode, 'shareMode'), b: u32(preferredProtocols, 'preferredProtocols'),
        };
      }, (r) => ({ card: handleFromReply(r, CARD_MEMBERS), ...protocolOf(r, 'dwActiveProtocol') }), opts.timeoutMs);
    },

    /** @returns {Promise<CallResult & {activeProtocol: number}>} */
    SCardReconnect(card, shareMode = SCARD_SHARE_SHARED, preferredProtocols = SCARD_PROTOCOL_ANY,
      initialization = SCARD_LEAVE_CARD, opts = {}) {
      return request('SCardReconnect', 159, 'SCardReconnect', () => ({
        ...handleToKeys(card, BYTE_KEYS_S), w: u32(shareMode, 'shareMode'),
        m: u32(preferredProtocols, 'preferredProtocols'), t: u32(initialization, 'initialization'),
      }), (r) => protocolOf(r, 'dwActiveProtocol'), opts.timeoutMs);
    },

    /** @returns {Promise<CallResult>} */
    SCardDisconnect(card, disposition = SCARD_LEAVE_CARD, opts = {}) {
      return request('SCardDisconnect', 112, 'SCardDisconnect',
        () => ({ ...handleToKeys(card, BYTE_KEYS_S), w: u32(disposition, 'disposition') }), none, opts.timeoutMs);
    },

    /** @returns {Promise<CallResult>} */
    SCardBeginTransaction(card, opts = {}) {
      return request('SCardBeginTransaction', 107, 'SCardBeginTransaction', () => handleToKeys(card, BYTE_KEYS_S),
        none, opts.timeoutMs);
    },

    /** @returns {Promise<CallResult>} */
    SCardEndTransaction(card, disposition = SCARD_LEAVE_CARD, opts = {}) {
      return request('SCardEndTransaction', 113, 'SCardEndTransaction',
        () => ({ ...handleToKeys(card, BYTE_KEYS_S), w: u32(disposition, 'disposition') }), none, opts.timeoutMs);
    },

    /**
     * Sends an APDU.
     * @param {string} card
     * @param {number | Uint8Array} sendPci the protocol (SCARD_PROTOCOL_T0/T1, e.g. the
     *   activeProtocol of SCardConnect) or a whole SCARD_IO_REQUEST record
     * @param {Uint8Array | number[]} apdu
     * @param {{maxResponse?: number, receivePci?: Uint8Array, timeoutMs?: number}} [opts]
     * @returns {Promise<CallResult & {response: Uint8Array, receivePci: Uint8Array | null}>}
     */
    SCardTransmit(card, sendPci, apdu, opts = {}) {
      return request('SCardTransmit', 169, 'SCardTransmit', () => {
        const pci = typeof sendPci === 'number' ? pciRecord(sendPci) : sendPci;
        const data = apdu ?? [];
        const receivePci = opts.receivePci ?? null;
        return {
          ...handleToKeys(card, BYTE_KEYS_S),
          w: toByteList(pci), n: pci ? pci.length : 0,
          g: toByteList(data), q: data.length,
          m: toByteList(receivePci), d: receivePci ? receivePci.length : 0,
          f: u32(opts.maxResponse ?? MAX_RESPONSE, 'maxResponse'), t: 0,
        };
      }, (r) => {
        const response = fromByteList(r.pbRecvBuffer);
        if (r.pbRecvBuffer !== 'NULL' && response.length !== fromNumberText(r.cbRecvLength)) {
          throw new TypeError('pbRecvBuffer and cbRecvLength disagree');
        }
        return { response, receivePci: r.pioRecvPci === 'NULL' ? null : fromByteList(r.pioRecvPci) };
      }, opts.timeoutMs);
    },

    /**
     * Sends a reader control code (see ctlCode for the platform's encoding).
     * @param {{outputLength?: number, timeoutMs?: number}} [opts]
     * @returns {Promise<CallResult & {output: Uint8Array}>}
     */
    SCardControl(card, controlCode, input = null, opts = {}) {
      return request('SCardControl', 111, 'SCardControl', () => ({
        ...handleToKeys(card, BYTE_KEYS_S), w: u32(controlCode, 'controlCode'),
        g: toByteList(input), q: input ? input.length : 0,
        m: u32(opts.outputLength ?? 65536, 'outputLength'),
      }), (r) => ({ output: fromByteList(r.pvOutBuffer) }), opts.timeoutMs);
    },

    /**
     * Reads a reader or card attribute. By default the service sizes it; {length: 0} asks only
     * for its length, any other length offers a buffer of that size.
     * @param {{length?: number, timeoutMs?: number}} [opts]
     * @returns {Promise<CallResult & {attribute: Uint8Array, length: number}>}
     */
    SCardGetAttrib(card, attributeId, opts = {}) {
      return request('SCardGetAttrib', 122, 'SCardGetAttrib', () => {
        const length = opts.length ?? SCARD_AUTOALLOCATE;
        return {
          ...handleToKeys(card, BYTE_KEYS_S), g: u32(attributeId, 'attributeId'),
          q: length === 0 ? 1 : 0, m: u32(length, 'length'),
        };
      }, (r) => ({ attribute: fromByteList(r.pbAttr), length: fromNumberText(r.cbAttrLen) }), opts.timeoutMs);
    },

    /**
     * The card's reader names, state, protocol and ATR. State is the platform's value: a bit
     * mask in pcsc-lite, a number 0-6 in WinSCard.
     * @returns {Promise<CallResult & {readerNames: string[], state: number, protocol: number, atr: Uint8Array}>}
     */
    SCardStatus(card, opts = {}) {
      return request('SCardStatus', 167, 'SCardStatusA',
        () => ({ ...handleToKeys(card, BYTE_KEYS_S), w: SCARD_AUTOALLOCATE, g: MAX_ATR }),
        (r) => ({
          readerNames: fromMultiString(fromByteList(r.mszReaderNames)),
          state: fromNumberText(r.dwState),
          protocol: fromNumberText(r.dwProtocol),
          atr: fromByteList(r.pbAtr),
        }), opts.timeoutMs);
    },

    /**
     * Waits until a reader's state differs from `currentState`, or `timeout` ms pass (INFINITE:
     * no limit). The answer's clock allows the wait itself plus the client's timeout; for an
     * INFINITE wait it never runs out unless opts.timeoutMs says so. The host answers nothing
     * else meanwhile: send other requests through another port (another host process).
     * @param {string} context
     * @param {number} timeout milliseconds, or INFINITE
     * @param {import('./encodings.js').ReaderState[]} readerStates
     * @returns {Promise<CallResult & {readerStates: Required<import('./encodings.js').ReaderState>[]}>}
     */
    SCardGetStatusChange(context, timeout, readerStates, opts = {}) {
      const answerTime = opts.timeoutMs ??
        ((timeout >>> 0) === INFINITE ? Infinity : (timeout >>> 0) + defaultTimeout);
      return request('SCardGetStatusChange', 133, 'SCardGetStatusChangeA', () => {
        const records = encodeReaderStates(readerStates);
        return {
          ...handleToKeys(context, BYTE_KEYS_S), m: u32(timeout, 'timeout'),
          k: records.length ? toByteList(records) : '', w: readerStates.length,
        };
      }, (r) => ({ readerStates: decodeReaderStates(fromByteList(r.rgReaderStates)) }), answerTime);
    },

    /**
     * Closes the port: open requests reject at once (reason 'disconnected'), also a wait the
     * host is blocked in; the host sees end of input, and the browser (or node-port.js) ends it
     * when it does not exit by itself.
     */
    close() {
      shut('closed by the client');
      port.disconnect?.();
    },

    /** Whether the port has closed; every later call fails. */
    get closed() {
      return closedWith !== null;
    },

    /** Requests sent and not yet answered. */
    get pendingCount() {
      return pending.size;
    },
  };
}

function u32(value, what) {
  if (!Number.isInteger(value) || value < -0x80000000 || value > 0xffffffff) {
    throw new TypeError(`${what} is not a 32-bit integer: ${value}`);
  }
  return value >>> 0;
}

/**
 * The 8-byte SCARD_IO_REQUEST record for a protocol: dwProtocol, then cbPciLength 8.
 * @param {number} protocol
 * @returns {Uint8Array}
 */
export function pciRecord(protocol) {
  const p = u32(protocol, 'protocol');
  return new Uint8Array([p & 255, (p >>> 8) & 255, (p >>> 16) & 255, p >>> 24, 8, 0, 0, 0]);
}

/**
 * A reader control code as the platform encodes SCARD_CTL_CODE(code).
 * @param {number} code
 * @param {'pcsclite' | 'windows'} platform
 */
export function ctlCode(code, platform) {
  return platform === 'windows' ? (0x00310000 | (code << 2)) >>> 0 : (0x42000000 + code) >>> 0;
}
