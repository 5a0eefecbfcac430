// The commands answering from a seller's store (--data): files the test writes are imported with
// the program's own `import`, then searched, checked, served over stdio and HTTP while another
// import lands, and read where the store may not be written.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { chmodSync, chownSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';

import { banner, linesOf, run, skipOnWindows, start } from './harness.mjs';
import { exchange, parseResponse, startDashboard } from './dashboard_harness.mjs';
import { REVISIONS } from '../revisions.mjs';

const LISTINGS = 'Seller SKU ID,Product Title,MRP,Your Selling Price,Your Stock Count,Listing Status\n' +
  'FK-1,Steel Bottle,"1,999",1299,40,ACTIVE\nFK-2,Cotton Kurta,0,799,0,ACTIVE\n';
const PRICES = 'sku_asin,platform,competitor_price_inr,observed_at\n' +
  'FK-1,Flipkart,1000,2025-11-01\nFK-1,Flipkart,1149,2025-12-01\n';
const LATER = 'sku_asin,platform,competitor_price_inr\nFK-2,Flipkart,700\n';

// A folder with a store holding LISTINGS and PRICES; `remove()` deletes it.
function importedStore() {
  const folder = mkdtempSync(join(tmpdir(), 'qmr-store-'));
  const file = (name, text) => {
    writeFileSync(join(folder, name), text);
    return join(folder, name);
  };
  const data = join(folder, 'data');
  execFileSync(process.env.QMR_BINARY, ['import', '--data', data, file('l.csv', LISTINGS), file('p.csv', PRICES)]);
  return { folder, data, file, remove: () => rmSync(folder, { recursive: true, force: true }) };
}

const call = (id, name, args = {}) =>
  JSON.stringify({ jsonrpc: '2.0', id, method: 'tools/call', params: { name, arguments: args } });
// The records a search tool answer carries.
const records = (line) => JSON.parse(JSON.parse(line).result.content[0].text);

test('prices and test answer from the store; the search compares the seller SKU', async () => {
  const store = importedStore();
  try {
    const prices = await run(['prices', '-q', 'fk-', '--data', store.data]);
    assert.equal(prices.status, 0, prices.stderr.toString());
    assert.equal(prices.stdout.toString(), banner(false) +
      "[*] Scanning Competitor Prices for 'fk-'...\n[+] Found 2 Matching SKUs in 0.05ms:\n" +
      '    -> [FK-1] Steel Bottle | Platform: Flipkart | Current: ₹1299.00 | Competitor: ₹1149.00 | Delta: -11.54%\n' +
      '    -> [FK-2] Cotton Kurta | Platform: Flipkart | Current: ₹799.00 | Competitor: none | Delta: none\n');
    const checked = await run(['test', '--data', store.data]);
    assert.equal(checked.status, 0, checked.stderr.toString());
    const report = checked.stdout.toString();
    for (const line of ['    - Integrity: ok\n', '    - Imports: 2\n', '    - Listings: 2 (Flipkart 2)\n',
      '    - Competitor prices: 2, the latest one shown for 1 of the 2 listings\n']) {
      assert.ok(report.includes(line), report);
    }
  } finally {
    store.remove();
  }
});

// The store's medicines through the API and the tool, which takes a brand or a salt and lists it.
test('the medicines of a store are served, and the tool answers a query', async () => {
  const store = importedStore();
  execFileSync(process.env.QMR_BINARY, ['import', '--data', store.data, store.file('ja.csv',
    "Sr No,Drug Code,Generic Name,Unit Size,MRP,Group Name\n1,11,Paracetamol Tablets IP 650 mg,10's,10,A\n"),
  store.file('b.csv', 'branded_medicine_name,salt_composition,branded_price_inr,pack\nDolo 650 Tablet,Paracetamol (650mg),30.91,15 tablets\n')]);
  const server = await startDashboard((port) => ['ui', '-p', String(port), '--data', store.data]);
  try {
    const api = parseResponse((await exchange(server.port, 'GET /api/medicines HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n')).data).body.toString();
    assert.equal(api, '[{"branded_medicine_name":"Dolo 650 Tablet (15 tablets)","branded_price_inr":30.91,"salt_composition":' +
      '"Paracetamol (650mg)","jan_aushadhi_generic_name":"Paracetamol Tablets IP 650 mg","jan_aushadhi_price_inr":15.0,"savings_percent":51.47}]');
    const input = [JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'tools/list' }), call(2, 'market_jan_aushadhi', { query: 'PARACETAMOL' }),
      call(3, 'market_jan_aushadhi', { query: 'Hydroxyzine' })].join('\n') + '\n';
    const answers = (await run(['mcp', '--data', store.data], { input })).stdout.toString().trim().split('\n');
    const [listed, found, none] = answers.map((line) => JSON.parse(line).result);
    assert.deepEqual(listed.tools[2].inputSchema, { properties: { query: { type: 'string' } }, type: 'object' });
    assert.equal(found.content.length, 1);
    assert.deepEqual(JSON.parse(found.content[0].text), JSON.parse(api));
    assert.deepEqual(none.content, [{ type: 'text', text: 'no exact Jan Aushadhi match' }]);
  } finally {
    await server.stop();
    store.remove();
  }
});

test('a corrupt store is one line on standard error and status 1', async () => {
  const store = importedStore();
  try {
    const file = join(store.data, 'market.db');
    const bytes = readFileSync(file);
    writeFileSync(file, Buffer.concat([bytes.subarray(0, 4096), Buffer.alloc(bytes.length - 4096, 0x5a)]));
    for (const args of [['test'], ['prices', '-q', 'x'], ['mcp']]) {
      const { status, stderr } = await run([...args, '--data', store.data]);
      assert.equal(status, 1, args.join(' '));
      assert.match(stderr.toString(), /^Error: .*market\.db is (corrupt|not a SQLite database) \([^\n]*\)\n$/, args.join(' '));
    }
  } finally {
    store.remove();
  }
});

// Sends `ask()` every 50 ms until `shows(answer)`, for at most 10 s; resolves to the wait in ms.
async function waitUntil(ask, shows) {
  const started = Date.now();
  while (!shows(await ask())) {
    assert.ok(Date.now() - started < 10000, 'the import was not seen within 10 s');
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return Date.now() - started;
}

test('a running tool server and dashboard see a finished import without a restart', async (t) => {
  const store = importedStore();
  const { child, exited } = start(['mcp', '--data', store.data]);
  const lines = linesOf(child.stdout);
  const server = await startDashboard((port) => ['ui', '-p', String(port), '--mcp', '--data', store.data],
    { ready: /MCP Endpoint: .*\n/ });
  try {
    let id = 0;
    const stdio = async () => {
      child.stdin.write(call(++id, 'market_search_products', { query: 'FK-2' }) + '\n');
      return records((await lines.next()).value)[0];
    };
    const get = async () => JSON.parse(parseResponse((await exchange(server.port,
      'GET /api/products HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n')).data).body.toString())[1];
    const post = async () => {
      const body = call(++id, 'market_search_products', { query: 'kurta' });
      const { data } = await exchange(server.port, `POST /mcp HTTP/1.1\r\nHost: localhost:${server.port}\r\n` +
        `Content-Type: application/json\r\nContent-Length: ${body.length}\r\n\r\n${body}`);
      return records(parseResponse(data).body.toString())[0];
    };
    for (const ask of [stdio, get, post]) assert.equal((await ask()).competitor_price_inr, null);
    // The store's page, which reads its rows from the API, not the demo's with its fixed rows.
    const page = parseResponse((await exchange(server.port, 'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n')).data);
    assert.ok(page.body.includes('No medicines imported yet') && !page.body.includes('Noise ColorFit'));
    const reviews = call(++id, 'market_review_defects');
    child.stdin.write(reviews + '\n');
    assert.equal(JSON.parse((await lines.next()).value).result.content[0].text, 'No review analyses imported yet.');

    execFileSync(process.env.QMR_BINARY, ['import', '--data', store.data, store.file('later.csv', LATER)]);
    for (const [name, ask] of [['stdio', stdio], ['GET /api/products', get], ['POST /mcp', post]]) {
      const waited = await waitUntil(ask, (record) => record.competitor_price_inr === 700);
      t.diagnostic(`${name} showed the import after ${waited} ms`);
      const record = await ask();
      assert.equal(record.price_delta_percent, -12.39, name);  // (700 - 799) / 799, truncated
    }
    child.stdin.end();
    assert.equal((await exited).status, 0);
  } finally {
    child.kill();
    await server.stop();
    store.remove();
  }
});

test('a store that may not be written is still served', { skip: skipOnWindows('no POSIX permissions') }, async () => {
  const store = importedStore();
  // Root writes whatever the modes say: the commands then run as nobody, owner of the store.
  const asUser = process.getuid() === 0
    ? ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', process.env.QMR_BINARY]
    : [process.env.QMR_BINARY];
  try {
    if (process.getuid() === 0) {
      chmodSync(store.folder, 0o755);
      for (const path of [store.data, join(store.data, 'market.db')]) chownSync(path, 65534, 65534);
    }
    chmodSync(join(store.data, 'market.db'), 0o444);
    // Its folder first, while no index file of the log is there (the import removed it): SQLite
    // reads such a file only as immutable; then the file alone.
    for (const folderMode of [0o500, 0o700]) {
      chmodSync(store.data, folderMode);
      const run = (args, input) => execFileSync(asUser[0], [...asUser.slice(1), ...args, '--data', store.data],
        { input, encoding: 'utf8' });
      assert.match(run(['prices', '-q', 'bottle']), /\[FK-1\] Steel Bottle .* Delta: -11\.54%\n$/);
      assert.match(run(['test']), /- Schema version: \d+ \(read-only\)\n/);
      assert.equal(records(run(['mcp'], call(1, 'market_search_products') + '\n')).length, 2);
    }
  } finally {
    chmodSync(store.data, 0o700);
    store.remove();
  }
});

// A store with a history of known figures: PRICES (a year ago and more), our price (₹1299, the
// listing's, at its import), and the competitor's 20, 10 and 3 days ago and once after our price.
const DAY_MS = 86400000;
function historyStore() {
  const store = importedStore();
  const now = Date.now();
  const at = (ms) => new Date(ms).toISOString();
  const prices = 'sku_asin,platform,competitor_price_inr,observed_at\n' +
    `FK-1,Flipkart,1300,${at(now - 20 * DAY_MS)}\nFK-1,Flipkart,1250,${at(now - 10 * DAY_MS)}\n` +
    `FK-1,Flipkart,1200,${at(now - 3 * DAY_MS)}\nFK-1,Flipkart,1149,${at(now)}\n`;
  execFileSync(process.env.QMR_BINARY, ['import', '--data', store.data, store.file('h.csv', prices)]);
  return { ...store, started: now };
}
// The date in India of `ms` as the program writes it ("12 Nov 2026").
const indiaDate = (ms) => {
  const date = new Date(ms + 19800000);
  return `${date.getUTCDate()} ${date.toUTCString().slice(8, 11)} ${date.getUTCFullYear()}`;
};

test('the history tool is listed only with a store, and answers its figures', async () => {
  const store = historyStore();
  try {
    const list = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'tools/list' });
    const history = (args) => call(2, 'market_price_history', args);
    for (const data of [[], ['--data', store.data]]) {
      const { status, stdout } = await run(['mcp', ...data], { input: `${list}\n${history({ sku_asin: 'FK-1' })}\n` });
      assert.equal(status, 0);
      const [listed, called] = stdout.toString().trim().split('\n').map((line) => JSON.parse(line));
      const names = listed.result.tools.map((tool) => tool.name);
      assert.deepEqual(names.includes('market_price_history'), data.length > 0, names.join());
      if (data.length === 0) assert.match(called.result.content[0].text, /not found/);
    }
    // Each revision lists the medicine query and the history tool's arguments, described where
    // the revision describes tools.
    const meta = (name) => `"_meta":{"io.modelcontextprotocol/protocolVersion":"${name}"}`;
    for (const { name, era, toolsTitled } of REVISIONS) {
      const input = era === 'handshake'
        ? `{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"${name}","capabilities":{},` +
          `"clientInfo":{"name":"t","version":"1"}}}\n{"jsonrpc":"2.0","id":2,"method":"tools/list"}\n`
        : `{"jsonrpc":"2.0","id":2,"method":"tools/list","params":{${meta(name)}}}\n`;
      const { stdout } = await run(['mcp', '--data', store.data], { input });
      const tools = stdout.toString().trim().split('\n').map((line) => JSON.parse(line)).at(-1).result.tools;
      const argument = (tool, key) => tools.find((listed) => listed.name === tool).inputSchema.properties[key];
      for (const [tool, key, type] of [['market_jan_aushadhi', 'query', 'string'], ['market_price_history', 'sku_asin', 'string'],
        ['market_price_history', 'platform', 'string'], ['market_price_history', 'days', 'integer']]) {
        assert.equal(argument(tool, key).type, type, `${name} ${tool} ${key}`);
        assert.equal(typeof argument(tool, key).description === 'string', toolsTitled, `${name} ${tool} ${key}`);
      }
    }
    const ask = async (args, extra = []) => {
      const { stdout } = await run(['mcp', '--data', store.data, ...extra], { input: history(args) + '\n' });
      return JSON.parse(stdout.toString()).result;
    };
    const first = indiaDate(store.started - 20 * DAY_MS);
    const today = indiaDate(Date.now());
    const answer = await ask({ sku_asin: 'FK-1', days: 7 });
    assert.equal(answer.isError, undefined);
    const text = answer.content[0].text;
    for (const line of [
      'FK-1 on Flipkart: Steel Bottle\n',
      `  competitor: 6 observations, the latest ₹1149.00 on ${today}; all-time low ₹1000.00 on 1 Nov 2025\n`,
      `    last 30 days (${indiaDate(Date.now() - 29 * DAY_MS)} to ${today}, IST): lowest ₹1149.00, average ₹1224.75, highest ₹1300.00 over 4 observations\n`,
      // Fewer than three observations: their count, no statistics.
      `    last 30 days (${indiaDate(Date.now() - 29 * DAY_MS)} to ${today}, IST): 1 observation, on ${today}\n`,
      `    last days (IST): 1 Dec 2025 ₹1149.00, ${first} ₹1300.00, `,
      // Our price came in 3 days after the competitor's ₹1200: a drop of 7.62 %, once.
      `  alerts: 1, the last COMPETITOR PRICE DROP ALERT on ${today} (competitor ₹1200.00, ours ₹1299.00, -7.62%)\n`,
      '  suggested price: ₹1148.00 (₹1.00 below the competitor\'s ₹1149.00; lower from our ₹1299.00)\n',
      `  points of the last 7 days (${indiaDate(Date.now() - 6 * DAY_MS)} to ${today}, IST):\n`,
      `    competitor: 2 points: ${indiaDate(store.started - 3 * DAY_MS)} ₹1200.00, ${today} ₹1149.00\n`,
    ]) {
      assert.ok(text.includes(line), `${line}\nnot in\n${text}`);
    }
    // A threshold above that gap waits for the ₹1149, 11.55 % below.
    assert.ok((await ask({ sku_asin: 'FK-1' }, ['--alert-percent', '8'])).content[0].text.includes(
      `  alerts: 1, the last COMPETITOR PRICE DROP ALERT on ${today} (competitor ₹1149.00, ours ₹1299.00, -11.55%)\n`));
    for (const [args, words] of [[{ sku_asin: 'FK-9' }, "No price history of 'FK-9' in the store."],
      [{ sku_asin: 'FK-1', days: 0 }, /"days" must be a whole number from 1 to 3650/],
      [{ sku_asin: 'FK-1', days: '7' }, /"days" must be/], [{}, /"sku_asin" must be/]]) {
      const failed = await ask(args);
      assert.equal(failed.isError, true, JSON.stringify(args));
      assert.match(failed.content[0].text, words instanceof RegExp ? words : new RegExp(words.replace(/[.()]/g, '\\$&')));
    }
  } finally {
    store.remove();
  }
});

test('prices --history prints each match\'s summary and a text chart, at most five', async () => {
  const store = historyStore();
  try {
    const shown = await run(['prices', '-q', 'FK-1', '--history', '--data', store.data]);
    assert.equal(shown.status, 0, shown.stderr.toString());
    const out = shown.stdout.toString();
    for (const part of ["[*] Reading Price History for 'FK-1'...\n[+] Found 1 Matching SKUs:\n",
      '       competitor: 6 observations, the latest ₹1149.00', '      suggested price: ₹1148.00',
      '     ₹1300.00 |', '     ₹1149.00 |', '  o our price, x competitor, * both\n']) {
      assert.ok(out.includes(part), `${part}\nnot in\n${out}`);
    }
    const many = 'Seller SKU ID,Product Title,MRP,Your Selling Price,Your Stock Count,Listing Status\n' +
      Array.from({ length: 7 }, (_, i) => `MANY-${i},Lamp ${i},100,90,1,ACTIVE\n`).join('');
    execFileSync(process.env.QMR_BINARY, ['import', '--data', store.data, store.file('many.csv', many)]);
    const capped = (await run(['prices', '-q', 'lamp', '--history', '--data', store.data])).stdout.toString();
    assert.equal(capped.match(/-> \[MANY-/g).length, 5);
    assert.ok(capped.includes('    ... 2 more of 7 matching products not shown'), capped);
    const demo = await run(['prices', '-q', 'x', '--history']);
    assert.equal(demo.status, 1);
    assert.match(demo.stderr.toString(), /^Error: --history needs --data DIR/);
  } finally {
    store.remove();
  }
});

test('GET /api/history and /api/alerts answer from the store, and are no routes without one', async () => {
  const store = historyStore();
  const servers = [];
  try {
    const get = async (server, path) => {
      const { statusLine, body } = parseResponse((await exchange(server.port,
        `GET ${path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n`)).data);
      return { status: Number(statusLine.split(' ')[1]), body: body.toString() };
    };
    const demo = await startDashboard((port) => ['ui', '-p', String(port)]);
    servers.push(demo);
    for (const path of ['/api/history?sku_asin=FK-1', '/api/alerts']) {
      const answer = await get(demo, path);
      assert.equal(`${answer.status} ${answer.body}`, '404 Not Found', path);
    }
    for (const [threshold, alerts] of [[[], [['DROP', 1200, 1299]]], [['--alert-percent', '8'], [['DROP', 1149, 1299]]]]) {
      const server = await startDashboard((port) => ['ui', '-p', String(port), '--data', store.data, ...threshold]);
      servers.push(server);
      const listed = JSON.parse((await get(server, '/api/alerts')).body);
      assert.deepEqual(listed.alerts.map((alert) => [alert.kind, alert.competitor_price_inr, alert.our_price_inr]), alerts);
      assert.equal(listed.alert_percent, threshold.length ? 8 : 5);
      assert.match(listed.window, /^last 30 days \(.* to .*, IST\)$/);
    }
    const server = servers[1];
    const found = await get(server, '/api/history?sku_asin=FK-1&platform=Flipkart&days=7');
    assert.equal(found.status, 200);
    const [history] = JSON.parse(found.body);
    assert.equal(history.competitor.observations, 6);
    assert.deepEqual(history.competitor.points.map((point) => point.price_inr), [1200, 1149]);
    assert.equal(history.suggested_price_inr, 1148);
    assert.deepEqual(history.alerts.map((alert) => alert.kind), ['DROP']);
    for (const [path, status, error] of [['/api/history?sku_asin=FK-9', 404, "no price history of 'FK-9' in the store"],
      ['/api/history?sku_asin=FK-1&days=0', 400, 'days must be a whole number from 1 to 3650'],
      ['/api/history', 400, 'sku_asin is required: a seller SKU or ASIN'],
      ['/api/history?sku=FK-1', 400, "unknown parameter 'sku': the history takes sku_asin, platform and days"]]) {
      const answer = await get(server, path);
      assert.equal(answer.status, status, path);
      assert.deepEqual(JSON.parse(answer.body), { error }, path);
    }
  } finally {
    for (const server of servers) await server.stop();
    store.remove();
  }
});
