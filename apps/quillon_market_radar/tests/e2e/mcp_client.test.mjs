// The tool server driven by the official MCP TypeScript clients over stdio, the SDK's and the
// newer split client package's: the handshake, the catalogue, each tool with the records it
// returns, ping and an unknown tool, with not one error reported by the client.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Client as SplitClient } from '@modelcontextprotocol/client';
import { StdioClientTransport as SplitStdioClientTransport } from '@modelcontextprotocol/client/stdio';
import { Client as SdkClient } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport as SdkStdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const BINARY = process.env.QMR_BINARY;
if (!BINARY) throw new Error('QMR_BINARY must name the built quillon_market_radar');

const CLIENTS = [
  ['@modelcontextprotocol/sdk', SdkClient, SdkStdioClientTransport],
  ['@modelcontextprotocol/client', SplitClient, SplitStdioClientTransport],
];

for (const [pkg, Client, StdioClientTransport] of CLIENTS) {
  test(`${pkg}: connects, lists the three tools, calls each, pings, with no client error`, async (t) => {
    const transport = new StdioClientTransport({ command: BINARY, args: ['mcp'], stderr: 'pipe' });
    const stderr = [];
    transport.stderr.on('data', (chunk) => stderr.push(chunk));
    const client = new Client({ name: 'quillon-e2e', version: '1.0.0' });
    const clientErrors = [];
    client.onerror = (error) => clientErrors.push(error);

    await client.connect(transport);
    try {
      assert.deepEqual(client.getServerVersion(), { name: 'quillon_market_radar', version: '1.0.0' });
      assert.deepEqual(client.getServerCapabilities(), { tools: {} });

      const { tools } = await client.listTools();
      assert.deepEqual(tools.map((tool) => tool.name),
        ['market_search_products', 'market_review_defects', 'market_jan_aushadhi']);
      assert.equal(tools[0].description,
        'Search competitor prices across Amazon and Flipkart with sub-0.1ms latency.');
      assert.deepEqual(tools[0].inputSchema, { type: 'object', properties: { query: { type: 'string' } } });
      assert.deepEqual(tools[1].inputSchema, { type: 'object' });
      assert.deepEqual(tools[2].inputSchema, { type: 'object' });

      // Returns the one text item of a tool result, checking the result carries nothing else.
      const callText = async (name, args) => {
        const result = await client.callTool({ name, arguments: args });
        assert.deepEqual(Object.keys(result), ['content']);
        assert.equal(result.content.length, 1);
        assert.equal(result.content[0].type, 'text');
        return result.content[0].text;
      };

      const noiseText = await callText('market_search_products', { query: 'NOISE' });
      assert.ok(noiseText.startsWith('[{"competitor_price_inr":1149.0,"current_price_inr":1299.0,'), noiseText);
      const [noise, ...others] = JSON.parse(noiseText);
      assert.equal(others.length, 0);
      assert.match(noise.last_checked_utc, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00$/);
      assert.deepEqual({ ...noise, last_checked_utc: undefined }, {
        competitor_price_inr: 1149, current_price_inr: 1299, last_checked_utc: undefined,
        original_price_inr: 1999, platform: 'Amazon.in', price_delta_percent: -11.54,
        sku_asin: 'B09G9FPHY6', stock_status: 'IN_STOCK', title: 'Noise ColorFit Pulse Grand Smart Watch',
      });
      const everything = JSON.parse(await callText('market_search_products', {}));
      assert.deepEqual(everything.map((p) => p.sku_asin), ['B09G9FPHY6', 'SKU-BOAT-AIRDOPES-141']);
      assert.equal(await callText('market_search_products', { query: 'iphone' }), '[]');

      assert.equal(await callText('market_review_defects', { asin: 'ANY' }),
        '[{"fake_review_ratio_percent":28.4,"manufacturer_defect_score":8.6,"product_asin":"B09G9FPHY6",' +
        '"top_defects":["Display flickering after 30 days (14.2%)","Charging dock magnetic pin loose (9.8%)",' +
        '"Inaccurate step counter algorithm (7.1%)"],"total_reviews_analyzed":4200}]');
      assert.equal(await callText('market_jan_aushadhi', {}),
        '[{"branded_medicine_name":"Augmentin 625 Duo Tablet","branded_price_inr":204.0,' +
        '"jan_aushadhi_generic_name":"Amoxycillin & Potassium Clavulanate Tablets IP 625mg",' +
        '"jan_aushadhi_price_inr":58.0,"salt_composition":"Amoxycillin (500mg) + Clavulanic Acid (125mg)",' +
        '"savings_percent":71.57}]');

      assert.equal(await callText('market_unknown', { query: 'x' }), '{"error":"Tool \'market_unknown\' not found"}');
      assert.deepEqual(await client.ping(), {});
    } finally {
      await client.close();
    }

    // The server answers no notification, so every line it writes is a valid response.
    t.diagnostic(`${pkg}: onerror called ${clientErrors.length} time(s)`);
    assert.deepEqual(clientErrors.map((error) => error.message), []);
    assert.equal(Buffer.concat(stderr).length, 0);
  });
}
