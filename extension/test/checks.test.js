// The extension's own rules, without a browser: which origins may use smart cards, and which
// page messages reach the client.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { checkRequest, MAX_APDU, MAX_READER_STATES } from '../checks.js';
import { decide, normaliseOrigin, originMatches } from '../origins.js';

test('managed entries: exact origins and wildcard subdomains, on their scheme and port only', () => {
  const cases = [
    ['https://example.com', 'https://example.com', true],
    ['https://example.com/', 'https://example.com', true],
    ['https://example.com', 'https://www.example.com', false],
    ['https://example.com', 'http://example.com', false],
    ['http://127.0.0.1:8080', 'http://127.0.0.1:8080', true],
    ['http://127.0.0.1:8080', 'http://127.0.0.1:8081', false],
    ['https://*.example.com', 'https://a.example.com', true],
    ['https://*.example.com', 'https://a.b.example.com', true],
    ['https://*.example.com', 'https://example.com', true],
    ['https://*.example.com', 'https://badexample.com', false],
    ['https://*.example.com', 'https://example.com.evil.net', false],
    ['https://*.example.com', 'http://a.example.com', false],
    ['https://*.example.com', 'https://a.example.com:8443', false],
    ['https://*.example.com:443', 'https://a.example.com', true],
    ['https://*.example.com:8443', 'https://a.example.com:8443', true],
    ['*', 'https://example.com', false],
    ['https://*', 'https://example.com', false],
    [42, 'https://example.com', false],
  ];
  for (const [pattern, origin, expected] of cases) {
    assert.equal(originMatches(pattern, origin), expected, `${pattern} vs ${origin}`);
  }
  assert.equal(normaliseOrigin('https://Example.COM:443/path?q'), 'https://example.com');
  for (const bad of ['file:///etc/passwd', 'about:blank', 'chrome-extension://abc/', 'nonsense', null]) {
    assert.equal(normaliseOrigin(bad), null, String(bad));
  }
});

test('decisions: a managed block wins, a managed grant needs no prompt, then the user, else ask', () => {
  const managed = { allowedOrigins: ['https://*.corp.example'], blockedOrigins: ['https://bad.corp.example'] };
  const grants = { 'https://bad.corp.example': 'allow', 'https://mine.example': 'allow', 'https://no.example': 'deny' };
  const table = [
    ['https://bad.corp.example', 'deny', true],
    ['https://app.corp.example', 'allow', true],
    ['https://mine.example', 'allow', false],
    ['https://no.example', 'deny', false],
    ['https://new.example', 'ask', false],
    ['constructor', 'ask', false],
  ];
  for (const [origin, decision, isManaged] of table) {
    assert.deepEqual(decide(origin, grants, managed), { decision, managed: isManaged }, origin);
  }
  // A policy of the wrong shape grants nothing.
  assert.equal(decide('https://x.example', {}, { allowedOrigins: 'https://x.example' }).decision, 'ask');
});

test('page messages: well-formed requests pass as fresh copies', () => {
  const apdu = Array.from({ length: MAX_APDU }, (_, i) => i & 0xff);
  const ok = checkRequest({ id: 7, op: 'transmit', target: 'h1', args: [apdu, { protocol: 't1' }] });
  assert.equal(ok.kind, 'connection');
  assert.ok(ok.args[0] instanceof Uint8Array && ok.args[0].length === MAX_APDU);
  const states = Array.from({ length: MAX_READER_STATES }, () => ({ readerName: 'R', currentState: { empty: true }, currentCount: 3 }));
  const wait = checkRequest({ id: 1, op: 'getStatusChange', target: 'c', args: [states, { timeout: 1000 }] });
  assert.deepEqual(wait.args[0][0], { readerName: 'R', currentState: { empty: true }, currentCount: 3 });
  assert.deepEqual(checkRequest({ id: 2, op: 'establishContext', args: [] }).args, []);
  assert.deepEqual(checkRequest({ id: 3, op: 'connect', target: 'c', args: ['R', 'shared', { preferredProtocols: ['t0', 't1'] }] }).args,
    ['R', 'shared', { preferredProtocols: ['t0', 't1'] }]);
});

test('page messages: wrong types, counts and sizes are refused with a TypeError', () => {
  const bad = [
    null, [], 'text',
    { id: -1, op: 'status', target: 'h', args: [] },
    { id: 1, op: 'SCardTransmit', target: 'h', args: [] },
    { id: 1, op: '__proto__', target: 'h', args: [] },
    { id: 1, op: 'status', target: 'h', args: [], extra: 1 },
    { id: 1, op: 'status', target: '', args: [] },
    { id: 1, op: 'status', target: 'x'.repeat(65), args: [] },
    { id: 1, op: 'status', target: 'h', args: [1] },
    { id: 1, op: 'establishContext', target: 'h', args: [] },
    { id: 1, op: 'transmit', target: 'h', args: [new Array(MAX_APDU + 1).fill(0), {}] },
    { id: 1, op: 'transmit', target: 'h', args: [[], {}] },
    { id: 1, op: 'transmit', target: 'h', args: [[0, 256], {}] },
    { id: 1, op: 'transmit', target: 'h', args: [[0, 1.5], {}] },
    { id: 1, op: 'transmit', target: 'h', args: ['00a40400', {}] },
    { id: 1, op: 'transmit', target: 'h', args: [[0], { protocol: 't2' }] },
    { id: 1, op: 'transmit', target: 'h', args: [[0], { protocol: 't0', pci: [1] }] },
    { id: 1, op: 'connect', target: 'c', args: ['R', 'shared-ish', {}] },
    { id: 1, op: 'connect', target: 'c', args: ['x'.repeat(257), 'shared', {}] },
    { id: 1, op: 'connect', target: 'c', args: ['R', 'shared', { preferredProtocols: ['t0', 't0', 't0', 't0'] }] },
    { id: 1, op: 'getStatusChange', target: 'c', args: [new Array(MAX_READER_STATES + 1).fill({ readerName: 'R', currentState: {} }), {}] },
    { id: 1, op: 'getStatusChange', target: 'c', args: [[{ readerName: 'R', currentState: { present: 1 } }], {}] },
    { id: 1, op: 'getStatusChange', target: 'c', args: [[{ readerName: 'R', currentState: { changed: true } }], {}] },
    { id: 1, op: 'getStatusChange', target: 'c', args: [[{ readerName: 'R', currentState: {}, currentCount: 65536 }], {}] },
    { id: 1, op: 'getStatusChange', target: 'c', args: [[], { timeout: -1 }] },
    { id: 1, op: 'control', target: 'h', args: [2 ** 32, []] },
    { id: 1, op: 'setAttribute', target: 'h', args: [1, new Array(MAX_APDU + 1).fill(0)] },
    { id: 1, op: 'disconnect', target: 'h', args: ['explode'] },
  ];
  for (const message of bad) {
    assert.throws(() => checkRequest(message), (e) => e.name === 'TypeError', JSON.stringify(message)?.slice(0, 120));
  }
  // The error carries the request id when there is one, so the page's promise can settle.
  assert.throws(() => checkRequest({ id: 9, op: 'status', target: 'h', args: [1] }), (e) => e.id === 9);
});

test('the IDs in ids.json are the ones the manifest gives the extension', () => {
  const read = (name) => JSON.parse(readFileSync(new URL(`../${name}`, import.meta.url), 'utf8'));
  const manifest = read('manifest.json');
  const ids = read('ids.json');
  // Chrome's ID: the key's SHA-256, first 32 hex digits, 0-9a-f written as a-p.
  const hex = createHash('sha256').update(Buffer.from(manifest.key, 'base64')).digest('hex').slice(0, 32);
  assert.equal([...hex].map((d) => String.fromCharCode(97 + parseInt(d, 16))).join(''), ids.chrome);
  assert.equal(manifest.browser_specific_settings.gecko.id, ids.firefox);
});
