// Who may use smart cards: the user's grants (extension storage) and the administrator's managed
// lists. A managed block wins over everything; a managed grant needs no prompt; then the user's
// own answer; otherwise the user is asked.

/** A normalised origin ("https://example.com", "http://127.0.0.1:8080"), or null. */
export function normaliseOrigin(text) {
  if (typeof text !== 'string' || text.length > 2048) return null;
  let url;
  try {
    url = new URL(text);
  } catch {
    return null;
  }
  if (url.protocol !== 'https:' && url.protocol !== 'http:') return null;
  if (url.origin === 'null') return null;
  return url.origin;
}

/**
 * True when `origin` matches a managed entry: an exact origin, or "scheme://*.domain[:port]",
 * which matches the domain itself and every subdomain, on that scheme and port only.
 */
export function originMatches(pattern, origin) {
  if (typeof pattern !== 'string' || typeof origin !== 'string') return false;
  const wild = /^(https?):\/\/\*\.([^/:*]+)(:\d+)?\/?$/.exec(pattern.trim().toLowerCase());
  if (!wild) return normaliseOrigin(pattern.trim()) === origin;
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;
  }
  const [, scheme, domain, port] = wild;
  const wantedPort = port ? port.slice(1) : '';
  const defaultPort = scheme === 'https' ? '443' : '80';
  if (url.protocol !== `${scheme}:`) return false;
  if ((url.port || defaultPort) !== (wantedPort || defaultPort)) return false;
  return url.hostname === domain || url.hostname.endsWith(`.${domain}`);
}

/**
 * The decision for an origin: 'allow', 'deny' or 'ask', and whether it is the administrator's.
 * @param {string} origin
 * @param {{[origin: string]: 'allow'|'deny'}} grants the user's answers
 * @param {{allowedOrigins?: string[], blockedOrigins?: string[]}} managed
 */
export function decide(origin, grants, managed) {
  const list = (name) => (Array.isArray(managed?.[name]) ? managed[name] : []);
  if (list('blockedOrigins').some((p) => originMatches(p, origin))) return { decision: 'deny', managed: true };
  if (list('allowedOrigins').some((p) => originMatches(p, origin))) return { decision: 'allow', managed: true };
  const own = Object.hasOwn(grants ?? {}, origin) ? grants[origin] : undefined;
  if (own === 'allow' || own === 'deny') return { decision: own, managed: false };
  return { decision: 'ask', managed: false };
}
