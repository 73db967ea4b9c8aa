// kvistur web in a real browser: Debian's Chromium driven by playwright-core,
// axe-core on every kind of page, and what only a browser shows: the
// keyboard, the script and the layout (the pages' hooks and downloads are
// checked over HTTP by tests/web/*_test.cpp).  The catalogue is the sample, built by the
// command line into a folder of the test's own; `kvistur web` is started on
// a free port and stopped at the end.  Nothing is skipped: without node's
// packages (scripts/deps), Chromium or the program the test fails saying so.
//
//   KVISTUR_TOOL=build/kvistur KVISTUR_SOURCE_DIR=. node --test tests/web/browser/
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const CHROMIUM = '/usr/bin/chromium';
// The flags the machine's closed network needs, and root needs --no-sandbox.
const CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const WCAG_AA = ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa'];

const tool = process.env.KVISTUR_TOOL;
const source = process.env.KVISTUR_SOURCE_DIR;
let dir, server, base, browser, chromium, AxeBuilder;

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

async function answering(url) {
  for (let i = 0; i < 200; ++i) {
    try {
      if ((await fetch(url)).ok) return;
    } catch {}
    if (server.exitCode !== null) throw new Error(`kvistur web ended: ${fs.readFileSync(path.join(dir, 'web.err'), 'utf8')}`);
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`kvistur web does not answer at ${url}`);
}

before(async () => {
  assert.ok(tool && source, 'KVISTUR_TOOL and KVISTUR_SOURCE_DIR name the program and the source tree');
  assert.ok(fs.existsSync(CHROMIUM), `${CHROMIUM} is missing: install Debian's chromium (scripts/deps)`);
  try {
    ({ chromium } = await import('playwright-core'));
    ({ default: AxeBuilder } = await import('@axe-core/playwright'));
  } catch (e) {
    throw new Error(`playwright-core and @axe-core/playwright are not installed in tests/web: run scripts/deps (${e.message})`);
  }
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kvistur-web-'));
  const built = spawnSync(tool, ['build', '--marc', path.join(source, 'data/sample/sample.xml'), '--out', dir]);
  assert.equal(built.status, 0, `kvistur build: ${built.stderr}`);
  const port = await freePort();
  base = `http://127.0.0.1:${port}`;
  const err = fs.openSync(path.join(dir, 'web.err'), 'w');
  server = spawn(tool, ['web', `127.0.0.1:${port}`, '--access-log', path.join(dir, 'access.log')], {
    env: { ...process.env, LINDRIT_SETTINGS: path.join(dir, 'lindrit-1.0.ini'), KVISTUR_LOG: path.join(dir, 'melding.txt') },
    stdio: ['ignore', 'ignore', err],
  });
  await answering(`${base}/static/kvistur.css`);
  // playwright-core starts the system's Chromium with a new empty profile
  // folder of its own (its --user-data-dir) at every launch.
  browser = await chromium.launch({ executablePath: CHROMIUM, args: CHROMIUM_FLAGS });
});

after(async () => {
  await browser?.close();
  if (server && server.exitCode === null) {
    const ended = new Promise((r) => server.once('exit', r));
    server.kill('SIGTERM');
    await ended;
  }
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
});

// A page in a browser that prefers Icelandic, or as OPTIONS say.
async function open(url, options = {}) {
  const context = await browser.newContext({ locale: 'is-IS', acceptDownloads: true, ...options });
  const page = await context.newPage();
  await page.goto(base + url);
  return page;
}

// Presses Tab until the element SELECTOR has the focus: it can be reached
// from the keyboard.
async function tabTo(page, selector, most = 60) {
  for (let i = 0; i < most; ++i) {
    await page.keyboard.press('Tab');
    if (await page.evaluate((s) => document.activeElement?.matches(s), selector)) return;
  }
  assert.fail(`${selector} cannot be reached with Tab`);
}

const hitIds = (page) => page.$$eval('ol.hits > li', (lis) => lis.map((li) => Number(li.dataset.id)));

describe('kvistur web in Chromium', () => {
  test('axe finds no violation on any kind of page', async () => {
    const pages = ['/', '/search?q=saga', '/search?q=zzzyyy', '/record/87', '/print?id=87&id=6', '/nothing',
      '/search?q=saga&page=99', '/?lang=en', '/search?q=saga&location=Fornrit&available=1', '/search?q=sagaa',
      '/search?q=saga&sort=title', '/browse?index=subject&from=a'];
    for (const url of pages) {
      const page = await open(url);
      const result = await new AxeBuilder({ page }).withTags(WCAG_AA).analyze();
      const found = result.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
      assert.deepEqual(found, [], url);
      await page.context().close();
    }
  });

  test('a search, paging, a record and a subject, all from the keyboard', async () => {
    const page = await open('/');
    // The skip link comes first and takes the focus into the page.
    await page.keyboard.press('Tab');
    assert.equal(await page.evaluate(() => document.activeElement.className), 'skip');
    assert.ok(await page.locator('a.skip').isVisible(), 'the skip link shows when it has the focus');
    await tabTo(page, '#q');
    await page.keyboard.type('saga');
    await page.keyboard.press('Enter');
    await page.waitForURL(/\/search\?q=saga/);
    assert.equal(await page.getAttribute('#hit-count', 'data-count'), '61');
    const first = await hitIds(page);
    assert.equal(first.length, 20);
    await tabTo(page, 'button.next');
    await page.keyboard.press('Enter');
    await page.waitForURL(/page=2/);
    const second = await hitIds(page);
    assert.equal(second.length, 20);
    assert.ok(second.every((id) => !first.includes(id)), 'page 2 holds other hits');
    await tabTo(page, `ol.hits > li[data-id="${second[0]}"] a.hit`);
    await page.keyboard.press('Enter');
    await page.waitForURL(new RegExp(`/record/${second[0]}$`));
    assert.equal(await page.locator('h1').count(), 1);
    await tabTo(page, 'ul.subjects a');
    const subject = await page.evaluate(() => document.activeElement.textContent);
    await page.keyboard.press('Enter');
    await page.waitForURL(/\/search\?q=/);
    assert.equal(await page.inputValue('#q'), subject);
    assert.ok((await hitIds(page)).includes(second[0]), 'the subject finds the record it came from');
    await page.context().close();
  });

  for (const javaScriptEnabled of [true, false]) {
    test(`a print list of hits chosen on two pages, JavaScript ${javaScriptEnabled ? 'on' : 'off'}`, async () => {
      const page = await open('/search?q=saga', { javaScriptEnabled });
      const first = await hitIds(page);
      await page.check(`ol.hits > li[data-id="${first[0]}"] input[type=checkbox]`);
      await page.check(`ol.hits > li[data-id="${first[3]}"] input[type=checkbox]`);
      if (javaScriptEnabled) assert.match(await page.textContent('#chosen-count'), /^2 færslur valdar/);
      await page.click('button.next');
      await page.waitForURL(/page=2/);
      const second = await hitIds(page);
      await page.check(`ol.hits > li[data-id="${second[1]}"] input[type=checkbox]`);
      await page.click('button.make-print');
      await page.waitForURL(/\/print\?/);
      const chosen = new URL(page.url()).searchParams.getAll('id').map(Number).sort((a, b) => a - b);
      assert.deepEqual(chosen, [first[0], first[3], second[1]].sort((a, b) => a - b));
      assert.equal(await page.textContent('p.count'), '3 færslur í prentlistanum');
      assert.equal(await page.isVisible('button.print-now'), javaScriptEnabled, 'the print button needs the script');
      await page.context().close();
    });
  }

  test('usable at 360 px wide: nothing scrolls sideways', async () => {
    for (const url of ['/search?q=saga', '/record/87', '/print?id=87&id=6']) {
      const page = await open(url, { viewport: { width: 360, height: 740 } });
      const width = await page.evaluate(() => document.documentElement.scrollWidth);
      assert.ok(width <= 360, `${url} is ${width} px wide`);
      const shots = process.env.KVISTUR_SCREENSHOTS || dir;
      fs.mkdirSync(shots, { recursive: true });
      const shot = path.join(shots, `phone${url.replace(/[^a-z0-9]+/gi, '-')}.png`);
      await page.screenshot({ path: shot, fullPage: true });
      assert.ok(fs.statSync(shot).size > 0);
      await page.context().close();
    }
  });
});
