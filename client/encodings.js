// The host's text forms and their JavaScript values: handles, byte lists, multi-strings,
// reader-state records and result codes. Pure functions with no dependencies, so that they can be
// tested on their own and reused by code that speaks to the host without the client.

/** Byte keys of a handle, byte 0 (least significant) first, as most commands read them. */
export const BYTE_KEYS_S = Object.freeze(['x', 'y', 'z', 's', 'l', 'b', 'h', 'j']);
/** Byte keys of the context in SCardConnect and SCardReleaseContext. */
export const BYTE_KEYS_W = Object.freeze(['x', 'y', 'z', 'w', 'm', 's', 't', 'k']);
/** Reply members of the context that SCardEstablishContext reports. */
export const CONTEXT_MEMBERS = Object.freeze(
  ['pbContext0', 'pbContext1', 'pbContext2', 'pbContext3', 'pbContext4', 'pbContext5',
    'pbContext6', 'pbContext7']);
/** Reply members of the card handle that SCardConnect reports (the host reuses context names). */
export const CARD_MEMBERS = Object.freeze(
  ['pbHandlet0', 'pbContext1', 'pbContext2', 'pbContext3', 'pbContext4', 'pbContext5',
    'pbContext6', 'pbContext7']);

/** Size of one reader-state record on the wire. */
export const READER_STATE_SIZE = 200;
const NAME_FIELD = 128;
const ATR_FIELD = 36;

/**
 * A PC/SC handle as the client shows it: 16 lower-case hex digits, most significant first, so
 * that it reads like the number and can be stored, compared and sent through JSON as it is.
 * @typedef {string} Handle
 */

/**
 * Reads a handle from reply members (count "8" plus eight decimal byte texts).
 * @param {Record<string, string>} reply
 * @param {readonly string[]} members byte 0 first
 * @returns {Handle}
 */
export function handleFromReply(reply, members) {
  let hex = '';
  for (let k = 7; k >= 0; k--) {
    const byte = parseByte(reply[members[k]], members[k]);
    hex += byte.toString(16).padStart(2, '0');
  }
  return hex;
}

/**
 * The request keys that carry a handle: count "p" and eight one-byte keys, byte 0 first.
 * @param {Handle} handle
 * @param {readonly string[]} byteKeys BYTE_KEYS_S or BYTE_KEYS_W
 * @returns {Record<string, number>}
 */
export function handleToKeys(handle, byteKeys) {
  if (typeof handle !== 'string' || !/^[0-9a-f]{16}$/.test(handle)) {
    throw new TypeError(`not a handle (16 hex digits): ${JSON.stringify(handle)}`);
  }
  const keys = { p: 8 };
  for (let k = 0; k < 8; k++) {
    keys[byteKeys[k]] = parseInt(handle.slice(14 - 2 * k, 16 - 2 * k), 16);
  }
  return keys;
}

function parseByte(text, member) {
  if (typeof text !== 'string' || !/^\d{1,3}$/.test(text) || Number(text) > 255) {
    throw new TypeError(`reply member ${member} is not a byte: ${JSON.stringify(text)}`);
  }
  return Number(text);
}

/**
 * Bytes as the host reads them: decimal values joined by ",", or "NULL" for none.
 * @param {Uint8Array | ArrayLike<number> | null | undefined} bytes
 * @returns {string}
 */
export function toByteList(bytes) {
  if (bytes == null || bytes.length === 0) return 'NULL';
  const parts = new Array(bytes.length);
  for (let i = 0; i < bytes.length; i++) {
    const b = bytes[i];
    if (!Number.isInteger(b) || b < 0 || b > 255) {
      throw new TypeError(`byte ${i} is not an integer 0-255: ${b}`);
    }
    parts[i] = b;
  }
  return parts.join(',');
}

/**
 * A byte list text from the host; "NULL" is no bytes.
 * @param {string} text
 * @returns {Uint8Array}
 */
export function fromByteList(text) {
  if (text === 'NULL' || text === '') return new Uint8Array(0);
  if (typeof text !== 'string') throw new TypeError(`not a byte list: ${JSON.stringify(text)}`);
  const parts = text.split(',');
  const bytes = new Uint8Array(parts.length);
  for (let i = 0; i < parts.length; i++) {
    if (!/^\d{1,3}$/.test(parts[i]) || Number(parts[i]) > 255) {
      throw new TypeError(`byte list value ${i} is not a byte: ${JSON.stringify(parts[i])}`);
    }
    bytes[i] = Number(parts[i]);
  }
  return bytes;
}

/**
 * The unsigned number of a Number text or of a signed Status text.
 * @param {string} text
 * @returns {number}
 */
export function fromNumberText(text) {
  if (typeof text !== 'string' || !/^-?\d+$/.test(text)) {
    throw new TypeError(`not a number text: ${JSON.stringify(text)}`);
  }
  return Number(text) >>> 0;
}

const utf8Decoder = new TextDecoder('utf-8');
const utf8Encoder = new TextEncoder();

/**
 * Names from a multi-string: NUL-terminated names, then one more NUL.
 * @param {Uint8Array} bytes
 * @returns {string[]}
 */
export function fromMultiString(bytes) {
  const names = [];
  let start = 0;
  for (let i = 0; i < bytes.length; i++) {
    if (bytes[i] !== 0) continue;
    if (i === start) break;  // the empty name is the list's end
    names.push(utf8Decoder.decode(bytes.subarray(start, i)));
    start = i + 1;
  }
  return names;
}

/**
 * A multi-string from names.
 * @param {string[]} names
 * @returns {Uint8Array}
 */
export function toMultiString(names) {
  const encoded = names.map((name) => {
    const bytes = utf8Encoder.encode(name);
    if (bytes.length === 0 || bytes.includes(0)) {
      throw new TypeError(`a name in a multi-string must be non-empty and hold no NUL: ${JSON.stringify(name)}`);
    }
    return bytes;
  });
  const total = encoded.reduce((sum, b) => sum + b.length + 1, 1);
  const out = new Uint8Array(total);
  let at = 0;
  for (const bytes of encoded) {
    out.set(bytes, at);
    at += bytes.length + 1;
  }
  return out;
}

/**
 * One reader's state for SCardGetStatusChange.
 * @typedef {object} ReaderState
 * @property {string} reader reader name ("" for none; "\\\\?PnP?\\Notification" for reader arrival)
 * @property {number} currentState the state the caller believes current (SCARD_STATE_* flags)
 * @property {number} [eventState] the state the service reported (in replies)
 * @property {Uint8Array} [atr] the card's ATR (in replies), at most 36 bytes
 * @property {Uint8Array} [userData] eight bytes that travel unchanged
 */

function writeU32(view, offset, value, what) {
  if (!Number.isInteger(value) || value < -0x80000000 || value > 0xffffffff) {
    throw new TypeError(`${what} is not a 32-bit integer: ${value}`);
  }
  view.setUint32(offset, value >>> 0, true);
}

/**
 * Reader states as one byte array of 200-byte records.
 * @param {ReaderState[]} states
 * @returns {Uint8Array}
 */
export function encodeReaderStates(states) {
  const out = new Uint8Array(states.length * READER_STATE_SIZE);
  const view = new DataView(out.buffer);
  states.forEach((state, index) => {
    const base = index * READER_STATE_SIZE;
    const name = utf8Encoder.encode(state.reader ?? '');
    if (name.length >= NAME_FIELD || name.includes(0)) {
      throw new TypeError(`reader name must be under ${NAME_FIELD} bytes without NUL: ${state.reader}`);
    }
    out.set(name, base);
    const userData = state.userData ?? new Uint8Array(8);
    if (userData.length > 8) throw new TypeError('userData holds at most 8 bytes');
    out.set(userData, base + 128);
    writeU32(view, base + 136, state.currentState ?? 0, 'currentState');
    writeU32(view, base + 144, state.eventState ?? 0, 'eventState');
    const atr = state.atr ?? new Uint8Array(0);
    if (atr.length > ATR_FIELD) throw new TypeError(`atr holds at most ${ATR_FIELD} bytes`);
    view.setUint32(base + 152, atr.length, true);
    out.set(atr, base + 160);
  });
  return out;
}

/**
 * Reader states from the byte array of a reply.
 * @param {Uint8Array} bytes
 * @returns {Required<ReaderState>[]}
 */
export function decodeReaderStates(bytes) {
  if (bytes.length % READER_STATE_SIZE !== 0) {
    throw new TypeError(`reader states are not whole 200-byte records: ${bytes.length} bytes`);
  }
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const states = [];
  for (let base = 0; base < bytes.length; base += READER_STATE_SIZE) {
    let end = base;
    while (end < base + NAME_FIELD && bytes[end] !== 0) end++;
    const atrLength = Math.min(view.getUint32(base + 152, true), ATR_FIELD);
    states.push({
      reader: utf8Decoder.decode(bytes.subarray(base, end)),
      userData: bytes.slice(base + 128, base + 136),
      currentState: view.getUint32(base + 136, true),
      eventState: view.getUint32(base + 144, true),
      atr: bytes.slice(base + 160, base + 160 + atrLength),
    });
  }
  return states;
}

/** PC/SC result codes by name; SCARD_E_UNEXPECTED is also pcsc-lite's SCARD_E_UNSUPPORTED_FEATURE. */
export const RESULT_CODES = Object.freeze({
  SCARD_S_SUCCESS: 0x00000000,
  SCARD_F_INTERNAL_ERROR: 0x80100001,
  SCARD_E_CANCELLED: 0x80100002,
  SCARD_E_INVALID_HANDLE: 0x80100003,
  SCARD_E_INVALID_PARAMETER: 0x80100004,
  SCARD_E_INVALID_TARGET: 0x80100005,
  SCARD_E_NO_MEMORY: 0x80100006,
  SCARD_F_WAITED_TOO_LONG: 0x80100007,
  SCARD_E_INSUFFICIENT_BUFFER: 0x80100008,
  SCARD_E_UNKNOWN_READER: 0x80100009,
  SCARD_E_TIMEOUT: 0x8010000a,
  SCARD_E_SHARING_VIOLATION: 0x8010000b,
  SCARD_E_NO_SMARTCARD: 0x8010000c,
  SCARD_E_UNKNOWN_CARD: 0x8010000d,
  SCARD_E_CANT_DISPOSE: 0x8010000e,
  SCARD_E_PROTO_MISMATCH: 0x8010000f,
  SCARD_E_NOT_READY: 0x80100010,
  SCARD_E_INVALID_VALUE: 0x80100011,
  SCARD_E_SYSTEM_CANCELLED: 0x80100012,
  SCARD_F_COMM_ERROR: 0x80100013,
  SCARD_F_UNKNOWN_ERROR: 0x80100014,
  SCARD_E_INVALID_ATR: 0x80100015,
  SCARD_E_NOT_TRANSACTED: 0x80100016,
  SCARD_E_READER_UNAVAILABLE: 0x80100017,
  SCARD_P_SHUTDOWN: 0x80100018,
  SCARD_E_PCI_TOO_SMALL: 0x80100019,
  SCARD_E_READER_UNSUPPORTED: 0x8010001a,
  SCARD_E_DUPLICATE_READER: 0x8010001b,
  SCARD_E_CARD_UNSUPPORTED: 0x8010001c,
  SCARD_E_NO_SERVICE: 0x8010001d,
  SCARD_E_SERVICE_STOPPED: 0x8010001e,
  SCARD_E_UNEXPECTED: 0x8010001f,
  SCARD_E_ICC_INSTALLATION: 0x80100020,
  SCARD_E_ICC_CREATEORDER: 0x80100021,
  SCARD_E_UNSUPPORTED_FEATURE: 0x80100022,
  SCARD_E_DIR_NOT_FOUND: 0x80100023,
  SCARD_E_FILE_NOT_FOUND: 0x80100024,
  SCARD_E_NO_DIR: 0x80100025,
  SCARD_E_NO_FILE: 0x80100026,
  SCARD_E_NO_ACCESS: 0x80100027,
  SCARD_E_WRITE_TOO_MANY: 0x80100028,
  SCARD_E_BAD_SEEK: 0x80100029,
  SCARD_E_INVALID_CHV: 0x8010002a,
  SCARD_E_UNKNOWN_RES_MNG: 0x8010002b,
  SCARD_E_NO_SUCH_CERTIFICATE: 0x8010002c,
  SCARD_E_CERTIFICATE_UNAVAILABLE: 0x8010002d,
  SCARD_E_NO_READERS_AVAILABLE: 0x8010002e,
  SCARD_E_COMM_DATA_LOST: 0x8010002f,
  SCARD_E_NO_KEY_CONTAINER: 0x80100030,
  SCARD_E_SERVER_TOO_BUSY: 0x80100031,
  SCARD_E_PIN_CACHE_EXPIRED: 0x80100032,
  SCARD_E_NO_PIN_CACHE: 0x80100033,
  SCARD_E_READ_ONLY_CARD: 0x80100034,
  SCARD_W_UNSUPPORTED_CARD: 0x80100065,
  SCARD_W_UNRESPONSIVE_CARD: 0x80100066,
  SCARD_W_UNPOWERED_CARD: 0x80100067,
  SCARD_W_RESET_CARD: 0x80100068,
  SCARD_W_REMOVED_CARD: 0x80100069,
  SCARD_W_SECURITY_VIOLATION: 0x8010006a,
  SCARD_W_WRONG_CHV: 0x8010006b,
  SCARD_W_CHV_BLOCKED: 0x8010006c,
  SCARD_W_EOF: 0x8010006d,
  SCARD_W_CANCELLED_BY_USER: 0x8010006e,
  SCARD_W_CARD_NOT_AUTHENTICATED: 0x8010006f,
  SCARD_W_CACHE_ITEM_NOT_FOUND: 0x80100070,
  SCARD_W_CACHE_ITEM_STALE: 0x80100071,
  SCARD_W_CACHE_ITEM_TOO_BIG: 0x80100072,
});

const namesByCode = new Map(Object.entries(RESULT_CODES).map(([name, code]) => [code, name]));

/**
 * The PC/SC name of a result code, or its hex form for codes without one.
 * @param {number} code unsigned 32-bit
 * @returns {string}
 */
export function resultName(code) {
  return namesByCode.get(code >>> 0) ?? `0x${(code >>> 0).toString(16).padStart(8, '0')}`;
}
