// The extension (extension/) end to end, the same scenario in every browser: web pages use
// navigator.smartCard through the extension and the host, against the rig's pcscd and virtual
// card. Each browser has a small driver (extension-chromium.test.mjs, extension-firefox.test.mjs)
// that starts the browser and gives the scenario pages to run code in.
//
// Origins (one loopback HTTP server on four ports):
//   user    http://127.0.0.1:P0  the user allows it in the prompt, later revokes it
//   other   http://localhost:P1  the user denies it; it also frames the user origin
//   granted http://127.0.0.1:P2  allowed by the administrator's policy: no prompt
//   blocked http://127.0.0.1:P3  blocked by policy although the user's storage allows it
//
// A driver: { name, launch({ extension, scratch, wrapper, policy }), open(url),
//   promptAnswer(answer) -> the origin the prompt named, extensionPage(path), prompts(), close() },
//   and its pages: { evaluate(fn, arg), frameEvaluate(origin, fn, arg), close() } (pageHandle).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { chmodSync, mkdtempSync, readFileSync, readdirSync, readlinkSync, realpathSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createInterface } from 'node:readline';

const here = dirname(fileURLToPath(import.meta.url));
const source = join(here, '..', '..');
export const ids = JSON.parse(readFileSync(join(source, 'extension', 'ids.json'), 'utf8'));
const ATR = [0x3b, 0x8a, 0x80, 0x01, 0x54, 0x45, 0x53, 0x53, 0x45, 0x52, 0x41, 0x2d, 0x56, 0x43, 0x74];

function startCard() {
  const child = spawn(process.env.TESSERA_VCARD, ['--reader', '0', '--stdin', '--quiet'], { stdio: ['pipe', 'pipe', 'inherit'] });
  const seen = [];
  createInterface({ input: child.stdout }).on('line', (l) => seen.push(l));
  return {
    child,
    async inserted() {
      for (let k = 0; k < 100 && !seen.includes('inserted'); k++) await new Promise((r) => setTimeout(r, 100));
      assert.ok(seen.includes('inserted'), 'the virtual card never got in');
    },
  };
}

/** Pids of running host processes (the real binary, which the wrapper execs). */
function hostProcesses(host) {
  const out = [];
  for (const pid of readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      if (readlinkSync(`/proc/${pid}/exe`) === host) out.push(Number(pid));
    } catch { /* gone, or not ours to read */ }
  }
  return out;
}

async function eventually(check, what, ms = 8000) {
  const deadline = Date.now() + ms;
  for (;;) {
    if (await check()) return;
    if (Date.now() > deadline) assert.fail(`${what} within ${ms} ms`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

/** A driver's page for the scenario; `settle(frame)` waits for a found frame where a browser needs it. */
export function pageHandle(page, settle = async () => {}) {
  return {
    evaluate: (fn, arg) => page.evaluate(fn, arg),
    async frameEvaluate(origin, fn, arg) {
      for (let k = 0; k < 50; k++) {
        const frame = page.frames().find((f) => f !== page.mainFrame() && f.url().startsWith(origin));
        if (frame) {
          await settle(frame);
          return frame.evaluate(fn, arg);
        }
        await new Promise((r) => setTimeout(r, 100));
      }
      throw new Error(`no frame of ${origin}`);
    },
    close: () => page.close(),
  };
}

/** The grant prompts a browser opened: the driver adds each one, the scenario answers them in turn. */
export function promptQueue() {
  let count = 0;
  const waiting = [];
  const unanswered = [];
  return {
    add(page) {
      count++;
      if (waiting.length) waiting.shift()(page);
      else unanswered.push(page);
    },
    next: () => unanswered.shift() ?? new Promise((resolve, reject) => {
      waiting.push(resolve);
      setTimeout(() => reject(new Error('no prompt within 10 s')), 10000);
    }),
    count: () => count,
  };
}

// Runs in the page: the typical exchange through navigator.smartCard.
async function typicalExchange(readers) {
  const out = {};
  const sc = navigator.smartCard;
  const context = await sc.establishContext();
  out.readers = await context.listReaders();
  const [state] = await context.getStatusChange([{ readerName: readers[0], currentState: { unaware: true } }], { timeout: 5000 });
  out.present = state.eventState.present;
  out.atr = Array.from(new Uint8Array(state.answerToReset ?? new ArrayBuffer(0)));
  const { connection, activeProtocol } = await context.connect(readers[0], 'shared', { preferredProtocols: ['t0', 't1'] });
  out.protocol = activeProtocol;
  out.select = Array.from(new Uint8Array(await connection.transmit(new Uint8Array([0x00, 0xa4, 0x04, 0x00, 0x02, 0x3f, 0x00]))));
  out.read = Array.from(new Uint8Array(await connection.transmit(new Uint8Array([0x00, 0xb0, 0x00, 0x00, 0x10]))));
  // A transaction: the page's callback runs between the extension's begin and end.
  out.inTransaction = await connection.startTransaction(async () => {
    out.transactionRead = Array.from(new Uint8Array(await connection.transmit(new Uint8Array([0x00, 0xb0, 0x00, 0x00, 0x02]))));
    return 'leave';
  });
  const status = await connection.status();
  out.status = { readerName: status.readerName, state: status.state, atr: Array.from(new Uint8Array(status.answerToReset ?? new ArrayBuffer(0))) };
  // The extension's own checks: an APDU over 65,544 bytes never leaves the page's session.
  out.tooLong = await connection.transmit(new Uint8Array(65545)).then(() => 'resolved', (e) => e.name);
  // A card error arrives as the draft's SmartCardError, a DOMException with a response code.
  out.emptyReader = await context.connect(readers[1], 'shared', { preferredProtocols: ['t0', 't1'] }).then(() => 'resolved',
    (e) => ({ name: e.name, responseCode: e.responseCode, isError: e instanceof SmartCardError, isDom: e instanceof DOMException }));
  // A callback that throws: the card is reset (so this comes last) and the promise rejects.
  out.failedTransaction = await connection.startTransaction(async () => { throw new RangeError('given up'); })
    .then(() => 'resolved', (e) => `${e.name}: ${e.message}`);
  await connection.disconnect();
  out.afterDisconnect = await connection.status().then(() => 'resolved', (e) => e.name);
  return out;
}

const refusal = () => navigator.smartCard.establishContext().then(() => 'resolved', (e) => e.name);

/**
 * Registers the scenario's tests for one browser.
 * @param {() => object} makeDriver
 */
export function scenario(makeDriver) {
  const driver = makeDriver();
  const readers = [process.env.TESSERA_READER_0, process.env.TESSERA_READER_1];
  let scratch, servers = [], card, host, log, origins;
  const hostBytes = () => statSync(log).size;

  before(async () => {
    assert.ok(process.env.TESSERA_RIG === '1' && process.env.TESSERA_HOST && process.env.TESSERA_VCARD,
      'run through run-in-rig.sh with TESSERA_HOST and TESSERA_VCARD');
    scratch = mkdtempSync(join(tmpdir(), `tessera-ext-${driver.name}-`));
    host = realpathSync(process.env.TESSERA_HOST);
    log = join(scratch, 'host-input.bin');
    writeFileSync(log, '');
    // The registered host copies every byte it is sent to the log, then runs the real binary.
    const wrapper = join(scratch, 'host.sh');
    writeFileSync(wrapper, `#!/bin/sh\ntee -a '${log}' | exec '${host}'\n`);
    chmodSync(wrapper, 0o755);
    const extension = join(scratch, 'extension');
    execFileSync('bash', [join(source, 'extension', 'build.sh'), '--unpacked', extension]);

    const ports = [];
    for (let k = 0; k < 4; k++) {
      const server = createServer((req, res) => {
        res.setHeader('content-type', 'text/html');
        const frame = new URL(req.url, 'http://x').searchParams.get('frame');
        res.end(`<!doctype html><title>t</title>${frame ? `<iframe src="${frame}"></iframe>` : ''}`);
      });
      await new Promise((r) => server.listen(0, '127.0.0.1', r));
      servers.push(server);
      ports.push(server.address().port);
    }
    origins = {
      user: `http://127.0.0.1:${ports[0]}`, other: `http://localhost:${ports[1]}`,
      granted: `http://127.0.0.1:${ports[2]}`, blocked: `http://127.0.0.1:${ports[3]}`,
    };
    card = startCard();
    await card.inserted();
    await driver.launch({
      extension, scratch, wrapper,
      policy: { allowedOrigins: [origins.granted], blockedOrigins: [origins.blocked, 'https://*.blocked.example'] },
    });
  });

  after(async () => {
    await driver.close().catch(() => {});
    card?.child.kill();
    for (const s of servers) s.close();
    if (scratch) rmSync(scratch, { recursive: true, force: true });
  });

  test('an allowed origin runs the typical exchange through navigator.smartCard', async () => {
    const page = await driver.open(`${origins.user}/?frame=${encodeURIComponent(`${origins.user}/`)}`);
    const running = page.evaluate(typicalExchange, readers);
    assert.equal(await driver.promptAnswer('allow'), origins.user, 'the prompt names the origin');
    const out = await running;
    assert.deepEqual(out.readers, readers);
    assert.equal(out.present, true);
    assert.deepEqual(out.atr, ATR);
    assert.ok(out.protocol === 't0' || out.protocol === 't1', `protocol ${out.protocol}`);
    assert.deepEqual(out.select, [0x90, 0x00]);
    assert.deepEqual(out.read, [...Array.from({ length: 16 }, (_, i) => i), 0x90, 0x00]);
    assert.equal(out.inTransaction, undefined);
    assert.deepEqual(out.transactionRead, [0, 1, 0x90, 0x00]);
    assert.equal(out.failedTransaction, 'RangeError: given up');
    assert.equal(out.status.readerName, readers[0]);
    assert.ok(['negotiable', 't0', 't1', 'raw'].includes(out.status.state), `state ${out.status.state}`);
    assert.deepEqual(out.status.atr, ATR);
    assert.equal(out.tooLong, 'TypeError');
    assert.deepEqual(out.emptyReader, { name: 'SmartCardError', responseCode: 'no-smartcard', isError: true, isDom: true });
    assert.equal(out.afterDisconnect, 'InvalidStateError');
    const pageHosts = hostProcesses(host).length;
    assert.ok(pageHosts >= 1, 'the page has its host');
    // A frame of the page's own origin may use smart cards too, with a host of its own.
    assert.deepEqual(await page.frameEvaluate(origins.user, () => navigator.smartCard.establishContext().then((c) => c.listReaders())), readers);
    assert.ok(hostProcesses(host).length > pageHosts, 'the frame has a host of its own');

    // Closing the tab ends its contexts and the host processes.
    await page.close();
    await eventually(() => hostProcesses(host).length === 0, 'the host ends with its tab');
  });

  test('a denied origin and a cross-origin frame are refused, and the host hears nothing of them', async () => {
    const before = hostBytes();
    const page = await driver.open(`${origins.other}/?frame=${encodeURIComponent(`${origins.user}/`)}`);
    const first = page.evaluate(refusal);
    assert.equal(await driver.promptAnswer('deny'), origins.other);
    assert.equal(await first, 'NotAllowedError');
    const prompts = driver.prompts();
    assert.equal(await page.evaluate(refusal), 'NotAllowedError', 'a denial is remembered');
    // The frame's origin was allowed, but a frame of another origin than its page gets nothing.
    assert.equal(await page.frameEvaluate(origins.user, refusal), 'NotAllowedError');
    assert.equal(driver.prompts(), prompts, 'no second prompt');
    assert.equal(hostBytes(), before, 'no byte reached the host');
    assert.deepEqual(hostProcesses(host), []);
    await page.close();
  });

  test('policy: a granted origin needs no prompt, a blocked one is refused although the user allowed it', async () => {
    const options = await driver.extensionPage('options.html');
    // What the user allowed earlier, as the prompt would have stored it.
    await options.evaluate((origin) => {
      const api = globalThis.browser ?? globalThis.chrome;
      return api.storage.local.get('grants').then(({ grants }) => api.storage.local.set({ grants: { ...grants, [origin]: 'allow' } }));
    }, origins.blocked);
    const prompts = driver.prompts();
    const granted = await driver.open(`${origins.granted}/`);
    const readersSeen = await granted.evaluate(() => navigator.smartCard.establishContext().then((c) => c.listReaders()));
    assert.deepEqual(readersSeen, readers);
    const blocked = await driver.open(`${origins.blocked}/`);
    assert.equal(await blocked.evaluate(refusal), 'NotAllowedError');
    assert.equal(driver.prompts(), prompts, 'no prompt for managed origins');

    // The options page tells the administrator's entries apart.
    const shown = await (await driver.extensionPage('options.html')).evaluate(async () => {
      for (let k = 0; k < 50 && document.body.dataset.ready !== 'true'; k++) await new Promise((r) => setTimeout(r, 100));
      return Array.from(document.querySelectorAll('#grants tr'), (r) => [r.dataset.origin, r.dataset.managed, r.cells[1].textContent]);
    });
    assert.deepEqual(shown.filter(([, managed]) => managed === 'true').map(([o]) => o).sort(),
      [origins.blocked, origins.granted, 'https://*.blocked.example'].sort());
    assert.deepEqual(shown.find(([o, managed]) => o === origins.blocked && managed === 'false'),
      [origins.blocked, 'false', 'Allowed, but blocked by the administrator']);
    // Navigating away releases the page's contexts as closing does.
    assert.ok(hostProcesses(host).length >= 1);
    await granted.evaluate(() => { setTimeout(() => { location.href = '/elsewhere'; }, 0); });
    await eventually(() => hostProcesses(host).length === 0, 'the host ends when its page navigates away');
    await granted.close();
    await blocked.close();
  });

  test('after a revoke in the options page the origin is refused', async () => {
    const options = await driver.extensionPage('options.html');
    await options.evaluate(async (origin) => {
      for (let k = 0; k < 50 && !document.querySelector(`button[data-action="revoke"][data-origin="${origin}"]`); k++) {
        await new Promise((r) => setTimeout(r, 100));
      }
      document.querySelector(`button[data-action="revoke"][data-origin="${origin}"]`).click();
      for (let k = 0; k < 50; k++) {
        const row = document.querySelector(`tr[data-origin="${origin}"][data-managed="false"]`);
        if (row?.cells[1].textContent === 'Denied') return;
        await new Promise((r) => setTimeout(r, 100));
      }
      throw new Error('the revoke never showed');
    }, origins.user);
    const prompts = driver.prompts();
    const before = hostBytes();
    const page = await driver.open(`${origins.user}/`);
    assert.equal(await page.evaluate(refusal), 'NotAllowedError');
    assert.equal(driver.prompts(), prompts);
    assert.equal(hostBytes(), before);
    await page.close();
  });
}
