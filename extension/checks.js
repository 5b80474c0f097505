// Checks every message a page sends before anything of it reaches the client: its shape, the
// types, counts and sizes of its arguments. A message that fails is answered with a TypeError and
// goes no further. The result holds only fresh plain values, never the page's own objects.

/** The longest extended APDU: 4 header bytes, 3 Lc bytes, 65536 data bytes, 1 Le byte. */
export const MAX_APDU = 65544;
/** pcsc-lite's most reader states in one wait. */
export const MAX_READER_STATES = 16;
/** Reader names are at most 128 bytes in pcsc-lite; leave room for other services. */
export const MAX_READER_NAME = 256;
/** Requests one page may have outstanding at once. */
export const MAX_IN_FLIGHT = 32;
/** Contexts and connections one page may hold. */
export const MAX_OBJECTS = 256;
const MAX_HANDLE = 64;

const ACCESS_MODES = ['shared', 'exclusive', 'direct'];
const PROTOCOLS = ['raw', 't0', 't1'];
const DISPOSITIONS = ['leave', 'reset', 'unpower', 'eject'];
const FLAGS_IN = ['unaware', 'ignore', 'unavailable', 'empty', 'present', 'exclusive', 'inuse', 'mute', 'unpowered'];

export class CheckError extends Error {
  constructor(message) {
    super(message);
    this.name = 'TypeError';
  }
}

const fail = (message) => { throw new CheckError(message); };
const isPlainObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v) &&
  (Object.getPrototypeOf(v) === Object.prototype || Object.getPrototypeOf(v) === null);

function onlyKeys(object, allowed, what) {
  if (!isPlainObject(object)) fail(`${what} must be an object`);
  for (const key of Object.keys(object)) if (!allowed.includes(key)) fail(`${what}: unknown member ${key}`);
}

function uint32(v, what) {
  if (!Number.isInteger(v) || v < 0 || v > 0xffffffff) fail(`${what} must be an unsigned 32-bit integer`);
  return v;
}

function text(v, max, what) {
  if (typeof v !== 'string' || v.length === 0 || v.length > max) fail(`${what} must be a text of 1 to ${max} characters`);
  return v;
}

function oneOf(v, values, what) {
  if (!values.includes(v)) fail(`${what} must be one of ${values.join(', ')}`);
  return v;
}

/** Bytes as the page sends them: an array of integers 0..255, at most `max` long. */
export function bytes(v, max, what, min = 0) {
  if (!Array.isArray(v) || v.length < min || v.length > max) fail(`${what} must hold ${min} to ${max} bytes`);
  const out = new Uint8Array(v.length);
  for (let i = 0; i < v.length; i++) {
    const b = v[i];
    if (!Number.isInteger(b) || b < 0 || b > 255) fail(`${what}: byte ${i} is not 0..255`);
    out[i] = b;
  }
  return out;
}

function handle(v) {
  if (typeof v !== 'string' || v.length === 0 || v.length > MAX_HANDLE) fail('unknown object');
  return v;
}

function readerStates(v) {
  if (!Array.isArray(v) || v.length > MAX_READER_STATES) fail(`readerStates must be a list of at most ${MAX_READER_STATES}`);
  return v.map((state, i) => {
    onlyKeys(state, ['readerName', 'currentState', 'currentCount'], `readerStates[${i}]`);
    const out = { readerName: text(state.readerName, MAX_READER_NAME, `readerStates[${i}].readerName`), currentState: {} };
    onlyKeys(state.currentState, FLAGS_IN, `readerStates[${i}].currentState`);
    for (const [flag, on] of Object.entries(state.currentState)) {
      if (typeof on !== 'boolean') fail(`readerStates[${i}].currentState.${flag} must be true or false`);
      out.currentState[flag] = on;
    }
    if (state.currentCount !== undefined) {
      if (!Number.isInteger(state.currentCount) || state.currentCount < 0 || state.currentCount > 0xffff) {
        fail(`readerStates[${i}].currentCount must be 0..65535`);
      }
      out.currentCount = state.currentCount;
    }
    return out;
  });
}

function timeoutOption(v) {
  if (v === undefined) return undefined;
  if (typeof v !== 'number' || !(v >= 0) || v > 0xfffffffe) fail('timeout must be a number of milliseconds');
  return v;
}

// Each operation: whether it needs an object, and how to check its arguments (a fixed count).
const OPERATIONS = {
  establishContext: { on: null, args: [] },
  listReaders: { on: 'context', args: [] },
  getStatusChange: {
    on: 'context',
    args: [readerStates, (o) => {
      onlyKeys(o, ['timeout'], 'options');
      return o.timeout === undefined ? {} : { timeout: timeoutOption(o.timeout) };
    }],
  },
  connect: {
    on: 'context',
    args: [(v) => text(v, MAX_READER_NAME, 'readerName'), (v) => oneOf(v, ACCESS_MODES, 'accessMode'), (o) => {
      onlyKeys(o, ['preferredProtocols'], 'options');
      if (o.preferredProtocols === undefined) return {};
      const p = o.preferredProtocols;
      if (!Array.isArray(p) || p.length > PROTOCOLS.length) fail('preferredProtocols must be a short list');
      return { preferredProtocols: p.map((x) => oneOf(x, PROTOCOLS, 'preferredProtocols')) };
    }],
  },
  disconnect: { on: 'connection', args: [(v) => oneOf(v, DISPOSITIONS, 'disposition')] },
  transmit: {
    on: 'connection',
    args: [(v) => bytes(v, MAX_APDU, 'sendBuffer', 1), (o) => {
      onlyKeys(o, ['protocol'], 'options');
      return o.protocol === undefined ? {} : { protocol: oneOf(o.protocol, PROTOCOLS, 'protocol') };
    }],
  },
  status: { on: 'connection', args: [] },
  control: { on: 'connection', args: [(v) => uint32(v, 'controlCode'), (v) => bytes(v, MAX_APDU, 'data')] },
  getAttribute: { on: 'connection', args: [(v) => uint32(v, 'tag')] },
  setAttribute: { on: 'connection', args: [(v) => uint32(v, 'tag'), (v) => bytes(v, MAX_APDU, 'value')] },
  startTransaction: { on: 'connection', args: [] },
  endTransaction: { on: 'connection', args: [(v) => uint32(v, 'transaction'), (v) => oneOf(v, DISPOSITIONS, 'disposition')] },
  abort: { on: null, args: [(v) => uint32(v, 'request')] },
};

/**
 * Checks one message from a page: { id, op, target, args }.
 * @returns {{id: number, op: string, target: string|null, kind: string|null, args: any[]}}
 * @throws {CheckError} with the request id in `.id` when it could be read
 */
export function checkRequest(message) {
  if (!isPlainObject(message)) fail('a request must be an object');
  const id = message.id;
  try {
    onlyKeys(message, ['id', 'op', 'target', 'args'], 'request');
    uint32(id, 'id');
    if (typeof message.op !== 'string' || !Object.hasOwn(OPERATIONS, message.op)) fail('unknown operation');
    const op = OPERATIONS[message.op];
    const target = op.on === null ? null : handle(message.target);
    if (op.on === null && message.target !== null && message.target !== undefined) fail('this operation takes no object');
    if (!Array.isArray(message.args) || message.args.length !== op.args.length) {
      fail(`${message.op} takes ${op.args.length} arguments`);
    }
    const args = op.args.map((check, i) => check(message.args[i]));
    return { id, op: message.op, target, kind: op.on, args };
  } catch (e) {
    if (e instanceof CheckError && Number.isInteger(id)) e.id = id;
    throw e;
  }
}
