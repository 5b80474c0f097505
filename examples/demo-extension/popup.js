// The popup only draws; the service worker talks to the host.
const $ = (id) => document.getElementById(id);

function ask(op, ...args) {
  return chrome.runtime.sendMessage({ op, args }).then((answer) => {
    if (answer?.error) throw new Error(answer.error);
    return answer.value;
  });
}

function show(text) {
  $('out').textContent = text;
}

async function run(action) {
  try {
    show('...');
    show(await action());
  } catch (e) {
    show(`Error: ${e.message}`);
  }
}

async function refresh() {
  const readers = await ask('listReaders');
  const select = $('readers');
  select.replaceChildren(...readers.map((name) => new Option(name, name)));
  return readers.length ? `${readers.length} reader(s)` : 'No reader found';
}

$('refresh').onclick = () => run(refresh);
$('status').onclick = () => run(async () => {
  const s = await ask('cardStatus', $('readers').value);
  return `Reader: ${s.reader}\nATR: ${s.atr}\nState: ${s.state}\nProtocol: ${s.protocol}`;
});
$('send').onclick = () => run(async () => {
  const r = await ask('sendApdu', $('readers').value, $('apdu').value);
  return `Response: ${r.response}\nSW: ${r.sw}`;
});
$('watch').onclick = () => run(async () => {
  show('Waiting up to 60 s for a card to be inserted or removed...');
  const c = await ask('waitForChange', $('readers').value, 60000);
  if (!c.changed) return 'Nothing changed within 60 s';
  return c.present ? `Card inserted\nATR: ${c.atr}` : 'Card removed';
});
run(refresh);
