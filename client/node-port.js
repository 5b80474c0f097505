// A chrome.runtime.Port look-alike over a host process started by Node: the same framing the
// browser uses (4-byte little-endian length, then UTF-8 JSON). For tests and for Node programs
// that want the host without a browser.
import { spawn } from 'node:child_process';

/** How long a host gets to exit on end of input before it is killed (blocked in a wait, say). */
export const EXIT_GRACE_MS = 200;

/** Chrome disconnects a port on any host message above this many bytes. */
export const BROWSER_MESSAGE_LIMIT = 1024 * 1024;

/**
 * @param {string} hostPath the tessera-smartcard binary
 * @param {{args?: string[], env?: NodeJS.ProcessEnv, onFrame?: (bytes: number) => void,
 *   exitGraceMs?: number}} [options]
 *   onFrame sees the size of every frame the host writes
 */
export function spawnHostPort(hostPath, options = {}) {
  const child = spawn(hostPath, options.args ?? [], {
    stdio: ['pipe', 'pipe', 'inherit'],
    env: options.env ?? process.env,
  });
  const messageListeners = [];
  const disconnectListeners = [];
  let buffered = Buffer.alloc(0);
  let disconnected = false;
  const port = {
    error: undefined,
    child,
    postMessage(message) {
      if (disconnected) throw new Error('Attempting to use a disconnected port object');
      const body = Buffer.from(JSON.stringify(message), 'utf8');
      const head = Buffer.alloc(4);
      head.writeUInt32LE(body.length, 0);
      child.stdin.write(Buffer.concat([head, body]));
    },
    onMessage: { addListener: (f) => messageListeners.push(f) },
    onDisconnect: { addListener: (f) => disconnectListeners.push(f) },
    /** As browsers do: end of input, then a kill when the host has not exited after a grace. */
    disconnect() {
      if (disconnected) return;
      disconnected = true;
      child.stdin.end();
      if (child.exitCode === null && child.signalCode === null) {
        const timer = setTimeout(() => child.kill(), options.exitGraceMs ?? EXIT_GRACE_MS);
        child.once('exit', () => clearTimeout(timer));
      }
    },
  };
  const closeWith = (message) => {
    if (port.error === undefined && message) port.error = { message };
    const wasOpen = !disconnected;
    disconnected = true;
    if (wasOpen) for (const f of disconnectListeners) f(port);
  };
  child.stdout.on('data', (chunk) => {
    buffered = Buffer.concat([buffered, chunk]);
    while (buffered.length >= 4) {
      const length = buffered.readUInt32LE(0);
      if (buffered.length < 4 + length) break;
      const body = buffered.subarray(4, 4 + length);
      buffered = buffered.subarray(4 + length);
      options.onFrame?.(length);
      if (length > BROWSER_MESSAGE_LIMIT) {
        // What Chrome does with such a message.
        closeWith('Error when communicating with the native messaging host.');
        child.kill();
        return;
      }
      const message = JSON.parse(body.toString('utf8'));
      for (const f of messageListeners) f(message);
    }
  });
  child.on('error', (e) => closeWith(`Specified native messaging host not found. (${e.message})`));
  child.on('exit', () => closeWith('Native host has exited.'));
  child.stdin.on('error', () => {});
  return port;
}
