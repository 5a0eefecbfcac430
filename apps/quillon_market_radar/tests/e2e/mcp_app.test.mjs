// The market view in a real host (mcp_app_host.mjs), read from the program where the tools point:
// for each tool, the input and result of a real call rendered in a sandboxed frame; what a seller
// sees there; a search and Refresh that reach the program; Export CSV; the host's theme and a
// narrow panel. Nothing is requested beyond the host's own page, no policy is violated, no error
// is logged. The screenshots stay in the test's working directory (in the build tree) for a
// person to look at.
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { startHost, VIEW_URL } from './mcp_app_host.mjs';

const SHOTS = path.join(process.cwd(), 'mcp_app_screenshots');
const TOOLS = ['market_search_products', 'market_review_defects', 'market_jan_aushadhi'];
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
// A record no store holds: markup, quotes, a comma and a line break, which must come out as text,
// and quoted in the CSV.
const HOSTILE = { title: '<img src=x onerror="parent.postMessage(1,\'*\')">"Deal", 2\nday', sku_asin: 'X<b>1</b>',
  platform: 'Shop', current_price_inr: 10, competitor_price_inr: 12, price_delta_percent: 20, stock_status: 'IN_STOCK' };
const HOSTILE_CSV = `${CSV_HEADER}"<img src=x onerror=""parent.postMessage(1,'*')"">""Deal"", 2\nday",` +
  'X<b>1</b>,Shop,10.00,12.00,20.00,In stock\r\n';
const csvFile = (text) => [{ type: 'resource', resource: { uri: 'file:///quillon-products.csv', mimeType: 'text/csv', text } }];

const tableRows = (frame) => frame.locator('tbody tr').evaluateAll((rows) =>
  rows.map((row) => [...row.cells].map((cell) => cell.innerText)));

test('the view in a real host: each tool, search, Refresh, Export CSV, theme, no request or error',
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
      await host.host('toolResult', 'hostile', { content: [{ type: 'text', text: JSON.stringify([HOSTILE]) }] });

      const products = host.frame('market_search_products');
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
      assert.equal(await hostile.locator('tbody th').evaluate((th) => th.firstChild.data), HOSTILE.title);
      assert.equal((await tableRows(hostile))[0][1], HOSTILE.sku_asin);
      const hostileGap = await hostile.getByRole('img').getAttribute('aria-label');
      assert.ok(hostileGap.includes('Undercut: we are 20.00% cheaper'), hostileGap);
      assert.equal(await hostile.locator('img, b').count(), 0);
      assert.equal(await hostile.getByRole('search').count(), 0);
      await host.screenshot(path.join(SHOTS, 'light.png'));

      // Export CSV, a search and Refresh: through the host, the search to the program.
      await hostile.getByRole('button', { name: 'Export CSV' }).click();
      await hostile.getByText('Exported 1 row.').waitFor();
      await products.getByRole('button', { name: 'Export CSV' }).click();
      await products.getByText('Exported 2 rows.').waitFor();
      await products.getByRole('searchbox').fill('boat');
      await products.getByRole('searchbox').press('Enter');
      await products.getByText('1 product for “boat”').waitFor();
      assert.deepEqual(await tableRows(products), [PRODUCT_ROWS[1]]);
      await products.locator('tbody').evaluate((body) => body.replaceChildren());
      await products.getByRole('button', { name: 'Refresh' }).click();
      await products.locator('tbody tr').waitFor();
      assert.deepEqual(await tableRows(products), [PRODUCT_ROWS[1]]);
      const search = { name: 'market_search_products', arguments: { query: 'boat' } };
      assert.deepEqual(host.calls, [search, search]);
      assert.deepEqual(host.downloads, [{ name: 'hostile', contents: csvFile(HOSTILE_CSV) },
        { name: 'market_search_products', contents: csvFile(PRODUCT_CSV) }]);

      // The host's dark theme, then a narrow panel: the host's colours, and each view whole in a
      // frame as tall as it asked for and no wider than the panel.
      await host.host('setContext', { theme: 'dark', styles: { variables: PALETTES.dark } });
      assert.equal(await products.locator('body').evaluate((body) => getComputedStyle(body).backgroundColor),
        PALETTES.dark['--color-background-primary']);
      await host.screenshot(path.join(SHOTS, 'dark.png'));
      await host.host('setContext', { containerDimensions: { maxWidth: 320 } }, 320);
      await host.screenshot(path.join(SHOTS, 'narrow-dark.png'));
      for (const name of [...TOOLS, 'hostile']) {
        const [scrollWidth, clientWidth, scrollHeight] = await host.frame(name).locator('html').evaluate(
          (html) => [html.scrollWidth, html.clientWidth, html.scrollHeight]);
        assert.ok(scrollWidth <= clientWidth, `${name} is ${scrollWidth} px wide in ${clientWidth}`);
        assert.ok(await host.host('frameHeight', name) >= scrollHeight, `${name} is cut off`);
      }

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
