// Lists the grants (the user's and the administrator's) and lets the user revoke or forget theirs.
const api = globalThis.browser ?? globalThis.chrome;
const body = document.getElementById('grants');

function button(label, type, origin) {
  const b = document.createElement('button');
  b.textContent = label;
  b.dataset.action = type;
  b.dataset.origin = origin;
  b.addEventListener('click', async () => {
    await api.runtime.sendMessage({ type, origin });
    await show();
  });
  return b;
}

async function show() {
  const { entries } = await api.runtime.sendMessage({ type: 'list-grants' });
  body.replaceChildren(...entries.map((e) => {
    const row = document.createElement('tr');
    row.dataset.origin = e.origin;
    row.dataset.managed = String(e.managed);
    const cells = [e.origin, e.answer === 'allow' ? 'Allowed' : 'Denied',
      e.managed ? 'Administrator (managed)' : 'You'].map((t) => {
      const td = document.createElement('td');
      td.textContent = t;
      return td;
    });
    const actions = document.createElement('td');
    if (!e.managed) {
      if (e.answer === 'allow') actions.append(button('Revoke', 'revoke', e.origin));
      actions.append(button('Forget', 'forget', e.origin));
      if (e.effective === 'deny' && e.answer === 'allow') cells[1].textContent = 'Allowed, but blocked by the administrator';
    }
    row.append(...cells, actions);
    return row;
  }));
  document.getElementById('empty').hidden = entries.length > 0;
  document.body.dataset.ready = 'true';
}

api.storage.onChanged.addListener(() => show());
show();
