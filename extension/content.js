// Relays between the page's navigator.smartCard (page.js, in the page's world) and the
// extension's background. It passes messages only; the background checks them. The port opens
// with the first request and closes with the page, which releases everything the page held.
(() => {
  const PORT_NAME = 'tessera-smartcard-page';
  const MAX_MESSAGE = 1024 * 1024;
  const api = globalThis.browser ?? globalThis.chrome;
  if (!window.isSecureContext || !api?.runtime?.connect) return;
  let port = null;

  const toPage = (message) => window.postMessage({ tesseraSmartCard: 'from-extension', message }, '*');

  function open() {
    port = api.runtime.connect({ name: PORT_NAME });
    port.onMessage.addListener(toPage);
    port.onDisconnect.addListener(() => {
      port = null;
      toPage({ event: 'closed' });
    });
  }

  // Leaving the page (Firefox may keep it alive in its back-forward cache with the port open)
  // ends its session: the background releases its contexts and its host.
  window.addEventListener('pagehide', () => {
    if (!port) return;
    port.disconnect();
    port = null;
    toPage({ event: 'closed' });
  });

  window.addEventListener('message', (event) => {
    if (event.source !== window || event.data?.tesseraSmartCard !== 'from-page') return;
    let message;
    try {
      // A plain copy: the background port takes JSON-shaped values only. The largest valid
      // request (65,544 bytes as numbers) is far below the cap.
      const text = JSON.stringify(event.data.message);
      if (typeof text !== 'string' || text.length > MAX_MESSAGE) {
        const id = event.data.message?.id;
        if (Number.isInteger(id)) toPage({ id, error: { name: 'TypeError', message: 'request too large' } });
        return;
      }
      message = JSON.parse(text);
    } catch {
      return;
    }
    if (!port) open();
    port.postMessage(message);
  });
})();
