// The store served while it is written: imports into the data folder while the dashboard, with the
// tool server on its port, answers a thousand connections and a tool server over standard input
// answers calls. Every answer comes from one import or the next, never from half of one; a finished
// import is seen without a restart; nothing fails.
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import { linesOf, run, start } from './harness.mjs';
import { exchange, parseResponse, startDashboard } from './dashboard_harness.mjs';

const LISTINGS = 20000;
const ROUNDS = 3;
const CONNECTIONS = 1000;

// An Amazon listings report in which every listing costs `rupees`, written in reverse order so
// that a half-written import would show in the first rows.
function report(rupees) {
  const lines = ['item-name\tseller-sku\tprice\tquantity\tasin1'];
  for (let i = LISTINGS - 1; i >= 0; i--) {
    lines.push(`Gadget ${i}\tSKU-${i}\t${rupees}.00\t9\tB0${String(i).padStart(8, '0')}`);
  }
  return lines.join('\n') + '\n';
}

// The set of our prices in a product list's JSON text.
const pricesIn = (text) => new Set([...text.matchAll(/"current_price_inr":([0-9.]+)/g)].map((m) => m[1]));

const PRODUCTS = 'GET /api/products?limit=50 HTTP/1.1\r\nHost: x\r\n\r\n';

async function productPrices(port) {
  const { data, error } = await exchange(port, PRODUCTS);
  assert.equal(error, null);
  const { statusLine, body } = parseResponse(data);
  assert.equal(statusLine, 'HTTP/1.1 200 OK');
  return pricesIn(body.toString());
}

test('imports while the dashboard and a tool server answer: every answer is one whole import', async (context) => {
  const folder = mkdtempSync(path.join(tmpdir(), 'qmr-live-'));
  try {
    const file = (round) => path.join(folder, `listings-${round}.txt`);
    for (let round = 0; round <= ROUNDS; round++) writeFileSync(file(round), report(100 + round));
    const first = await run(['import', '--data', folder, file(0)]);
    assert.equal(first.status, 0, first.stderr.toString());

    const dashboard = await startDashboard((port) => ['ui', '-p', String(port), '--mcp', '--data', folder]);
    const tools = start(['mcp', '--data', folder], { timeoutMs: 120000 });
    const toolLines = linesOf(tools.child.stdout);
    let id = 0;
    const call = async () => {
      const request = { jsonrpc: '2.0', id: ++id, method: 'tools/call',
        params: { name: 'market_search_products', arguments: { query: 'gadget' } } };
      tools.child.stdin.write(JSON.stringify(request) + '\n');
      const { value } = await toolLines.next();
      const answer = JSON.parse(value);
      assert.equal(answer.id, id);
      assert.equal(answer.result.isError ?? false, false, JSON.stringify(answer));
      return pricesIn(answer.result.content[0].text);
    };
    try {
      await call();  // the tool server has opened the store
      for (let round = 1; round <= ROUNDS; round++) {
        const before = String(100 + round - 1);
        const after = String(100 + round);
        const importing = run(['import', '--data', folder, file(round)], { timeoutMs: 120000 });
        // Batches of connections and tool calls until the import has ended and a thousand were
        // answered (at most 200 batches).
        let ended = false;
        importing.then(() => { ended = true; }, () => { ended = true; });
        const answers = [];
        const toolAnswers = [];
        for (let batch = 0; batch < 200 && (!ended || answers.length < CONNECTIONS); batch++) {
          answers.push(...await Promise.all(Array.from({ length: 100 }, () => productPrices(dashboard.port))));
          toolAnswers.push(await call());
        }
        const imported = await importing;
        assert.equal(imported.status, 0, imported.stderr.toString());
        const counts = { [`${before}.0`]: 0, [`${after}.0`]: 0 };
        for (const prices of [...answers, ...toolAnswers]) {
          assert.equal(prices.size, 1, `one answer mixed prices ${[...prices]}`);
          assert.ok([...prices][0] in counts, [...prices][0]);
          counts[[...prices][0]]++;
        }
        context.diagnostic(`round ${round}: answers of the import before ${counts[`${before}.0`]}, of this one ${counts[`${after}.0`]}`);
        // The finished import shows without a restart, in both servers, each of which watches the
        // store on its own (within 5 s here, whatever the load of the machine).
        for (const answer of [() => productPrices(dashboard.port), call]) {
          const deadline = Date.now() + 5000;
          let seen = await answer();
          while (!seen.has(`${after}.0`) && Date.now() < deadline) {
            await new Promise((resolve) => setTimeout(resolve, 50));
            seen = await answer();
          }
          assert.deepEqual([...seen], [`${after}.0`]);
        }
      }
    } finally {
      tools.child.stdin.end();
      await tools.exited;
      await dashboard.stop();
    }
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
});
