// The extension's scenario (extension-scenario.mjs) in headless Chromium, driven by playwright-core.
// Policy goes to /etc/chromium/policies/managed on a tmpfs that only this rig's mounts see.
import { execFileSync } from 'node:child_process';
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { scenario, ids, pageHandle, promptQueue } from './extension-scenario.mjs';

scenario(() => {
  let context;
  const prompts = promptQueue();
  const wrap = (page) => pageHandle(page, (frame) => frame.waitForLoadState());
  return {
    name: 'chromium',
    async launch({ extension, scratch, wrapper, policy }) {
      execFileSync('mount', ['-t', 'tmpfs', 'tmpfs', '/etc/chromium']);
      mkdirSync('/etc/chromium/policies/managed', { recursive: true });
      writeFileSync('/etc/chromium/policies/managed/tessera-test.json',
        JSON.stringify({ '3rdparty': { extensions: { [ids.chrome]: policy } } }));
      const profile = join(scratch, 'profile');
      const env = { ...process.env, HOME: join(scratch, 'home'), XDG_CONFIG_HOME: join(scratch, 'config') };
      execFileSync('bash', [join(import.meta.dirname, '../../packaging/unix/install.sh'), '--no-copy', '--host', wrapper,
        '--chrome-id', ids.chrome, '--browsers', 'chromium', '--profile-dir', profile], { stdio: 'ignore', env });
      context = await chromium.launchPersistentContext(profile, {
        executablePath: process.env.TESSERA_CHROMIUM ?? '/usr/lib/chromium/chromium',
        headless: true,
        ignoreDefaultArgs: ['--disable-extensions'],
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
          '--disable-component-update', '--disable-sync',
          `--disable-extensions-except=${extension}`, `--load-extension=${extension}`],
        env,
        timeout: 30000,
      });
      context.on('page', async (page) => {
        await page.waitForLoadState().catch(() => {});
        if (!page.url().includes('/grant.html')) return;
        prompts.add(page);
      });
      const ours = (w) => w.url().startsWith(`chrome-extension://${ids.chrome}/`);
      if (!context.serviceWorkers().some(ours)) await context.waitForEvent('serviceworker', { predicate: ours, timeout: 20000 });
    },
    async open(url) {
      const page = await context.newPage();
      await page.goto(url);
      return wrap(page);
    },
    async promptAnswer(answer) {
      const page = await prompts.next();
      await page.waitForLoadState();
      const named = await page.evaluate(() => document.getElementById('origin').textContent);
      await page.click(`#${answer}`);
      return named;
    },
    async extensionPage(path) {
      const page = await context.newPage();
      await page.goto(`chrome-extension://${ids.chrome}/${path}`);
      return wrap(page);
    },
    prompts: prompts.count,
    close: async () => context?.close(),
  };
});
