// The prompt: names the origin and sends the user's answer to the background.
const api = globalThis.browser ?? globalThis.chrome;
const origin = new URLSearchParams(location.search).get('origin') ?? '';
document.getElementById('origin').textContent = origin;
for (const answer of ['allow', 'deny']) {
  document.getElementById(answer).addEventListener('click', async () => {
    await api.runtime.sendMessage({ type: 'prompt-answer', origin, answer });
    window.close();
  });
}
