// The demo's service worker: owns the connections to the native host and offers a few
// smart-card operations to the popup (and to the console, as globalThis.demo).
import * as tessera from './lib/tessera-smartcard.js';

globalThis.tessera = tessera;

export function toHex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('').toUpperCase();
}

export function fromHex(text) {
  const clean = String(text).replace(/\s+/g, '');
  if (!/^([0-9a-fA-F]{2})+$/.test(clean)) throw new Error('an APDU is an even number of hex digits');
  return Uint8Array.from(clean.match(/../g), (pair) => parseInt(pair, 16));
}

function need(reply, call) {
  if (!reply.ok) throw new Error(`${call} failed: ${reply.resultName}`);
  return reply;
}

// One host process with one context serves the short calls. Waits get a host process of their
// own: the host answers one request at a time, so a wait would hold up every other call.
let session = null;
function getSession() {
  if (session === null) {
    session = (async () => {
      const pcsc = tessera.connect();
      const { context } = need(await pcsc.SCardEstablishContext(tessera.SCARD_SCOPE_SYSTEM),
        'SCardEstablishContext');
      return { pcsc, context };
    })();
    session.catch(() => { session = null; });
  }
  return session.then((s) => {
    if (!s.pcsc.closed) return s;
    session = null;
    return getSession();
  });
}

async function withCard(reader, use) {
  const { pcsc, context } = await getSession();
  const { card, activeProtocol } = need(
    await pcsc.SCardConnect(context, reader, tessera.SCARD_SHARE_SHARED, tessera.SCARD_PROTOCOL_ANY),
    'SCardConnect');
  try {
    return await use(pcsc, card, activeProtocol);
  } finally {
    await pcsc.SCardDisconnect(card, tessera.SCARD_LEAVE_CARD);
  }
}

const operations = {
  async listReaders() {
    const { pcsc, context } = await getSession();
    const reply = await pcsc.SCardListReaders(context);
    if (reply.resultName === 'SCARD_E_NO_READERS_AVAILABLE') return [];
    return need(reply, 'SCardListReaders').readers;
  },

  cardStatus(reader) {
    return withCard(reader, async (pcsc, card) => {
      const status = need(await pcsc.SCardStatus(card), 'SCardStatus');
      return { reader: status.readerNames[0], atr: toHex(status.atr), state: status.state,
        protocol: status.protocol };
    });
  },

  sendApdu(reader, apduHex) {
    const apdu = fromHex(apduHex);
    return withCard(reader, async (pcsc, card, protocol) => {
      const { response } = need(await pcsc.SCardTransmit(card, protocol, apdu), 'SCardTransmit');
      return { response: toHex(response), sw: toHex(response.slice(-2)) };
    });
  },

  // Waits until the card in `reader` is inserted or removed, or `timeoutMs` passes.
  async waitForChange(reader, timeoutMs = 60000) {
    const pcsc = tessera.connect();
    try {
      const { context } = need(await pcsc.SCardEstablishContext(tessera.SCARD_SCOPE_SYSTEM),
        'SCardEstablishContext');
      const now = need(await pcsc.SCardGetStatusChange(context, 0,
        [{ reader, currentState: tessera.SCARD_STATE_UNAWARE }]), 'SCardGetStatusChange');
      const before = now.readerStates[0].eventState & ~tessera.SCARD_STATE_CHANGED;
      const change = await pcsc.SCardGetStatusChange(context, timeoutMs,
        [{ reader, currentState: before }]);
      if (change.resultName === 'SCARD_E_TIMEOUT') return { changed: false };
      const after = need(change, 'SCardGetStatusChange').readerStates[0];
      await pcsc.SCardReleaseContext(context);
      return {
        changed: true,
        present: (after.eventState & tessera.SCARD_STATE_PRESENT) !== 0,
        empty: (after.eventState & tessera.SCARD_STATE_EMPTY) !== 0,
        eventState: after.eventState,
        atr: toHex(after.atr),
      };
    } finally {
      pcsc.close();
    }
  },
};
globalThis.demo = operations;

chrome.runtime.onMessage.addListener((message, sender, sendResponse) => {
  const operation = operations[message?.op];
  if (!operation) return false;
  Promise.resolve()
    .then(() => operation(...(message.args ?? [])))
    .then((value) => sendResponse({ value }), (error) => sendResponse({ error: error.message }));
  return true;  // the answer comes later
});
