// The market view in a real host (mcp_app_host.mjs), read from the program where the tools point:
// for each tool, the input and result of a real call rendered in a sandboxed frame; what a seller
// sees there; a search typed key by key and Refresh that reach the program; Export CSV; the host's
// theme and a narrow panel; then answers the view cannot read, and a host's variables. Nothing is
// requested beyond the host's own page, no policy is violated, no error is logged. The screenshots
// stay in the test's working directory (in the build tree) for a person to look at.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import { startHost, VIEW_URL } from './mcp_app_host.mjs';

const SHOTS = path.join(process.cwd(), 'mcp_app_screenshots');
const SEARCH = 'market_search_products';
const TOOLS = [SEARCH, 'market_review_defects', 'market_jan_aushadhi'];
// Host variables for each theme: the view must take the host's colours over its own.
const PALETTES = {
  light: { '--color-background-primary': 'rgb(250, 250, 247)', '--color-text-primary': 'rgb(31, 31, 30)',
    '--color-background-secondary': 'rgb(240, 238, 230)', '--font-sans': 'system-ui, sans-serif' },
  dark: { '--color-background-primary': 'rgb(38, 38, 36)', '--color-text-primary': 'rgb(245, 244, 239)',
    '--color-background-secondary': 'rgb(48, 48, 46)', '--font-sans': 'system-ui, sans-serif' },
};

// What a seller must see of the store: the product rows, the CSV of them, and per list tool the
// figures on the page and in the chart's text alternative.
const PRODUCT_ROWS = [
  ['Noise ColorFit Pulse Grand Smart Watch', 'B09G9FPHY6', 'Amazon.in', '₹1,299.00', '₹1,149.00', '-11.54%', 'In stock'],
  ['boAt Airdopes 141 ANC TWS Earbuds', 'SKU-BOAT-AIRDOPES-141', 'Flipkart', '₹1,399.00', '₹1,349.00', '-3.57%', 'Low stock'],
];
const CSV_HEADER = 'Product,Identifier,Platform,Our price (₹),Competitor (₹),Gap %,Stock\r\n';
const PRODUCT_CSV = `${CSV_HEADER}` +
  'Noise ColorFit Pulse Grand Smart Watch,B09G9FPHY6,Amazon.in,1299.00,1149.00,-11.54,In stock\r\n' +
  'boAt Airdopes 141 ANC TWS Earbuds,SKU-BOAT-AIRDOPES-141,Flipkart,1399.00,1349.00,-3.57,Low stock\r\n';
const SEEN = {
  market_review_defects: {
    page: ['28.40%', '8.6', '4,200 reviews analysed', 'Display flickering after 30 days', '14.2%'],
    chart: 'Display flickering after 30 days: 14.2%; Charging dock magnetic pin loose: 9.8%; ' +
      'Inaccurate step counter algorithm: 7.1%',
    bars: 3,
  },
  market_jan_aushadhi: {
    page: ['Augmentin 625 Duo Tablet', '₹204.00', 'Amoxycillin & Potassium Clavulanate Tablets IP 625mg', '₹58.00'],
    chart: 'Branded ₹204.00, Jan Aushadhi generic ₹58.00, a saving of ₹146.00 or 71.57%',
    bars: 2,
  },
};
// Records no store holds: markup, quotes, a comma and a line break, which must come out as text,
// and quoted in the CSV; text a spreadsheet would run as a formula, which the CSV must mark as text
// while its negative numbers stay numbers.
const HOSTILE = [
  { title: '<img src=x onerror="parent.postMessage(1,\'*\')">"Deal", 2\nday', sku_asin: 'X<b>1</b>',
    platform: 'Shop', current_price_inr: 10, competitor_price_inr: 12, price_delta_percent: 20, stock_status: 'IN_STOCK' },
  { title: '=HYPERLINK("http://x.example","Deal")', sku_asin: '+91', platform: '@Shop', current_price_inr: 10,
    competitor_price_inr: 8, price_delta_percent: -20, stock_status: 'IN_STOCK' },
  { title: '\tTab', sku_asin: '\rCR', platform: '-Shop', current_price_inr: 5, competitor_price_inr: 5,
    price_delta_percent: 0, stock_status: '-' },
];
const HOSTILE_CSV = `${CSV_HEADER}"<img src=x onerror=""parent.postMessage(1,'*')"">""Deal"", 2\nday",` +
  'X<b>1</b>,Shop,10.00,12.00,20.00,In stock\r\n' +
  `"'=HYPERLINK(""http://x.example"",""Deal"")",'+91,'@Shop,10.00,8.00,-20.00,In stock\r\n` +
  `'\tTab,"'\rCR",'-Shop,5.00,5.00,0.00,'-\r\n`;
const csvFile = (text) => [{ type: 'resource', resource: { uri: 'file:///quillon-products.csv', mimeType: 'text/csv', text } }];

const tableRows = (frame) => frame.locator('tbody tr').evaluateAll((rows) =>
  rows.map((row) => [...row.cells].map((cell) => cell.innerText)));

test('the view in a real host: each tool, a typed search, Refresh, Export CSV, theme, no request or error',
  { timeout: 240000 }, async (t) => {
    mkdirSync(SHOTS, { recursive: true });
    const host = await startHost();
    try {
      t.diagnostic(`view: ${Buffer.byteLength(host.view)} bytes; screenshots in ${SHOTS}`);
      // Each tool's answer as a host shows it: the arguments, then the result of a real call.
      for (const name of TOOLS) {
        const tool = host.tools.find((candidate) => candidate.name === name);
        await host.mount(name, { serverTools: {}, downloadFile: {} }, { theme: 'light',
          styles: { variables: PALETTES.light }, displayMode: 'inline', availableDisplayModes: ['inline'],
          containerDimensions: { maxWidth: 760 }, toolInfo: { tool } });
        await host.host('toolInput', name, {});
        await host.host('toolResult', name, await host.client.callTool({ name, arguments: {} }));
      }
      // A host that offers downloads only, and no variables: the view's own colours.
      await host.mount('hostile', { downloadFile: {} }, { theme: 'light' });
      await host.host('toolInput', 'hostile', { query: 'deal' });
      await host.host('toolCancelled', 'hostile', 'user action');
      await host.frame('hostile').getByText('The request was cancelled: user action').waitFor();
      await host.host('toolResult', 'hostile', { content: [{ type: 'text', text: JSON.stringify(HOSTILE) }] });

      const products = host.frame(SEARCH);
      await products.locator('tbody tr').nth(1).waitFor();
      assert.deepEqual(await products.getByRole('columnheader').allInnerTexts(),
        ['Product', 'Identifier', 'Platform', 'Our price (₹)', 'Competitor (₹)', 'Gap %', 'Stock']);
      assert.deepEqual(await tableRows(products), PRODUCT_ROWS);
      assert.equal(await products.locator('.chart .bar').count(), PRODUCT_ROWS.length);
      const gaps = await products.getByRole('img').getAttribute('aria-label');
      for (const [title, , , , , gap] of PRODUCT_ROWS) {
        assert.ok(gaps.includes(`${title}, Overpriced: the competitor is ${gap.slice(1)} cheaper`), gaps);
      }
      for (const [name, { page, chart, bars }] of Object.entries(SEEN)) {
        const frame = host.frame(name);
        const seen = await frame.locator('main').innerText();
        for (const figure of page) assert.ok(seen.includes(figure), `${name} shows ${figure}:\n${seen}`);
        assert.ok((await frame.getByRole('img').getAttribute('aria-label')).includes(chart), name);
        assert.equal(await frame.locator('.chart .bar').count(), bars, name);
      }
      const hostile = host.frame('hostile');
      assert.equal(await hostile.locator('tbody th').first().evaluate((th) => th.firstChild.data), HOSTILE[0].title);
      assert.equal((await tableRows(hostile))[0][1], HOSTILE[0].sku_asin);
      // The gap is the competitor's price against ours: a competitor 20% dearer than we are leaves us
      // 20/120 = 16.67% below its price.
      assert.ok((await hostile.getByRole('img').getAttribute('aria-label')).includes(
        `${HOSTILE[0].title}, Undercut: we are 16.67% cheaper, the competitor 20.00% dearer`));
      assert.equal(await hostile.locator('img, b').count(), 0);
      assert.equal(await hostile.getByRole('search').count(), 0);
      await host.screenshot(path.join(SHOTS, 'light.png'));

      // Export CSV, a search and Refresh: through the host, the search to the program.
      await hostile.getByRole('button', { name: 'Export CSV' }).click();
      await hostile.getByText('Exported 3 rows.').waitFor();
      await products.getByRole('button', { name: 'Export CSV' }).click();
      await products.getByText('Exported 2 rows.').waitFor();
      // A search typed key by key, and Enter twice while the program is held: one search goes out.
      // The host's newer input comes before its answer, which is then too late to be drawn.
      const release = host.hold();
      const box = products.getByRole('searchbox');
      await box.pressSequentially('boat');
      await box.press('Enter');
      await products.getByText('Searching for “boat”…').waitFor();
      await box.press('Enter');
      await host.host('toolInput', SEARCH, { query: 'watch' });
      await host.host('toolResult', SEARCH, await host.client.callTool({ name: SEARCH, arguments: { query: 'watch' } }));
      await products.getByText('1 product for “watch”').waitFor();
      release();
      await products.locator('#go:enabled').waitFor();
      assert.equal(await products.getByRole('status').innerText(), '1 product for “watch”');
      assert.deepEqual(await tableRows(products), [PRODUCT_ROWS[0]]);
      // Tab leaves the box for the Search button, which Enter presses.
      await box.press('Control+A');
      await box.pressSequentially('boat');
      await box.press('Tab');
      assert.equal(await products.locator(':focus').getAttribute('id'), 'go');
      await products.locator(':focus').press('Enter');
      await products.getByText('1 product for “boat”').waitFor();
      // The host's answer to its input, which came before this search, is too late as well.
      await host.host('toolResult', SEARCH, await host.client.callTool({ name: SEARCH, arguments: {} }));
      await host.settled();
      assert.equal(await products.getByRole('status').innerText(), '1 product for “boat”');
      assert.deepEqual(await tableRows(products), [PRODUCT_ROWS[1]]);
      await products.locator('tbody').evaluate((body) => body.replaceChildren());
      await products.getByRole('button', { name: 'Refresh' }).click();
      await products.locator('tbody tr').waitFor();
      assert.deepEqual(await tableRows(products), [PRODUCT_ROWS[1]]);
      const search = { name: SEARCH, arguments: { query: 'boat' } };
      assert.deepEqual(host.calls, [search, search, search]);
      assert.deepEqual(host.downloads, [{ name: 'hostile', contents: csvFile(HOSTILE_CSV) },
        { name: 'market_search_products', contents: csvFile(PRODUCT_CSV) }]);

      // The host's dark theme, then a narrow panel: the host's colours, and each view whole in a
      // frame as tall as it asked for and no wider than the panel.
      await host.host('setContext', { theme: 'dark', styles: { variables: PALETTES.dark } });
      assert.equal(await products.locator('body').evaluate((body) => getComputedStyle(body).backgroundColor),
        PALETTES.dark['--color-background-primary']);
      await host.screenshot(path.join(SHOTS, 'dark.png'));
      // A phone's 360 px: every table folds its columns into the row's name rather than scroll.
      await host.host('setContext', { containerDimensions: { maxWidth: 360 } }, 360);
      await host.screenshot(path.join(SHOTS, 'narrow-dark.png'));
      for (const name of [...TOOLS, 'hostile']) {
        const [scrollWidth, clientWidth, scrollHeight] = await host.frame(name).locator('html').evaluate(
          (html) => [html.scrollWidth, html.clientWidth, html.scrollHeight]);
        assert.ok(scrollWidth <= clientWidth, `${name} is ${scrollWidth} px wide in ${clientWidth}`);
        assert.ok(await host.host('frameHeight', name) >= scrollHeight, `${name} is cut off`);
        for (const [inner, outer] of await host.frame(name).locator('.scroll').evaluateAll(
          (regions) => regions.map((region) => [region.scrollWidth, region.clientWidth]))) {
          assert.ok(inner <= outer, `a table of ${name} is ${inner} px wide in ${outer}`);
        }
      }
      assert.equal(await host.frame('market_jan_aushadhi').locator('tbody th .narrow').innerText(),
        'Amoxycillin & Potassium Clavulanate Tablets IP 625mg · Branded ₹204.00 · Generic ₹58.00');
      await host.host('setContext', { theme: 'light', styles: { variables: PALETTES.light } });
      await host.screenshot(path.join(SHOTS, 'narrow-light.png'));

      for (const name of [...TOOLS, 'hostile']) assert.deepEqual(await host.host('teardown', name), {});
      // Each view's one request is its own document, which the host loads.
      assert.deepEqual(host.requests.filter((request) => !request.byHost),
        [...TOOLS, 'hostile'].map(() => ({ url: VIEW_URL, byHost: false, navigation: true })));
      assert.deepEqual(host.violations, []);
      assert.deepEqual(host.problems, []);
      assert.equal(host.stderr(), '');
    } finally {
      await host.close();
    }
  });

// Answers the view cannot read as records, each in a frame of its own: [what, the tool, its
// result, the text the seller sees, the status].
const textResult = (text) => ({ content: [{ type: 'text', text }] });
const UNREADABLE = [
  ['numbers', SEARCH, textResult('[1,2,3]'), '[1,2,3]', ''],
  ['a null record', SEARCH, textResult('[{"sku_asin":"A1"},null]'), '[{"sku_asin":"A1"},null]', ''],
  ['content not a list', SEARCH, { content: { type: 'text', text: 'lone' } }, '{"type":"text","text":"lone"}', ''],
  ['a tool the view does not know', 'market_other', textResult('[{"product":"x"}]'), '[{"product":"x"}]',
    'The view does not know the tool “market_other”.'],
  ['a field no string is made of', SEARCH, textResult('[{"sku_asin":{"toString":1}}]'), '{"toString":1}', '1 product'],
];
// A review with no defect, and one whose defect has no share: both in the CSV, neither a lone "%".
const REVIEWS = [
  { product_asin: 'B0NONE', total_reviews_analyzed: 12, fake_review_ratio_percent: 0, manufacturer_defect_score: 0,
    top_defects: [] },
  { product_asin: 'B0BARE', total_reviews_analyzed: 30, fake_review_ratio_percent: 3.5, manufacturer_defect_score: 1.2,
    top_defects: ['Strap frays'] },
];
const REVIEWS_CSV = 'Identifier,Reviews analysed,Fake reviews %,Defect score,Defect,Share %\r\n' +
  'B0NONE,12,0,0,,\r\nB0BARE,30,3.5,1.2,Strap frays,\r\n';
// The names the MCP Apps extension lets a host set, from the declaration file of its types that
// defines them.
const TYPES = new URL('./node_modules/@modelcontextprotocol/ext-apps/dist/src/', import.meta.url);
const LISTED = readdirSync(TYPES).filter((name) => name.endsWith('.d.ts'))
  .map((name) => readFileSync(new URL(name, TYPES), 'utf8').match(/type McpUiStyleVariableKey = ([^;]*);/))
  .find(Boolean)[1].match(/--[\w-]+/g);
const LONG = 'x'.repeat(10000);

test('what the view cannot read, a 10,000-character query, a review with no defect, a host\'s variables',
  { timeout: 240000 }, async () => {
    const host = await startHost();
    const info = (name) => ({ toolInfo: { tool: host.tools.find((tool) => tool.name === name)
      ?? { name, inputSchema: { type: 'object' } } } });
    try {
      for (const [what, tool, result, shown, status] of UNREADABLE) {
        await host.mount(what, { serverTools: {} }, { theme: 'light', ...info(tool) });
        await host.host('toolResult', what, result);
        await host.frame(what).getByText(shown, { exact: true }).waitFor({ timeout: 5000 });
        assert.equal(await host.frame(what).getByRole('status').innerText(), status, what);
      }

      await host.mount('long', { serverTools: {} }, { theme: 'light', ...info(SEARCH) });
      await host.host('toolInput', 'long', { query: LONG });
      await host.host('toolResult', 'long', await host.client.callTool({ name: SEARCH, arguments: { query: LONG } }));
      const echoed = `“${'x'.repeat(59)}…”`;
      await host.frame('long').getByText(`No product matches ${echoed}.`).waitFor();
      assert.equal(await host.frame('long').getByRole('status').innerText(), `0 products for ${echoed}`);

      const reviews = host.frame('reviews');
      await host.mount('reviews', { downloadFile: {} }, { theme: 'light', ...info('market_review_defects') });
      await host.host('toolResult', 'reviews', textResult(JSON.stringify(REVIEWS)));
      await reviews.getByText('No review reports a defect.').waitFor();
      const words = [await reviews.locator('main').innerText(),
        ...await reviews.getByRole('img').evaluateAll((charts) => charts.map((chart) => chart.ariaLabel))];
      assert.ok(words.join('\n').includes('Strap frays: share not given'), words.join('\n'));
      for (const said of words) assert.doesNotMatch(said, /(^|[^\d])%/);
      await reviews.getByRole('button', { name: 'Export CSV' }).click();
      await reviews.getByText('Exported 2 rows.').waitFor();
      assert.deepEqual(host.downloads, [{ name: 'reviews', contents: [{ type: 'resource',
        resource: { uri: 'file:///quillon-reviews.csv', mimeType: 'text/csv', text: REVIEWS_CSV } }] }]);

      // Every listed name and two others, each a url() that would be requested wherever a
      // background took it: the view sets listed ones only, the host's palette among them, and
      // requests nothing.
      const image = `url(${new URL('/theme.png', VIEW_URL)})`;
      const variables = Object.fromEntries([...LISTED, '--bg', '--evil'].map((name) => [name, image]));
      await host.mount('variables', { serverTools: {} }, { theme: 'dark', styles: { variables }, ...info(SEARCH) });
      await host.host('toolResult', 'variables', await host.client.callTool({ name: SEARCH, arguments: {} }));
      await host.frame('variables').locator('tbody tr').nth(1).waitFor();
      await host.settled();
      const set = await host.frame('variables').locator('html').evaluate((html) => [...html.style]);
      assert.ok(set.every((name) => LISTED.includes(name)), set.join());
      for (const name of Object.keys(PALETTES.dark)) assert.ok(set.includes(name), name);

      // At 360 px no page is wider than its frame, the long query's least of all.
      await host.host('setContext', { containerDimensions: { maxWidth: 360 } }, 360);
      for (const name of [...UNREADABLE.map(([what]) => what), 'long', 'reviews', 'variables']) {
        const [scrollWidth, clientWidth] = await host.frame(name).locator('html').evaluate(
          (html) => [html.scrollWidth, html.clientWidth]);
        assert.ok(scrollWidth <= clientWidth, `${name} is ${scrollWidth} px wide in ${clientWidth}`);
      }

      assert.deepEqual(host.requests.filter((request) => !request.byHost).map((request) => request.url),
        [...UNREADABLE.map(() => VIEW_URL), VIEW_URL, VIEW_URL, VIEW_URL]);
      assert.deepEqual(host.violations, []);
      assert.deepEqual(host.problems, []);
      assert.equal(host.stderr(), '');
    } finally {
      await host.close();
    }
  });

// A store the program's import builds from files as a seller writes them (CRLF, a price with its
// thousands comma): two Flipkart listings, and the competitor's price of the first on several
// days with the seller's floor and ceiling, [days ago, ₹].
const DAY_MS = 86400000;
const COMPETITOR = [[20, 1350], [15, 1320], [10, 1250], [5, 1200], [3, 1180], [1, 1149], [0, 1160]];
const OURS = 1299;
const [FLOOR, CEILING] = [1100, 1500];
function historyStore() {
  const folder = mkdtempSync(path.join(tmpdir(), 'qmr-view-store-'));
  const now = Date.now();
  const at = (ago) => new Date(now - ago * DAY_MS - 60000).toISOString().replace(/\.\d+Z$/, 'Z');
  writeFileSync(path.join(folder, 'l.csv'), 'Seller SKU ID,Product Title,MRP,Your Selling Price,' +
    `Your Stock Count,Listing Status\r\nFK-1,Steel Bottle,"1,499",${OURS},10,ACTIVE\r\nFK-2,Desk Lamp,999,899,3,ACTIVE\r\n`);
  writeFileSync(path.join(folder, 'p.csv'), 'sku_asin,platform,competitor_price_inr,observed_at,min_price_inr,max_price_inr\r\n' +
    COMPETITOR.map(([ago, price]) => `FK-1,Flipkart,${price},${at(ago)},${FLOOR},${CEILING}\r\n`).join(''));
  const data = path.join(folder, 'data');
  execFileSync(process.env.QMR_BINARY, ['import', '--data', data, path.join(folder, 'l.csv'), path.join(folder, 'p.csv')]);
  return { data, remove: () => rmSync(folder, { recursive: true, force: true }) };
}
// The date in India of `ms` as the program writes it ("12 Nov 2026").
const indiaDate = (ms) => {
  const date = new Date(ms + 19800000);
  return `${date.getUTCDate()} ${date.toUTCString().slice(8, 11)} ${date.getUTCFullYear()}`;
};

test('the store\'s view: a price history card from the tool result alone, alert badges on a typed search',
  { timeout: 240000 }, async () => {
    mkdirSync(SHOTS, { recursive: true });
    const store = historyStore();
    const host = await startHost(['--data', store.data]);
    try {
      const HISTORY = 'market_price_history';
      const info = (name) => ({ toolInfo: { tool: host.tools.find((tool) => tool.name === name) } });
      await host.mount('history', { serverTools: {} }, { theme: 'light', styles: { variables: PALETTES.light }, ...info(HISTORY) });
      await host.host('toolInput', 'history', { sku_asin: 'FK-1', days: 30 });
      const result = await host.client.callTool({ name: HISTORY, arguments: { sku_asin: 'FK-1', days: 30 } });
      await host.host('toolResult', 'history', result);
      const card = host.frame('history');
      await card.locator('svg.hist').waitFor();

      // Every observation a dot on its line; floor and ceiling a band each; each alert a mark: a new
      // low of the competitor by more than 1 %, and our price, imported last, 10.7 % above its last.
      let low = COMPETITOR[0][1];
      const lows = COMPETITOR.slice(1).filter(([, price]) => price < low * 0.99 && (low = price));
      for (const [series, count] of [['ours', 1], ['theirs', COMPETITOR.length]]) {
        assert.equal(await card.locator(`.${series} circle`).count(), count, series);
        assert.equal((await card.locator(`.${series} polyline`).getAttribute('points')).split(' ').length, count, series);
      }
      assert.equal(await card.locator('rect.band').count(), 2);
      assert.equal(await card.locator('.mark title').count(), lows.length + 1);
      assert.deepEqual(await card.locator('.hist text').allTextContents().then((texts) => texts.filter((t) => /Floor|Ceiling/.test(t))),
        ['Floor ₹1,100.00', 'Ceiling ₹1,500.00']);
      // The summary lines are the tool's own, and so are the suggested price and its reason.
      const text = result.content[0].text;
      const windows = await card.locator('.windows li').allInnerTexts();
      assert.equal(windows.length, 6);
      for (const line of windows) assert.ok(text.includes(`    ${line}\n`), `${line}\nnot in\n${text}`);
      const reason = await card.locator('.reason').innerText();
      assert.ok(text.includes(`  suggested price: ₹${COMPETITOR.at(-1)[1] - 1}.00 (${reason})\n`), reason);
      assert.equal(await card.locator('.stat b').innerText(), '₹1,159.00');
      assert.equal(await card.getByRole('status').innerText(), 'FK-1: 1 platform');
      await host.screenshot(path.join(SHOTS, 'history-light.png'));

      // A search typed key by key: its rows carry the alert state, the latest alert as a badge.
      const today = indiaDate(Date.now());
      await host.mount('search', { serverTools: {} }, { theme: 'light', styles: { variables: PALETTES.light }, ...info(SEARCH) });
      await host.host('toolResult', 'search', await host.client.callTool({ name: SEARCH, arguments: {} }));
      const search = host.frame('search');
      await search.locator('tbody tr').nth(1).waitFor();
      assert.deepEqual(await search.locator('tbody th .badge').allInnerTexts(), [`Drop alert ${today}`]);
      const box = search.getByRole('searchbox');
      await box.pressSequentially('lamp');
      await box.press('Enter');
      await search.getByText('1 product for “lamp”').waitFor();
      assert.equal(await search.locator('.badge').count(), 0);
      await box.press('Control+A');
      await box.pressSequentially('steel');
      await box.press('Enter');
      await search.getByText('1 product for “steel”').waitFor();
      assert.equal(await search.locator('tbody th .badge').innerText(), `Drop alert ${today}`);

      await host.host('setContext', { theme: 'dark', styles: { variables: PALETTES.dark } });
      await host.screenshot(path.join(SHOTS, 'history-dark.png'));
      assert.notDeepEqual(readFileSync(path.join(SHOTS, 'history-light.png')), readFileSync(path.join(SHOTS, 'history-dark.png')));
      // In a phone's 360 px the chart shrinks with the card, and no page is wider than its frame.
      await host.host('setContext', { containerDimensions: { maxWidth: 360 } }, 360);
      await host.screenshot(path.join(SHOTS, 'history-narrow-dark.png'));
      for (const name of ['history', 'search']) {
        const [scrollWidth, clientWidth] = await host.frame(name).locator('html').evaluate(
          (html) => [html.scrollWidth, html.clientWidth]);
        assert.ok(scrollWidth <= clientWidth, `${name} is ${scrollWidth} px wide in ${clientWidth}`);
      }
      assert.deepEqual(host.calls, ['lamp', 'steel'].map((query) => ({ name: SEARCH, arguments: { query } })));
      assert.deepEqual(host.requests.filter((request) => !request.byHost),
        ['history', 'search'].map(() => ({ url: VIEW_URL, byHost: false, navigation: true })));
      assert.deepEqual(host.violations, []);
      assert.deepEqual(host.problems, []);
      assert.equal(host.stderr(), '');
    } finally {
      await host.close();
      store.remove();
    }
  });
