// The demo extension in a real, headless Chromium, talking through native messaging to the host,
// which talks to a private pcscd with a virtual card. Runs inside run-in-rig.sh (see
// CMakeLists.txt), which gives the readers' names and ports in the environment.
//
//   TESSERA_HOST   the tessera-smartcard binary
//   TESSERA_VCARD  the virtual card program
//   TESSERA_CHROMIUM (optional) the browser, default /usr/lib/chromium/chromium
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
const source = join(here, '..', '..');
const hostPath = process.env.TESSERA_HOST;
const vcardPath = process.env.TESSERA_VCARD;
const browserPath = process.env.TESSERA_CHROMIUM ?? '/usr/lib/chromium/chromium';
const reader = process.env.TESSERA_READER_0;
const extensionId = readFileSync(join(source, 'examples/demo-extension/extension-id.txt'), 'utf8').trim();
const BROWSER_MESSAGE_LIMIT = 1024 * 1024;

let scratch;
let context;
let worker;
let card;

// The virtual card, driven through its standard input; its output lines are events.
function startCard() {
  const child = spawn(vcardPath, ['--reader', '0', '--stdin', '--quiet'], { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = [];
  const waiters = [];
  createInterface({ input: child.stdout }).on('line', (line) => {
    lines.push(line);
    for (const w of waiters.splice(0)) w();
  });
  return {
    child,
    send: (command) => child.stdin.write(`${command}\n`),
    async waitFor(word, ms = 10000) {
      const deadline = Date.now() + ms;
      while (!lines.includes(word)) {
        if (Date.now() > deadline) throw new Error(`virtual card: no "${word}" within ${ms} ms: ${lines}`);
        await new Promise((resolve) => { waiters.push(resolve); setTimeout(resolve, 100); });
      }
      lines.splice(lines.indexOf(word), 1);
    },
  };
}

// Evaluates in the service worker, for at most `ms`.
function inWorker(fn, arg, ms = 20000) {
  let timer;
  return Promise.race([
    worker.evaluate(fn, arg),
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`worker call took over ${ms} ms`)), ms); }),
  ]).finally(() => clearTimeout(timer));
}

before(async () => {
  assert.ok(process.env.TESSERA_RIG === '1' && hostPath && vcardPath && reader,
    'run through run-in-rig.sh (private mounts) with TESSERA_HOST and TESSERA_VCARD');
  scratch = mkdtempSync(join(tmpdir(), 'tessera-browser-'));
  const extension = join(scratch, 'extension');
  const profile = join(scratch, 'profile');
  execFileSync('bash', [join(source, 'examples/demo-extension/assemble.sh'), extension], { stdio: 'ignore' });
  // The manifest goes where Chromium looks with a custom profile: <user-data-dir>/NativeMessagingHosts.
  execFileSync('bash', [join(source, 'packaging/unix/install.sh'), '--no-copy', '--host', hostPath,
    '--chrome-id', extensionId, '--browsers', 'chromium', '--profile-dir', profile], {
    stdio: 'ignore', env: { ...process.env, HOME: join(scratch, 'home'), XDG_CONFIG_HOME: join(scratch, 'config') },
  });

  // Broken registrations beside the good one, for the errors an extension then sees.
  const hosts = join(profile, 'NativeMessagingHosts');
  const good = JSON.parse(readFileSync(join(hosts, 'org.tessera.smartcard.json'), 'utf8'));
  const broken = {
    'org.tessera.wrong_id': { allowed_origins: [`chrome-extension://${'a'.repeat(32)}/`] },
    'org.tessera.no_slash': { allowed_origins: [`chrome-extension://${extensionId}`] },
    'org.tessera.relative': { path: 'tessera-smartcard' },
    'org.tessera.mismatch': { name: 'org.tessera.other' },
    'org.tessera.gone': { path: join(scratch, 'no-such-binary') },
    'org.tessera.not_executable': { path: join(hosts, 'org.tessera.smartcard.json') },
    'org.tessera.exits': { path: '/bin/true' },
  };
  for (const [name, change] of Object.entries(broken)) {
    writeFileSync(join(hosts, `${name}.json`), JSON.stringify({ ...good, name, ...change }));
  }
  writeFileSync(join(hosts, 'org.tessera.bad_json.json'), JSON.stringify({ ...good, name: 'org.tessera.bad_json' }).slice(0, -1));
  // Chromium's system-wide folder, on a tmpfs that only this rig's mount namespace sees.
  execFileSync('mount', ['-t', 'tmpfs', 'tmpfs', '/etc/chromium']);
  mkdirSync('/etc/chromium/native-messaging-hosts');
  writeFileSync('/etc/chromium/native-messaging-hosts/org.tessera.system_wide.json',
    JSON.stringify({ ...good, name: 'org.tessera.system_wide' }));
  // With a profile folder of its own, the browser ignores the per-user folder.
  const perUser = join(scratch, 'config', 'chromium', 'NativeMessagingHosts');
  mkdirSync(perUser, { recursive: true });
  writeFileSync(join(perUser, 'org.tessera.per_user.json'), JSON.stringify({ ...good, name: 'org.tessera.per_user' }));

  const t0 = Date.now();
  card = startCard();
  await card.waitFor('inserted');

  console.log(`card ready after ${Date.now() - t0} ms`);
  context = await chromium.launchPersistentContext(profile, {
    executablePath: browserPath,
    headless: true,
    ignoreDefaultArgs: ['--disable-extensions'],
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--disable-extensions-except=${extension}`, `--load-extension=${extension}`],
    env: { ...process.env, HOME: join(scratch, 'home'), XDG_CONFIG_HOME: join(scratch, 'config') },
    timeout: 30000,
  });
  console.log(`browser up after ${Date.now() - t0} ms`);
  const isOurs = (w) => w.url().startsWith(`chrome-extension://${extensionId}/`);
  worker = context.serviceWorkers().find(isOurs) ??
    await context.waitForEvent('serviceworker', { predicate: isOurs, timeout: 20000 });
  // The worker's module may still be loading when it is first seen.
  const deadline = Date.now() + 20000;
  while (!(await worker.evaluate(() => typeof globalThis.demo === 'object' && typeof globalThis.tessera === 'object'))) {
    assert.ok(Date.now() < deadline, 'the service worker never set up its globals');
    await new Promise((r) => setTimeout(r, 100));
  }
});

after(async () => {
  const t1 = Date.now();
  await context?.close().catch(() => {});
  // Whatever the browser left behind (zygotes, the host it started) goes with its process group.
  const groupOf = (pid) => Number(readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ')[2]);
  const ownGroup = groupOf('self');
  for (const pid of readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      const cmdline = readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      const group = groupOf(pid);
      if (scratch && cmdline.includes(scratch) && group !== ownGroup) process.kill(-group, 'SIGKILL');
    } catch { /* gone already */ }
  }
  card?.child.kill();
  console.log(`teardown ${Date.now() - t1} ms`);
  if (scratch) rmSync(scratch, { recursive: true, force: true });
});

test('the typical exchange through the extension', async () => {
  const steps = await inWorker(async (readerName) => {
    const t = globalThis.tessera;
    const pcsc = t.connect();
    const out = {};
    const started = Date.now();
    const est = await pcsc.SCardEstablishContext(t.SCARD_SCOPE_SYSTEM);
    out.firstReplyMs = Date.now() - started;
    out.establish = est.resultName;
    const list = await pcsc.SCardListReaders(est.context);
    out.list = list.resultName;
    out.readers = list.readers;
    const conn = await pcsc.SCardConnect(est.context, readerName, t.SCARD_SHARE_SHARED, t.SCARD_PROTOCOL_ANY);
    out.connect = conn.resultName;
    out.protocol = conn.activeProtocol;
    const select = await pcsc.SCardTransmit(conn.card, conn.activeProtocol, [0x00, 0xa4, 0x04, 0x00, 0x02, 0x3f, 0x00]);
    out.transmit = select.resultName;
    out.response = Array.from(select.response);
    const read = await pcsc.SCardTransmit(conn.card, conn.activeProtocol, [0x00, 0xb0, 0x00, 0x00, 0x10]);
    out.read = Array.from(read.response);
    const status = await pcsc.SCardStatus(conn.card);
    out.status = status.resultName;
    out.statusReaders = status.readerNames;
    out.atr = Array.from(status.atr);
    out.state = status.state;
    // Round trips inside the worker, for the report.
    const loopStart = Date.now();
    for (let k = 0; k < 50; k++) await pcsc.SCardStatus(conn.card);
    out.statusRoundTripMs = (Date.now() - loopStart) / 50;
    out.disconnect = (await pcsc.SCardDisconnect(conn.card, t.SCARD_LEAVE_CARD)).resultName;
    out.release = (await pcsc.SCardReleaseContext(est.context)).resultName;
    pcsc.close();
    return out;
  }, reader);
  console.log(`first native reply after ${steps.firstReplyMs} ms; SCardStatus round trip ${steps.statusRoundTripMs} ms`);
  assert.equal(steps.establish, 'SCARD_S_SUCCESS');
  assert.equal(steps.list, 'SCARD_S_SUCCESS');
  assert.deepEqual(steps.readers, [process.env.TESSERA_READER_0, process.env.TESSERA_READER_1]);
  assert.equal(steps.connect, 'SCARD_S_SUCCESS');
  assert.ok(steps.protocol === 1 || steps.protocol === 2, `protocol ${steps.protocol}`);
  assert.equal(steps.transmit, 'SCARD_S_SUCCESS');
  assert.deepEqual(steps.response, [0x90, 0x00]);
  // The built-in card reads back i mod 251.
  assert.deepEqual(steps.read, [...Array.from({ length: 16 }, (_, i) => i), 0x90, 0x00]);
  assert.equal(steps.status, 'SCARD_S_SUCCESS');
  assert.deepEqual(steps.statusReaders, [reader]);
  assert.deepEqual(steps.atr, [0x3b, 0x8a, 0x80, 0x01, 0x54, 0x45, 0x53, 0x53, 0x45, 0x52, 0x41, 0x2d, 0x56, 0x43, 0x74]);
  assert.equal(steps.disconnect, 'SCARD_S_SUCCESS');
  assert.equal(steps.release, 'SCARD_S_SUCCESS');
});

test('the demo operations the popup uses', async () => {
  const readers = await inWorker(() => globalThis.demo.listReaders());
  assert.deepEqual(readers, [process.env.TESSERA_READER_0, process.env.TESSERA_READER_1]);
  const status = await inWorker((r) => globalThis.demo.cardStatus(r), reader);
  assert.equal(status.atr, '3B8A8001544553534552412D564374');
  const apdu = await inWorker((r) => globalThis.demo.sendApdu(r, '00 B0 00 00 04'), reader);
  assert.deepEqual(apdu, { response: '000102039000', sw: '9000' });
  // The empty reader has no card to connect to: the error names the PC/SC result.
  await assert.rejects(inWorker((r) => globalThis.demo.cardStatus(r), process.env.TESSERA_READER_1),
    /connect: SCARD_E_NO_SMARTCARD/);
});

test('card removal and insertion are seen by a state-change wait', async () => {
  const startWait = () => inWorker((r) => {
    globalThis.pendingChange = globalThis.demo.waitForChange(r, 15000);
    return true;
  }, reader);
  const result = () => inWorker(() => globalThis.pendingChange, undefined, 20000);

  await startWait();
  await new Promise((r) => setTimeout(r, 300));  // the wait is under way in the host
  card.send('remove');
  await card.waitFor('removed');
  const removed = await result();
  assert.equal(removed.changed, true);
  assert.equal(removed.present, false);
  assert.equal(removed.empty, true);

  await startWait();
  await new Promise((r) => setTimeout(r, 300));
  card.send('insert');
  await card.waitFor('inserted');
  const inserted = await result();
  assert.equal(inserted.present, true);
  assert.equal(inserted.atr, '3B8A8001544553534552412D564374');
});

test('the largest replies stay under the browser\'s 1 MiB message limit', async () => {
  // Raw requests on a port of their own, to measure the reply as the browser received it.
  const sizes = await inWorker(async (names) => {
    const port = chrome.runtime.connectNative('org.tessera.smartcard');
    const replies = [];
    const waiting = [];
    port.onMessage.addListener((m) => { replies.push(m); waiting.shift()?.(); });
    let lost = null;
    port.onDisconnect.addListener(() => { lost = chrome.runtime.lastError?.message ?? 'disconnected'; waiting.shift()?.(); });
    const ask = (message) => new Promise((resolve) => { waiting.push(resolve); port.postMessage(message); })
      .then(() => {
        if (lost) throw new Error(lost);
        return replies.shift();
      });
    const est = await ask({ i: '1', c: 114, p: 2 });
    const ctx = [0, 1, 2, 3, 4, 5, 6, 7].map((k) => Number(est[`pbContext${k}`]));
    const conn = await ask({ i: '2', c: 109, p: 8, x: ctx[0], y: ctx[1], z: ctx[2], w: ctx[3], m: ctx[4],
      s: ctx[5], t: ctx[6], k: ctx[7], g: names[0], q: 2, b: 3 });
    const card = ['pbHandlet0', 'pbContext1', 'pbContext2', 'pbContext3', 'pbContext4', 'pbContext5',
      'pbContext6', 'pbContext7'].map((m) => Number(conn[m]));
    const cardKeys = { p: 8, x: card[0], y: card[1], z: card[2], s: card[3], l: card[4], b: card[5], h: card[6], j: card[7] };
    const protocol = Number(conn.dwActiveProtocol);
    // READ BINARY with extended Le 0000: the longest answer a vpcd card can give (65535 bytes).
    const big = await ask({ i: '3', c: 169, ...cardKeys, w: `${protocol},0,0,0,8,0,0,0`, n: 8,
      g: '0,176,0,0,0,0,0', q: 7, m: 'NULL', d: 0, f: 65538, t: 0 });
    // Sixteen reader states, pcsc-lite's most, with names filling the field as far as they go.
    const record = (name) => {
      const r = new Array(200).fill(0);
      for (let i = 0; i < name.length; i++) r[i] = name.charCodeAt(i);
      return r;
    };
    const records = [];
    for (let k = 0; k < 16; k++) records.push(...record(names[k % 2]));
    const states = await ask({ i: '4', c: 133, p: 8, x: ctx[0], y: ctx[1], z: ctx[2], s: ctx[3], l: ctx[4],
      b: ctx[5], h: ctx[6], j: ctx[7], m: 0, k: records.join(','), w: 16 });
    port.disconnect();
    return {
      transmit: { result: big.SCardTransmit, length: Number(big.cbRecvLength), bytes: JSON.stringify(big).length },
      states: { result: states.SCardGetStatusChangeA, count: states.rgReaderStates.split(',').length / 200,
        bytes: JSON.stringify(states).length },
    };
  }, [process.env.TESSERA_READER_0, process.env.TESSERA_READER_1]);
  console.log(`largest transmit reply ${sizes.transmit.bytes} bytes (${sizes.transmit.length} response bytes); ` +
    `16 reader states ${sizes.states.bytes} bytes; limit ${BROWSER_MESSAGE_LIMIT}`);
  assert.equal(sizes.transmit.result, '0');
  assert.equal(sizes.transmit.length, 65535);
  assert.ok(sizes.transmit.bytes < BROWSER_MESSAGE_LIMIT);
  assert.equal(sizes.states.result, '0');
  assert.equal(sizes.states.count, 16);
  assert.ok(sizes.states.bytes < BROWSER_MESSAGE_LIMIT);
});

test('the errors an extension sees for broken registrations', async () => {
  const errors = await inWorker(async (names) => {
    const out = {};
    for (const name of names) {
      out[name] = await new Promise((resolve) => {
        let port;
        try {
          port = chrome.runtime.connectNative(name);
        } catch (e) {
          resolve(`thrown: ${e.message}`);
          return;
        }
        port.onDisconnect.addListener(() => resolve(chrome.runtime.lastError?.message ?? 'no error'));
        port.onMessage.addListener(() => resolve('answered'));
        port.postMessage({ i: '1', c: 103 });
      });
    }
    return out;
  }, ['org.tessera.missing', 'org.tessera.wrong_id', 'org.tessera.no_slash', 'org.tessera.relative',
    'org.tessera.mismatch', 'org.tessera.gone', 'org.tessera.not_executable', 'org.tessera.exits',
    'org.tessera.bad_json', 'org.tessera.per_user', 'org.tessera.system_wide',
    'Org.Tessera.Smartcard', 'org.tessera.smartcard']);
  const notFound = 'Specified native messaging host not found.';
  // A host that ends at once: which of the two the browser notices first is a race.
  const ended = ['Native host has exited.', 'Error when communicating with the native messaging host.'];
  for (const name of ['org.tessera.not_executable', 'org.tessera.exits']) {
    assert.ok(ended.includes(errors[name]), `${name}: ${errors[name]}`);
    delete errors[name];
  }
  assert.deepEqual(errors, {
    'org.tessera.missing': notFound,
    'org.tessera.wrong_id': 'Access to the specified native messaging host is forbidden.',
    'org.tessera.no_slash': notFound,
    'org.tessera.relative': notFound,
    'org.tessera.mismatch': notFound,
    'org.tessera.gone': notFound,
    'org.tessera.bad_json': notFound,
    'org.tessera.per_user': notFound,
    'org.tessera.system_wide': 'answered',
    'Org.Tessera.Smartcard': 'Invalid native messaging host name specified.',
    'org.tessera.smartcard': 'answered',
  });
});
