// The dashboard in a real browser: Debian's chromium, headless, driven by playwright-core. The page
// loads nothing but itself, logs no error, and each "Trigger Reprice" click makes exactly one POST
// and shows the alert once. The store's page (--data) fills its figures and rows from the API, and
// a product's history and the alerts from theirs.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import { chromium } from 'playwright-core';

import { startDashboard } from '../process/dashboard_harness.mjs';

const CHROMIUM = '/usr/bin/chromium';
const TITLE = 'Quillon Market & Retail Intelligence | Varnel AI Labs';
const ALERT = '✅ Competitor Price Drop Alert Dispatched in 19 µs!';

const BROWSER = {
  executablePath: CHROMIUM,
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic'],
};

// Resolves once `condition()` holds; fails after `timeoutMs`.
async function until(condition, what, timeoutMs = 10000) {
  const deadline = Date.now() + timeoutMs;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

test('the dashboard page in chromium: title, no other request, one POST and one alert per click',
  { timeout: 180000 }, async () => {
    const server = await startDashboard((port) => ['ui', '-p', String(port)]);
    const profile = mkdtempSync(path.join(tmpdir(), 'qmr-chromium-'));
    let context;
    try {
      context = await chromium.launchPersistentContext(profile, BROWSER);
      const requests = [];
      const problems = [];
      const dialogs = [];
      context.on('request', (request) => requests.push(`${request.method()} ${request.url()}`));
      const page = context.pages()[0] ?? (await context.newPage());
      page.on('console', (message) => {
        if (message.type() === 'error') problems.push(`console: ${message.text()} at ${message.location().url}`);
      });
      // Chromium asks for /favicon.ico by itself (the page names no icon) and logs the route
      // table's 404 for it as an error. That request is the browser's, not the page's: it is the
      // one message let through, and only once.
      const faviconMiss = (origin) =>
        'console: Failed to load resource: the server responded with a status of 404 (NOT FOUND) ' +
        `at ${origin}/favicon.ico`;
      page.on('pageerror', (error) => problems.push(`page: ${error.message}`));
      page.on('dialog', async (dialog) => {
        dialogs.push(`${dialog.type()}: ${dialog.message()}`);
        await dialog.accept();
      });

      const origin = `http://127.0.0.1:${server.port}`;
      const response = await page.goto(`${origin}/`, { waitUntil: 'load' });
      assert.equal(response.status(), 200);
      assert.equal(await page.title(), TITLE);
      // The style sheet applies: the card labels show in capitals.
      assert.deepEqual(await page.locator('.card-label').allInnerTexts(),
        ['TRACKED SKUS', 'PRICE DISCREPANCY', 'MEDICINE ARBITRAGE', 'RAM CONSUMPTION']);
      assert.equal(await page.locator('.brand').innerText(), '🛒 QUILLON MARKET & RETAIL INTELLIGENCE');
      await page.waitForLoadState('networkidle');
      assert.deepEqual(requests, [`GET ${origin}/`]);

      const buttons = page.getByRole('button', { name: 'Trigger Reprice' });
      assert.equal(await buttons.count(), 2);
      for (let i = 0; i < 2; i++) {
        await buttons.nth(i).click();
        await until(() => dialogs.length === i + 1, `the alert of click ${i + 1}`);
        assert.equal(requests.filter((r) => r === `POST ${origin}/api/reprice`).length, i + 1);
      }
      // Nothing more arrives after the clicks: no second alert, no further request.
      await new Promise((resolve) => setTimeout(resolve, 500));
      assert.deepEqual(dialogs, [`alert: ${ALERT}`, `alert: ${ALERT}`]);
      assert.deepEqual(requests, [`GET ${origin}/`, `POST ${origin}/api/reprice`, `POST ${origin}/api/reprice`]);
      const favicon = problems.filter((problem) => problem === faviconMiss(origin));
      assert.ok(favicon.length <= 1, favicon.join('\n'));
      assert.deepEqual(problems.filter((problem) => problem !== faviconMiss(origin)), []);
    } finally {
      if (context) await context.close();
      await server.stop();
      rmSync(profile, { recursive: true, force: true });
    }
  });

// A catalogue of 100,000 listings: a small page whose table shows a page of 50 rows and the count,
// searched as a seller types (key by key, a request per key, only the latest drawn), sorted by a
// click on a column's head (twice: descending) and paged; each page is the list's own answer.
test('the catalogue page in chromium: searched key by key, sorted, paged, never the whole table',
  { timeout: 180000 }, async () => {
    const server = await startDashboard((port) => [String(port)],
      { command: [process.env.QMR_GENERATED_DASHBOARD, '100000'] });
    const profile = mkdtempSync(path.join(tmpdir(), 'qmr-chromium-'));
    const origin = `http://127.0.0.1:${server.port}`;
    // The identifiers of the list's own page for `query`, and its count.
    const expected = async (query) => {
      const response = await fetch(`${origin}/api/products?limit=50&${query}`);
      return { skus: (await response.json()).map((p) => p.sku_asin),
        total: Number(response.headers.get('X-Total-Count')) };
    };
    const shown = async (page) => page.locator('#rows tr td:first-child').allInnerTexts();
    let context;
    try {
      context = await chromium.launchPersistentContext(profile, BROWSER);
      const page = context.pages()[0] ?? (await context.newPage());
      const problems = [];
      page.on('pageerror', (error) => problems.push(`page: ${error.message}`));
      page.on('console', (message) => {
        if (message.type() === 'error' && !message.location().url.endsWith('/favicon.ico')) {
          problems.push(`console: ${message.text()}`);
        }
      });
      const response = await page.goto(`${origin}/`, { waitUntil: 'load' });
      assert.ok((await response.body()).length < 20000);
      await page.waitForFunction(() => document.querySelectorAll('#rows tr').length === 50);
      assert.equal(await page.locator('#count').innerText(), '1,00,000 products');
      assert.equal(await page.locator('#range').innerText(), '1–50 of 1,00,000');
      assert.deepEqual(await shown(page), (await expected('')).skus);

      const steps = [
        ['type', 'boat neck', 'q=boat+neck'],
        ['sort', 'Gap', 'q=boat+neck&sort=price_gap'],
        ['sort', 'Gap', 'q=boat+neck&sort=-price_gap'],
        ['next', '', 'q=boat+neck&sort=-price_gap&offset=50'],
        ['erase', 5, 'q=boat&sort=-price_gap'],
        ['sort', 'Our Price', 'q=boat&sort=current_price_inr'],
      ];
      for (const [action, value, query] of steps) {
        if (action === 'type') await page.locator('#search').type(value, { delay: 30 });
        if (action === 'erase') {
          await page.locator('#search').press('End');
          for (let i = 0; i < value; i++) await page.locator('#search').press('Backspace');
        }
        if (action === 'sort') await page.getByRole('button', { name: value, exact: true }).click();
        if (action === 'next') await page.getByRole('button', { name: 'Next' }).click();
        const want = await expected(query);
        assert.ok(want.total > 50, query);
        const offset = Number(new URLSearchParams(query).get('offset') ?? 0);
        const range = `${(offset + 1).toLocaleString('en-IN')}–${(offset + 50).toLocaleString('en-IN')}` +
          ` of ${want.total.toLocaleString('en-IN')} matching`;
        // Two steps may show the same range (a sort flips the order only), so the wait is for the rows too.
        await page.waitForFunction(([text, skus]) => document.querySelector('#range').textContent === text &&
          [...document.querySelectorAll('#rows tr td:first-child')].map((cell) => cell.textContent).join() ===
          skus.join(), [range, want.skus], { timeout: 10000 }).catch(() => {});
        assert.equal(await page.locator('#range').innerText(), range, query);
        assert.deepEqual(await shown(page), want.skus, query);
      }
      assert.equal(await page.locator('th[aria-sort]').getAttribute('data-sort'), 'current_price_inr');
      assert.deepEqual(problems, []);
    } finally {
      if (context) await context.close();
      await server.stop();
      rmSync(profile, { recursive: true, force: true });
    }
  });

test('a store\'s page in chromium: its rows from the API, and no medicines said in words',
  { timeout: 180000 }, async () => {
    const folder = mkdtempSync(path.join(tmpdir(), 'qmr-store-'));
    writeFileSync(path.join(folder, 'l.csv'), 'Seller SKU ID,Product Title,MRP,Your Selling Price,' +
      'Your Stock Count,Listing Status\nFK-1,Steel <b>Bottle</b>,"1,999",1299,40,ACTIVE\nFK-2,Kurta,0,799,0,ACTIVE\n');
    writeFileSync(path.join(folder, 'p.csv'), 'sku_asin,platform,competitor_price_inr\nFK-1,Flipkart,1149\n');
    const data = path.join(folder, 'data');
    execFileSync(process.env.QMR_BINARY, ['import', '--data', data, path.join(folder, 'l.csv'), path.join(folder, 'p.csv')]);
    const server = await startDashboard((port) => ['ui', '-p', String(port), '--data', data]);
    let context;
    try {
      context = await chromium.launchPersistentContext(path.join(folder, 'profile'), {
        executablePath: CHROMIUM, headless: true, args: ['--no-sandbox', '--disable-gpu', '--no-first-run'],
      });
      const page = context.pages()[0] ?? (await context.newPage());
      const problems = [];
      page.on('pageerror', (error) => problems.push(error.message));
      await page.goto(`http://127.0.0.1:${server.port}/`, { waitUntil: 'load' });
      await page.waitForFunction(() => document.querySelectorAll('#rows tr').length === 2 &&
        document.querySelector('#medicines').textContent !== '');
      assert.equal(await page.textContent('#medicines'), 'No medicines imported yet');
      assert.equal(await page.textContent('#count'), '2 products');
      // Text stays text: the title's markup is shown, not obeyed.
      assert.deepEqual(await page.$$eval('#rows tr', (rows) => rows.map((row) => row.innerText.split('\t'))), [
        ['FK-1', 'Steel <b>Bottle</b>', 'Flipkart', '₹1,299.00', '₹1,149.00', '-11.54%', '11.54%', 'IN_STOCK'],
        ['FK-2', 'Kurta', 'Flipkart', '₹799.00', '—', '—', '—', 'OUT_OF_STOCK'],
      ]);
      assert.deepEqual(problems, []);
    } finally {
      await context?.close();
      await server.stop();
      rmSync(folder, { recursive: true, force: true });
    }
  });

// A store whose history is known from its files: our price from two imports of listings, the
// competitor's on five days (one 45 days ago, outside a 30-day view), a floor and a ceiling, and a
// title that is both markup and a formula. The seller opens the chart with the keyboard alone.
test('a product\'s history in chromium: opened by keys, drawn and exported as the API says, light and dark',
  { timeout: 180000 }, async () => {
    const folder = mkdtempSync(path.join(tmpdir(), 'qmr-history-'));
    const day = (ago) => new Date(Date.now() - ago * 86400000 + 19800000).toISOString().slice(0, 10);
    const title = '=SUM(1)+<b>Steel</b> Bottle, 1L';
    const listing = (price) => 'Seller SKU ID,Product Title,MRP,Your Selling Price,Your Stock Count,Listing Status\n' +
      `FK-1,"${title}",1999,${price},40,ACTIVE\nFK-2,Kurta,0,799,0,ACTIVE\n`;
    writeFileSync(path.join(folder, 'l1.csv'), listing(1299));
    writeFileSync(path.join(folder, 'l2.csv'), listing(1249));
    writeFileSync(path.join(folder, 'p.csv'), 'sku_asin,platform,competitor_price_inr,observed_at,min_price_inr,max_price_inr\n' +
      [[45, 1400], [5, 1300], [4, 1200], [3, 1310], [2, 1150]].map(([ago, inr]) => `FK-1,Flipkart,${inr},${day(ago)},1000,1500\n`).join(''));
    const data = path.join(folder, 'data');
    for (const file of ['l1.csv', 'l2.csv', 'p.csv']) execFileSync(process.env.QMR_BINARY, ['import', '--data', data, path.join(folder, file)]);
    const server = await startDashboard((port) => ['ui', '-p', String(port), '--data', data]);
    const origin = `http://127.0.0.1:${server.port}`;
    const api = async (query) => (await (await fetch(`${origin}/api/${query}`)).json());
    const shots = path.join(process.cwd(), 'dashboard_screenshots');
    mkdirSync(shots, { recursive: true });
    let context;
    try {
      context = await chromium.launchPersistentContext(path.join(folder, 'profile'), { ...BROWSER, acceptDownloads: true });
      const page = context.pages()[0] ?? (await context.newPage());
      const requests = [];
      const problems = [];
      context.on('request', (request) => requests.push(request.url()));
      page.on('pageerror', (error) => problems.push(error.message));
      page.on('console', (message) => {
        if (message.type() === 'error' && !message.location().url.endsWith('/favicon.ico')) problems.push(message.text());
      });
      const served = await page.goto(`${origin}/`, { waitUntil: 'load' });
      assert.match(served.headers()['content-security-policy'], /^default-src 'none'; .*connect-src 'self'/);
      await page.waitForFunction(() => document.querySelectorAll('#rows tr').length === 2 && document.querySelector('#alerts tr'));
      for (let tabs = 0; tabs < 20 && await page.evaluate(() => document.activeElement.textContent) !== 'FK-1'; tabs++) await page.keyboard.press('Tab');
      await page.keyboard.press('Enter');
      const opened = page.getByRole('button', { name: 'FK-1' });
      // Each view, drawn, against the API's answer for its days.
      const check = async (days, competitorPoints) => {
        const [want] = await api(`history?sku_asin=FK-1&platform=Flipkart&days=${days}`);
        await page.waitForFunction((n) => document.querySelectorAll('circle.competitor').length === n, competitorPoints);
        assert.equal(want.competitor.points.length, competitorPoints);
        assert.equal(await page.locator('circle.ours').count(), 2);
        assert.deepEqual(await page.$$eval('polyline', (lines) => lines.map((l) => l.getAttribute('points').split(' ').length)), [2, competitorPoints]);
        assert.equal(await page.locator('rect.band').count(), 2);
        const since = Date.parse(want.points_since_utc);
        const alerts = want.alerts.filter((a) => Date.parse(a.observed_at_utc) >= since).length;
        assert.ok(alerts > 0);
        assert.equal(await page.locator('circle.alert').count(), alerts);
        assert.deepEqual(await page.locator('.summary li').allInnerTexts(),
          [...want.ours.windows, ...want.competitor.windows].map((w) => w.text));
        assert.match(await page.locator('.suggestion').innerText(), new RegExp(`: ${want.suggestion_reason.replace(/[.()]/g, '\\$&')}$`));
        return want;
      };
      await check(90, 5);
      assert.equal(await opened.getAttribute('aria-expanded'), 'true');
      await page.keyboard.press('Tab');
      await page.keyboard.press('ArrowUp');
      const shown = await check(30, 4);
      await page.keyboard.press('Tab');
      const [download] = await Promise.all([page.waitForEvent('download'), page.keyboard.press('Enter')]);
      const rows = readFileSync(await download.path(), 'utf8').split('\r\n');
      assert.equal(rows.shift(), 'sku_asin,title,platform,series,observed_at_utc,price_inr');
      assert.deepEqual(rows, [...['ours', 'competitor'].flatMap((series) => shown[series].points.map((q) =>
        `FK-1,"'=SUM(1)+<b>Steel</b> Bottle, 1L",Flipkart,${series},${q.observed_at_utc},${q.price_inr}`)), '']);
      // The alerts list: the API's, newest first, the title as text.
      const alerts = (await api('alerts')).alerts;
      assert.deepEqual(await page.locator('#alerts tr td:nth-child(3)').allInnerTexts(), alerts.slice(0, 20).map((a) => `${a.title} (${a.sku_asin})`));
      assert.equal(await page.locator('b').count(), 0);
      const shot = async (colorScheme) => {
        await page.emulateMedia({ colorScheme });
        return page.screenshot({ path: path.join(shots, `history-${colorScheme}.png`), fullPage: true });
      };
      assert.notDeepEqual(await shot('light'), await shot('dark'));
      await page.keyboard.press('Shift+Tab');
      await page.keyboard.press('Shift+Tab');
      await page.keyboard.press(' ');
      assert.equal(await opened.getAttribute('aria-expanded'), 'false');
      assert.equal(await page.locator('svg').count(), 0);
      assert.ok(requests.includes(`${origin}/api/history?sku_asin=FK-1&platform=Flipkart&days=30`));
      assert.deepEqual(requests.filter((url) => url !== `${origin}/` && !url.startsWith(`${origin}/api/`) && url !== `${origin}/favicon.ico`), []);
      assert.deepEqual(problems, []);
    } finally {
      await context?.close();
      await server.stop();
      rmSync(folder, { recursive: true, force: true });
    }
  });
