// The demo's service worker: owns the connections to the native host and offers a few
// smart-card operations to the popup (and to the console, as globalThis.demo), written against
// the Web Smart Card API (lib/web-smart-card.js). The PC/SC client stays at globalThis.tessera.
import * as tessera from './lib/tessera-smartcard.js';
import { createSmartCard } from './lib/web-smart-card.js';

globalThis.tessera = tessera;

export function toHex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('').toUpperCase();
}

export function fromHex(text) {
  const clean = String(text).replace(/\s+/g, '');
  if (!/^([0-9a-fA-F]{2})+$/.test(clean)) throw new Error('an APDU is an even number of hex digits');
  return Uint8Array.from(clean.match(/../g), (pair) => parseInt(pair, 16));
}

// The Web Smart Card API over the host: one context (one host process) for the short calls;
// each wait gets a context of its own, since a context runs one operation at a time.
const smartCard = createSmartCard();
globalThis.smartCard = smartCard;
let context = null;
function getContext() {
  if (context === null) {
    context = smartCard.establishContext();
    context.catch(() => { context = null; });
  }
  return context;
}

async function withCard(reader, use) {
  const ctx = await getContext();
  const { connection, activeProtocol } =
    await ctx.connect(reader, 'shared', { preferredProtocols: ['t0', 't1'] });
  try {
    return await use(connection, activeProtocol);
  } finally {
    await connection.disconnect('leave');
  }
}

const operations = {
  async listReaders() {
    return (await getContext()).listReaders();
  },

  cardStatus(reader) {
    return withCard(reader, async (connection, protocol) => {
      const status = await connection.status();
      return { reader: status.readerName, atr: toHex(new Uint8Array(status.answerToReset)),
        state: status.state, protocol };
    });
  },

  sendApdu(reader, apduHex) {
    const apdu = fromHex(apduHex);
    return withCard(reader, async (connection) => {
      const response = new Uint8Array(await connection.transmit(apdu));
      return { response: toHex(response), sw: toHex(response.slice(-2)) };
    });
  },

  // Waits until the card in `reader` is inserted or removed, or `timeoutMs` passes.
  async waitForChange(reader, timeoutMs = 60000) {
    const waiting = await smartCard.establishContext();
    try {
      const [now] = await waiting.getStatusChange([{ readerName: reader, currentState: { unaware: true } }],
        { timeout: 0 });
      const { present, empty } = now.eventState;
      let after;
      try {
        [after] = await waiting.getStatusChange(
          [{ readerName: reader, currentState: { present, empty }, currentCount: now.eventCount }],
          { signal: AbortSignal.timeout(timeoutMs) });
      } catch (e) {
        if (e.name === 'TimeoutError') return { changed: false };
        throw e;
      }
      return {
        changed: true, present: after.eventState.present, empty: after.eventState.empty,
        eventCount: after.eventCount, atr: toHex(new Uint8Array(after.answerToReset)),
      };
    } finally {
      waiting.close();
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
