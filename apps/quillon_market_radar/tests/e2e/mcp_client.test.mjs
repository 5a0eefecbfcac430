// The tool server driven by the official MCP TypeScript clients over stdio: the SDK's 1.x client,
// and the split 2.x client in each of its version negotiation modes. For each: the revision it
// ends up speaking, the catalogue, each tool with the records it returns, a search with a query
// that is no string, an unknown tool, ping where the revision has one, and not one error reported
// by the client nor a byte on the server's stderr. What each revision answers is in
// ../revisions.json.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Client as SplitClient } from '@modelcontextprotocol/client';
import { StdioClientTransport as SplitStdioClientTransport } from '@modelcontextprotocol/client/stdio';
import { Client as SdkClient } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport as SdkStdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

import { REVISIONS } from '../revisions.mjs';

const BINARY = process.env.QMR_BINARY;
if (!BINARY) throw new Error('QMR_BINARY must name the built quillon_market_radar');

const sdk = { Client: SdkClient, Transport: SdkStdioClientTransport };
const split = { Client: SplitClient, Transport: SplitStdioClientTransport };
// Each client and mode, which settles on the revision that lists it: the 1.x client and the 2.x
// legacy mode ask for the newest handshake revision in `initialize`; the probing modes find the
// per-request one through server/discover.
const CLIENTS = [
  { label: '@modelcontextprotocol/sdk 1.x', ...sdk, options: {} },
  { label: "@modelcontextprotocol/client 2.x 'legacy'", ...split, options: { versionNegotiation: { mode: 'legacy' } } },
  { label: "@modelcontextprotocol/client 2.x 'auto'", ...split, options: { versionNegotiation: { mode: 'auto' } } },
  { label: "@modelcontextprotocol/client 2.x { pin: '2026-07-28' }", ...split,
    options: { versionNegotiation: { mode: { pin: '2026-07-28' } } } },
].map((client) => ({ ...client, expected: REVISIONS.find(({ clients }) => clients.includes(client.label)) }));

const TOOLS = ['market_search_products', 'market_review_defects', 'market_jan_aushadhi'];

// Records every message the transport hands to the client, whoever installs the handler.
function recordIncoming(transport) {
  const received = [];
  let handler;
  Object.defineProperty(transport, 'onmessage', {
    get: () => handler && ((message, ...rest) => {
      received.push(message);
      return handler(message, ...rest);
    }),
    set: (value) => { handler = value; },
  });
  return received;
}

for (const { label, Client, Transport, options, expected } of CLIENTS) {
  test(`${label}: speaks ${expected?.name}, lists and calls every tool, refuses an unknown one`, async (t) => {
    assert.ok(expected, `${label} is a client of no revision in revisions.json`);
    const transport = new Transport({ command: BINARY, args: ['mcp'], stderr: 'pipe' });
    const stderr = [];
    transport.stderr.on('data', (chunk) => stderr.push(chunk));
    const received = recordIncoming(transport);
    const client = new Client({ name: 'quillon-e2e', version: '1.0.0' }, options);
    const clientErrors = [];
    client.onerror = (error) => clientErrors.push(error);

    await client.connect(transport);
    try {
      // The 1.x client keeps the negotiated revision to itself: read it from the handshake answer.
      const negotiated = client.getNegotiatedProtocolVersion?.() ??
        received.find((message) => message.result?.protocolVersion)?.result.protocolVersion;
      t.diagnostic(`${label}: negotiated ${negotiated}`);
      assert.equal(negotiated, expected.name);
      assert.deepEqual(client.getServerVersion(), { name: 'quillon_market_radar', version: '1.0.0' });
      assert.deepEqual(client.getServerCapabilities(), { tools: {} });

      const { tools } = await client.listTools();
      assert.deepEqual(tools.map((tool) => tool.name), TOOLS);
      for (const tool of tools) {
        assert.equal(tool.inputSchema.type, 'object', tool.name);
        if (!expected.toolsTitled) continue;
        assert.equal(typeof tool.inputSchema.properties, 'object', tool.name);
        assert.equal(typeof tool.title, 'string', tool.name);
        assert.equal(tool.annotations.readOnlyHint, true, tool.name);
      }

      // Returns the records of a tool's one text item, checking the call did not fail.
      const call = async (name, args) => {
        const result = await client.callTool({ name, arguments: args });
        assert.notEqual(result.isError, true, name);
        assert.equal(result.content.length, 1);
        assert.equal(result.content[0].type, 'text');
        return JSON.parse(result.content[0].text);
      };
      const [noise, ...others] = await call('market_search_products', { query: 'NOISE' });
      assert.equal(others.length, 0);
      assert.equal(noise.sku_asin, 'B09G9FPHY6');
      assert.equal(noise.competitor_price_inr, 1149);
      assert.match(noise.last_checked_utc, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00$/);
      assert.deepEqual((await call('market_search_products', {})).map((p) => p.sku_asin),
        ['B09G9FPHY6', 'SKU-BOAT-AIRDOPES-141']);
      assert.deepEqual(await call('market_search_products', { query: 'iphone' }), []);
      assert.deepEqual((await call('market_review_defects', { asin: 'ANY' })).map((r) => r.product_asin),
        ['B09G9FPHY6']);
      assert.deepEqual((await call('market_jan_aushadhi', {})).map((m) => m.savings_percent), [71.57]);

      // A query that is no string is the model's mistake to correct, not a protocol error.
      const invalid = await client.callTool({ name: TOOLS[0], arguments: { query: 42 } });
      assert.equal(invalid.isError, true);
      assert.match(invalid.content[0].text, /"query" must be a string/);

      // An unknown tool is a protocol error, surfaced as a rejected call with its code.
      await assert.rejects(client.callTool({ name: 'market_unknown', arguments: { query: 'x' } }),
        (error) => error.code === expected.unknownTool && /Unknown tool: market_unknown/.test(error.message));

      if (expected.ping) assert.deepEqual(await client.ping(), {});
    } finally {
      await client.close();
    }

    t.diagnostic(`${label}: onerror called ${clientErrors.length} time(s)`);
    assert.deepEqual(clientErrors.map((error) => error.message), []);
    assert.equal(Buffer.concat(stderr).toString(), '');
  });
}
