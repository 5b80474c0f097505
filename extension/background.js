// The extension's background: holds the real smart-card objects for each page, checks every
// message from a page, and asks the user (or the administrator's policy) which origins may use
// smart cards. Runs as a service worker in the Chrome family and as a background script in Firefox.
import { createSmartCard } from './lib/web-smart-card.js';
import { checkRequest, CheckError, MAX_IN_FLIGHT, MAX_OBJECTS } from './checks.js';
import { decide, normaliseOrigin } from './origins.js';

const HOST_NAME = 'org.tessera.smartcard';
const PORT_NAME = 'tessera-smartcard-page';
const api = globalThis.browser ?? globalThis.chrome;

// ---- grants ---------------------------------------------------------------------------------

let grants = {};   // origin -> 'allow' | 'deny', the user's answers
let managed = {};  // the administrator's { allowedOrigins, blockedOrigins }

async function loadManaged() {
  try {
    managed = (await api.storage.managed.get(null)) ?? {};
  } catch {
    managed = {};  // no policy for this extension
  }
}

const ready = (async () => {
  grants = (await api.storage.local.get('grants')).grants ?? {};
  await loadManaged();
})();

api.storage.onChanged.addListener((changes, area) => {
  if (area === 'local' && changes.grants) grants = changes.grants.newValue ?? {};
  if (area === 'managed') loadManaged().then(dropRefusedSessions);
  if (area === 'local') dropRefusedSessions();
});

async function setGrant(origin, answer) {
  const next = { ...((await api.storage.local.get('grants')).grants ?? {}) };
  if (answer === null) delete next[origin];
  else next[origin] = answer;
  grants = next;
  await api.storage.local.set({ grants: next });
  dropRefusedSessions();
}

// One prompt window per origin; every request waiting for it shares the answer.
const prompts = new Map();  // origin -> { windowId, waiting: [resolve], }

function ask(origin) {
  let prompt = prompts.get(origin);
  if (!prompt) {
    prompt = { windowId: null, waiting: [] };
    prompts.set(origin, prompt);
    const url = api.runtime.getURL(`grant.html?origin=${encodeURIComponent(origin)}`);
    api.windows.create({ url, type: 'popup', width: 460, height: 260 })
      .then((w) => { prompt.windowId = w.id; })
      .catch(() => answerPrompt(origin, 'deny', false));
  }
  return new Promise((resolve) => prompt.waiting.push(resolve));
}

async function answerPrompt(origin, answer, remember) {
  const prompt = prompts.get(origin);
  if (!prompt) return;
  prompts.delete(origin);
  if (remember) await setGrant(origin, answer);
  for (const resolve of prompt.waiting) resolve(answer);
  if (prompt.windowId !== null) api.windows.remove(prompt.windowId).catch(() => {});
}

api.windows.onRemoved.addListener((windowId) => {
  for (const [origin, prompt] of prompts) {
    if (prompt.windowId === windowId) answerPrompt(origin, 'deny', false);  // closed unanswered
  }
});

/** 'allow' or 'deny' for an origin, asking the user when neither they nor the policy decided. */
async function permission(origin) {
  await ready;
  const { decision } = decide(origin, grants, managed);
  return decision === 'ask' ? ask(origin) : decision;
}

// Messages from the extension's own pages: the prompt and the options page.
api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  const ownPage = sender.id === api.runtime.id && typeof sender.url === 'string' &&
    sender.url.startsWith(api.runtime.getURL(''));
  if (!ownPage || typeof message !== 'object' || message === null) return false;
  const origin = normaliseOrigin(message.origin);
  const run = async () => {
    await ready;
    switch (message.type) {
      case 'prompt-answer':
        if (origin && (message.answer === 'allow' || message.answer === 'deny')) {
          await answerPrompt(origin, message.answer, true);
        }
        return { ok: true };
      case 'list-grants': {
        const own = Object.entries(grants).map(([o, answer]) => ({ origin: o, answer, managed: false }));
        const list = (name) => (Array.isArray(managed[name]) ? managed[name].filter((p) => typeof p === 'string') : []);
        const fromPolicy = [
          ...list('allowedOrigins').map((o) => ({ origin: o, answer: 'allow', managed: true })),
          ...list('blockedOrigins').map((o) => ({ origin: o, answer: 'deny', managed: true })),
        ];
        return { entries: [...fromPolicy, ...own.map((e) => ({ ...e, effective: decide(e.origin, grants, managed).decision }))] };
      }
      case 'revoke':
        if (origin && Object.hasOwn(grants, origin)) await setGrant(origin, 'deny');
        return { ok: true };
      case 'forget':
        if (origin) await setGrant(origin, null);
        return { ok: true };
      default:
        return { ok: false };
    }
  };
  run().then(sendResponse, (e) => sendResponse({ ok: false, error: String(e) }));
  return true;
});

// ---- pages ----------------------------------------------------------------------------------

const sessions = new Set();

/** The origin a port speaks for, or null when it may not use smart cards at all. */
function originOf(port) {
  const sender = port.sender ?? {};
  if (sender.id !== api.runtime.id || !sender.tab) return null;
  const origin = normaliseOrigin(sender.origin ?? sender.url);
  if (!origin) return null;
  // Frames other than the top one only when they share the top frame's origin.
  if (sender.frameId !== 0 && normaliseOrigin(sender.tab.url ?? '') !== origin) return null;
  return origin;
}

const wireError = (name, message, responseCode) => ({ name, message, ...(responseCode ? { responseCode } : {}) });

function toWire(value) {
  if (value instanceof ArrayBuffer) return { bytes: Array.from(new Uint8Array(value)) };
  if (ArrayBuffer.isView(value)) return { bytes: Array.from(new Uint8Array(value.buffer, value.byteOffset, value.byteLength)) };
  if (Array.isArray(value)) return value.map(toWire);
  if (value && typeof value === 'object') {
    return Object.fromEntries(Object.entries(value).filter(([, v]) => v !== undefined).map(([k, v]) => [k, toWire(v)]));
  }
  return value;
}

class Session {
  constructor(port, origin) {
    this.port = port;
    this.origin = origin;
    this.manager = null;
    this.objects = new Map();       // handle -> { kind, object }
    this.inFlight = new Map();      // request id -> AbortController
    this.transactions = new Map();  // request id -> resolve(disposition)
    this.closed = false;
    sessions.add(this);
    port.onMessage.addListener((m) => this.receive(m));
    port.onDisconnect.addListener(() => this.close());
  }

  send(message) {
    if (this.closed) return;
    try {
      this.port.postMessage(message);
    } catch {
      this.close();
    }
  }

  keep(kind, object) {
    if (this.objects.size >= MAX_OBJECTS) throw new DOMException('too many contexts and connections', 'InvalidStateError');
    const handle = crypto.randomUUID();
    this.objects.set(handle, { kind, object });
    return handle;
  }

  async receive(message) {
    let request;
    try {
      request = checkRequest(message);
    } catch (e) {
      if (Number.isInteger(e.id)) this.send({ id: e.id, error: wireError('TypeError', e.message) });
      return;
    }
    if (request.op === 'abort') {
      this.inFlight.get(request.args[0])?.abort(new DOMException('The operation was aborted.', 'AbortError'));
      return;
    }
    if (this.inFlight.has(request.id) || this.inFlight.size >= MAX_IN_FLIGHT) {
      this.send({ id: request.id, error: wireError('InvalidStateError', 'too many requests at once') });
      return;
    }
    const controller = new AbortController();
    this.inFlight.set(request.id, controller);
    try {
      // Every request passes the permission check; nothing reaches the client before it does.
      if ((await permission(this.origin)) !== 'allow' || this.closed) {
        throw new DOMException('This origin may not use smart cards.', 'NotAllowedError');
      }
      const value = await this.run(request, controller.signal);
      this.send({ id: request.id, value: toWire(value) });
    } catch (e) {
      const name = typeof e?.name === 'string' ? e.name : 'UnknownError';
      this.send({ id: request.id, error: wireError(name, String(e?.message ?? e), e?.responseCode) });
    } finally {
      this.inFlight.delete(request.id);
    }
  }

  target(request) {
    const entry = this.objects.get(request.target);
    if (!entry || entry.kind !== request.kind) throw new CheckError('unknown object');
    return entry.object;
  }

  async run(request, signal) {
    const [a, b, c] = request.args;
    switch (request.op) {
      case 'establishContext': {
        this.manager ??= createSmartCard({ connectPort: () => api.runtime.connectNative(HOST_NAME) });
        return { context: this.keep('context', await this.manager.establishContext()) };
      }
      case 'listReaders': return this.target(request).listReaders();
      case 'getStatusChange': return this.target(request).getStatusChange(a, { ...b, signal });
      case 'connect': {
        const result = await this.target(request).connect(a, b, c);
        return { connection: this.keep('connection', result.connection), activeProtocol: result.activeProtocol };
      }
      case 'disconnect': return this.target(request).disconnect(a);
      case 'transmit': return this.target(request).transmit(a, b);
      case 'status': return this.target(request).status();
      case 'control': return this.target(request).control(a, b);
      case 'getAttribute': return this.target(request).getAttribute(a);
      case 'setAttribute': return this.target(request).setAttribute(a, b);
      case 'startTransaction':
        // The page runs its callback between 'transaction-started' and its endTransaction.
        return this.target(request).startTransaction(() => new Promise((resolve) => {
          this.transactions.set(request.id, resolve);
          this.send({ event: 'transaction-started', id: request.id });
        }), { signal });
      case 'endTransaction': {
        this.target(request);
        const resolve = this.transactions.get(a);
        if (!resolve) throw new DOMException('no such transaction', 'InvalidStateError');
        this.transactions.delete(a);
        resolve(b);
        return undefined;
      }
      default: throw new CheckError('unknown operation');
    }
  }

  /**
   * Ends everything this page had: its host process goes with the resource manager. With a
   * reason (a revoke, a block), the page's outstanding requests are refused with it first.
   */
  close(refusal = null) {
    if (this.closed) return;
    if (refusal) {
      for (const id of this.inFlight.keys()) this.send({ id, error: wireError('NotAllowedError', refusal) });
    }
    this.closed = true;
    sessions.delete(this);
    for (const controller of this.inFlight.values()) controller.abort();
    for (const resolve of this.transactions.values()) resolve('leave');
    this.objects.clear();
    try { this.manager?.close(); } catch { /* already gone */ }
    try { this.port.disconnect(); } catch { /* already gone */ }
  }
}

/** A revoke or a new block ends the sessions of the origins it concerns. */
function dropRefusedSessions() {
  for (const session of [...sessions]) {
    if (decide(session.origin, grants, managed).decision === 'deny') session.close('This origin may no longer use smart cards.');
  }
}

api.runtime.onConnect.addListener((port) => {
  if (port.name !== PORT_NAME) return;
  const origin = originOf(port);
  if (!origin) {
    // Refused without a session: every request gets NotAllowedError, nothing reaches the host.
    port.onMessage.addListener((m) => {
      if (Number.isInteger(m?.id)) {
        port.postMessage({ id: m.id, error: wireError('NotAllowedError', 'This frame may not use smart cards.') });
      }
    });
    return;
  }
  new Session(port, origin);  // eslint-disable-line no-new
});
