// The extension's scenario (extension-scenario.mjs) in headless Firefox ESR, driven by
// puppeteer-core over WebDriver BiDi. The extension is a temporary add-on (no signing); its
// internal UUID is fixed by a pref so the test can open its pages. Policy goes to
// policies.json in Firefox's distribution folder, on a tmpfs that only this rig's mounts see.
import { execFileSync } from 'node:child_process';
import { cpSync, mkdtempSync, realpathSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';
import { scenario, ids, pageHandle, promptQueue } from './extension-scenario.mjs';

const firefox = process.env.TESSERA_FIREFOX ?? '/usr/lib/firefox-esr/firefox-esr';
const UUID = '5e55e4a0-7e55-4e2a-9c1d-000000000014';

/** Whether the page's document reaches the URL path `path` within 5 s (and has loaded). */
async function reaches(page, path) {
  for (let k = 0; k < 50; k++) {
    const where = await page.evaluate(() => document.readyState === 'complete' && location.pathname).catch(() => '');
    if (where === path) return true;
    await new Promise((r) => setTimeout(r, 100));
  }
  return false;
}

scenario(() => {
  let browser;
  const prompts = promptQueue();
  const wrap = (page) => pageHandle(page);
  return {
    name: 'firefox',
    async launch({ extension, scratch, wrapper, policy }) {
      // Keep what Debian ships in the folder; add the policy beside it.
      const distribution = realpathSync(join(firefox, '..', 'distribution'));
      const saved = mkdtempSync(join(scratch, 'distribution-'));
      cpSync(distribution, saved, { recursive: true });
      execFileSync('mount', ['-t', 'tmpfs', 'tmpfs', distribution]);
      cpSync(saved, distribution, { recursive: true });
      writeFileSync(join(distribution, 'policies.json'),
        JSON.stringify({ policies: { '3rdparty': { Extensions: { [ids.firefox]: policy } } } }));
      const home = join(scratch, 'home');
      execFileSync('bash', [join(import.meta.dirname, '../../packaging/unix/install.sh'), '--no-copy', '--host', wrapper,
        '--firefox-id', ids.firefox, '--browsers', 'firefox'], { stdio: 'ignore', env: { ...process.env, HOME: home } });
      browser = await puppeteer.launch({
        browser: 'firefox',
        executablePath: firefox,
        headless: true,
        userDataDir: join(scratch, 'profile'),
        // Lets the test open the extension's own pages (moz-extension:) over BiDi.
        env: { ...process.env, HOME: home, MOZ_REMOTE_ALLOW_SYSTEM_ACCESS: '1' },
        extraPrefsFirefox: { 'extensions.webextensions.uuids': JSON.stringify({ [ids.firefox]: UUID }) },
        protocolTimeout: 30000,
      });
      // Puppeteer sees extension pages stay at about:blank; their own location tells.
      browser.on('targetcreated', async (target) => {
        const page = await target.page();
        if (!page || !(await reaches(page, '/grant.html'))) return;
        prompts.add(page);
      });
      await browser.installExtension(extension);
    },
    async open(url) {
      const page = await browser.newPage();
      await page.goto(url);
      return wrap(page);
    },
    async promptAnswer(answer) {
      const page = await prompts.next();
      await page.waitForSelector(`#${answer}`);
      const named = await page.evaluate(() => document.getElementById('origin').textContent);
      await page.click(`#${answer}`);
      return named;
    },
    async extensionPage(path) {
      const page = await browser.newPage();
      // The navigation finishes without an event Puppeteer waits for: poll the page instead.
      page.goto(`moz-extension://${UUID}/${path}`).catch(() => {});
      if (!(await reaches(page, `/${path}`))) throw new Error(`${path} never loaded`);
      return wrap(page);
    },
    prompts: prompts.count,
    close: async () => browser?.close(),
  };
});
