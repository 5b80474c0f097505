// navigator.smartCard in the page's own world: the Web Smart Card API's objects, each call sent
// as a message to the extension (content.js relays it to the background, which holds the real
// objects and checks everything). The page never composes a host request.
(() => {
  if (!window.isSecureContext || 'smartCard' in Navigator.prototype) return;

  const pending = new Map();  // request id -> { resolve, reject, onEvent }
  let nextId = 1;
  const TOKEN = Symbol('internal');

  class SmartCardError extends DOMException {
    #responseCode;
    constructor(message = '', options = undefined) {
      super(message, 'SmartCardError');
      if (!options || typeof options.responseCode !== 'string') {
        throw new TypeError("SmartCardError: options.responseCode is required");
      }
      this.#responseCode = options.responseCode;
    }
    get responseCode() { return this.#responseCode; }
  }

  function errorFrom(wire) {
    const message = String(wire?.message ?? '');
    switch (wire?.name) {
      case 'SmartCardError': return new SmartCardError(message, { responseCode: String(wire.responseCode ?? 'unknown-error') });
      case 'TypeError': return new TypeError(message);
      case 'RangeError': return new RangeError(message);
      default: return new DOMException(message, String(wire?.name ?? 'UnknownError'));
    }
  }

  function fromWire(value) {
    if (Array.isArray(value)) return value.map(fromWire);
    if (value && typeof value === 'object') {
      if (Array.isArray(value.bytes) && Object.keys(value).length === 1) return new Uint8Array(value.bytes).buffer;
      return Object.fromEntries(Object.entries(value).map(([k, v]) => [k, fromWire(v)]));
    }
    return value;
  }

  function toBytes(source, what) {
    if (source instanceof ArrayBuffer) return Array.from(new Uint8Array(source));
    if (ArrayBuffer.isView(source)) return Array.from(new Uint8Array(source.buffer, source.byteOffset, source.byteLength));
    throw new TypeError(`${what} must be a BufferSource`);
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window || event.data?.tesseraSmartCard !== 'from-extension') return;
    const message = event.data.message;
    if (message?.event === 'closed') {
      for (const [id, p] of pending) {
        pending.delete(id);
        p.reject(new DOMException('The smart-card service went away.', 'InvalidStateError'));
      }
      return;
    }
    const p = pending.get(message?.id);
    if (!p) return;
    if (message.event) {
      p.onEvent?.(message.event);
      return;
    }
    pending.delete(message.id);
    if (message.error) p.reject(errorFrom(message.error));
    else p.resolve(fromWire(message.value));
  });

  function post(message) {
    window.postMessage({ tesseraSmartCard: 'from-page', message }, '*');
  }

  /** One request to the background; `signal` aborts it, `onEvent` sees its events. */
  function call(op, target, args, { signal, onEvent } = {}) {
    const id = nextId++;
    return new Promise((resolve, reject) => {
      if (signal?.aborted) {
        reject(signal.reason);
        return;
      }
      pending.set(id, { resolve, reject, onEvent: onEvent && ((e) => onEvent(e, id)) });
      signal?.addEventListener('abort', () => post({ id: nextId++, op: 'abort', target: null, args: [id] }), { once: true });
      post({ id, op, target, args });
    });
  }

  const plainOptions = (options, names) => {
    const out = {};
    for (const name of names) if (options?.[name] !== undefined) out[name] = options[name];
    return out;
  };

  class SmartCardConnection {
    #handle;
    constructor(token, handle) {
      if (token !== TOKEN) throw new TypeError('Illegal constructor');
      this.#handle = handle;
    }
    disconnect(disposition = 'leave') { return call('disconnect', this.#handle, [disposition]); }
    transmit(sendBuffer, options = {}) {
      return call('transmit', this.#handle, [toBytes(sendBuffer, 'sendBuffer'), plainOptions(options, ['protocol'])]);
    }
    status() { return call('status', this.#handle, []); }
    control(controlCode, data) { return call('control', this.#handle, [controlCode, toBytes(data, 'data')]); }
    getAttribute(tag) { return call('getAttribute', this.#handle, [tag]); }
    setAttribute(tag, value) { return call('setAttribute', this.#handle, [tag, toBytes(value, 'value')]); }
    startTransaction(transaction, options = {}) {
      if (typeof transaction !== 'function') return Promise.reject(new TypeError('transaction must be a function'));
      const handle = this.#handle;
      let failure = null;
      return call('startTransaction', handle, [], {
        signal: options.signal,
        onEvent: async (event, id) => {
          if (event !== 'transaction-started') return;
          let disposition = 'reset';
          try {
            disposition = (await transaction()) ?? 'reset';
          } catch (e) {
            failure = { reason: e };  // the card is reset, and the transaction rejects with it
          }
          call('endTransaction', handle, [id, disposition]).catch(() => {});
        },
      }).then((value) => {
        if (failure) throw failure.reason;
        return value;
      });
    }
  }

  class SmartCardContext {
    #handle;
    constructor(token, handle) {
      if (token !== TOKEN) throw new TypeError('Illegal constructor');
      this.#handle = handle;
    }
    listReaders() { return call('listReaders', this.#handle, []); }
    getStatusChange(readerStates, options = {}) {
      const states = Array.from(readerStates ?? [], (s) => ({
        readerName: s?.readerName,
        currentState: plainOptions(s?.currentState, ['unaware', 'ignore', 'unavailable', 'empty', 'present', 'exclusive', 'inuse', 'mute', 'unpowered']),
        ...(s?.currentCount === undefined ? {} : { currentCount: s.currentCount }),
      }));
      return call('getStatusChange', this.#handle, [states, plainOptions(options, ['timeout'])], { signal: options.signal });
    }
    async connect(readerName, accessMode, options = {}) {
      const result = await call('connect', this.#handle,
        [readerName, accessMode, plainOptions(options, ['preferredProtocols'])]);
      const out = { connection: new SmartCardConnection(TOKEN, result.connection) };
      if (result.activeProtocol !== undefined) out.activeProtocol = result.activeProtocol;
      return out;
    }
  }

  class SmartCardResourceManager {
    constructor(token) {
      if (token !== TOKEN) throw new TypeError('Illegal constructor');
    }
    async establishContext() {
      const { context } = await call('establishContext', null, []);
      return new SmartCardContext(TOKEN, context);
    }
  }

  const manager = new SmartCardResourceManager(TOKEN);
  Object.defineProperty(Navigator.prototype, 'smartCard', { get: () => manager, enumerable: true, configurable: true });
  for (const [name, value] of Object.entries({ SmartCardError, SmartCardResourceManager, SmartCardContext, SmartCardConnection })) {
    Object.defineProperty(window, name, { value, writable: true, configurable: true });
  }
})();
