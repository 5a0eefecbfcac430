// The dashboard and the tool server on its port, as a process: without --mcp every answer is the
// dashboard's as it always was (the golden transcript golden/dashboard.in/.out, one JSON string
// per line: a request, and the bytes it is answered with); with it, the requests of the table
// tool_path.json get their statuses from the program itself, and a token file that is shared,
// not a regular file, empty or missing stops the start.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { once } from 'node:events';
import { chmodSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';

import { exchange, parseResponse, startDashboard, startupLines } from './dashboard_harness.mjs';
import { banner, run, skipOnWindows } from './harness.mjs';

const golden = (suffix) => readFileSync(new URL(`golden/dashboard.${suffix}`, import.meta.url), 'utf8')
  .trimEnd().split('\n').map((line) => JSON.parse(line));

// The product list carries the process's start time: its times, and so its length, are masked.
const masked = (text) => (text.includes('"last_checked_utc"')
  ? text.replace(/"last_checked_utc":"[^"]*"/g, '"last_checked_utc":"*"')
    .replace(/\r\nContent-Length: \d+\r\n/, '\r\nContent-Length: *\r\n')
  : text);

test('without --mcp the dashboard answers its golden transcript byte for byte', async () => {
  const requests = golden('in');
  const answers = golden('out');
  assert.equal(requests.length, answers.length);
  const server = await startDashboard((port) => ['ui', '-p', String(port)]);
  try {
    for (const [i, request] of requests.entries()) {
      const { data, error } = await exchange(server.port, request);
      assert.equal(error, null, request);
      assert.equal(masked(data.toString('utf8')), answers[i], request);
    }
    assert.equal(server.stdout(), banner(false) + startupLines(server.port));
  } finally {
    await server.stop();
  }
});

const TABLE = JSON.parse(readFileSync(new URL('../tool_path.json', import.meta.url), 'utf8')).cases;
const TOKEN = 'K7q+/x=';
const FIFO = Symbol('a FIFO');
const endpointLine = (port) => `    - MCP Endpoint: http://127.0.0.1:${port}/mcp\n`;

// A folder of its own for token files, removed after `body`.
async function withFolder(body) {
  const folder = mkdtempSync(join(tmpdir(), 'qmr-token-'));
  try {
    await body(folder);
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
}

// Writes a token file only its owner may read; returns its path.
function tokenFile(folder, text, mode = 0o600) {
  const path = join(folder, 'token');
  writeFileSync(path, text);
  chmodSync(path, mode);
  return path;
}

test('with --mcp the table of requests gets its statuses from the program', async () => {
  await withFolder(async (folder) => {
    const token = tokenFile(folder, `${TOKEN}\n`);
    const server = await startDashboard((port) => ['ui', '-p', String(port), '--mcp',
      '--mcp-allow-origin', 'http://localhost:6274', '--mcp-token-file', token], { ready: /MCP Endpoint: .*\n/ });
    try {
      assert.equal(server.stdout(), banner(false) + startupLines(server.port) + endpointLine(server.port));
      for (const { what, request, status, lines } of TABLE) {
        const bytes = request.replaceAll('{port}', String(server.port)).replaceAll('{token}', TOKEN);
        const { data, error } = await exchange(server.port, bytes);
        assert.equal(error, null, what);
        const { statusLine, headers, body } = parseResponse(data);
        for (const line of lines.map((text) => text.replaceAll('{port}', String(server.port)))) {
          assert.ok(headers.includes(line), `${what}: ${line} in ${headers}`);
        }
        assert.ok(!headers.some((line) => line.startsWith('Access-Control-Allow-Origin: *')), what);
        if (status === null) {
          // The tool server's own answer, whatever its status: one JSON-RPC object.
          assert.ok(!/^HTTP\/1\.1 (40[1356]|41[15]) /.test(statusLine), `${what}: ${statusLine}`);
          assert.equal(JSON.parse(body.toString()).jsonrpc, '2.0', what);
        } else {
          assert.match(statusLine, new RegExp(`^HTTP/1\\.1 ${status} `), what);
          if (status !== 204) assert.equal(JSON.parse(body.toString()).error.code, -32600, what);
        }
      }
      // A body of exactly 1 MiB reaches the tool server.
      const body = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'x', params: { pad: 'p'.repeat((1 << 20) - 60) } });
      const padded = body + ' '.repeat((1 << 20) - body.length);
      const { data } = await exchange(server.port, `POST /mcp HTTP/1.1\r\nHost: localhost:${server.port}\r\n` +
        `Content-Type: application/json\r\nAuthorization: Bearer ${TOKEN}\r\nContent-Length: ${padded.length}\r\n\r\n${padded}`);
      assert.equal(JSON.parse(parseResponse(data).body.toString()).jsonrpc, '2.0');
      assert.equal(server.stderr(), '');
    } finally {
      await server.stop();
    }
  });
});

test('-p 0 --mcp names the port the system gave in the endpoint line', async () => {
  const server = await startDashboard(() => ['daemon', '-p', '0', '--mcp'], { port: 0, ready: /MCP Endpoint: .*\n/ });
  try {
    const port = Number(/MCP Endpoint: http:\/\/127\.0\.0\.1:(\d+)\/mcp\n/.exec(server.stdout())[1]);
    assert.ok(port > 0);
    assert.ok(server.stdout().endsWith(startupLines(0) + endpointLine(port)));
    const { data } = await exchange(port, `GET /mcp HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n\r\n`);
    assert.equal(parseResponse(data).statusLine, 'HTTP/1.1 405 Method Not Allowed');
    // HEAD gets GET's answer without its content.
    const head = await exchange(port, `HEAD /mcp HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n\r\n`);
    const text = data.toString();
    assert.equal(head.data.toString(), text.slice(0, text.indexOf('\r\n\r\n') + 4));
  } finally {
    await server.stop();
  }
});

test('a client that expects 100-continue gets it before it sends the body, then the response', async () => {
  const server = await startDashboard((port) => ['ui', '-p', String(port), '--mcp'], { ready: /MCP Endpoint: .*\n/ });
  try {
    const body = '{"jsonrpc":"2.0","id":1,"method":"ping"}';
    const request = http.request({ port: server.port, path: '/mcp', method: 'POST', timeout: 5000,
      headers: { 'Content-Type': 'application/json', 'Content-Length': body.length, Expect: '100-continue' } });
    request.on('timeout', () => request.destroy(new Error('no 100 Continue within 5 s')));
    request.on('continue', () => request.end(body));
    const [response] = await once(request, 'response');
    let text = '';
    for await (const chunk of response) text += chunk;
    assert.equal(text, '{"id":1,"jsonrpc":"2.0","result":{}}');
  } finally {
    await server.stop();
  }
});

test('a token file that others may read or write, is not a file, is empty or is missing stops the start', async () => {
  await withFolder(async (folder) => {
    const cases = [
      ['', 0o600, (path) => `${path} is empty: it must hold the token`],
      ['\r\n', 0o600, (path) => `${path} is empty: it must hold the token`],
      ['two words\n', 0o600, (path) => `${path} holds a byte other than visible ASCII: the token must fit in a header`],
      [null, 0o600, (path) => `cannot read ${path}: No such file or directory`],
    ];
    if (!skipOnWindows('')) {
      cases.push([TOKEN, 0o640, (path) => `${path} is readable by other users (mode 0640): chmod 600 ${path}`]);
      cases.push([TOKEN, 0o604, (path) => `${path} is readable by other users (mode 0604): chmod 600 ${path}`]);
      for (const mode of [0o602, 0o622, 0o620]) {
        const octal = `0${mode.toString(8)}`;
        cases.push([TOKEN, mode, (path) => `${path} is writable by other users (mode ${octal}): chmod 600 ${path}`]);
      }
      // A FIFO would keep the start waiting for a writer.
      cases.push([FIFO, 0o600, (path) => `${path} is not a regular file`]);
    }
    for (const [text, mode, message] of cases) {
      let path = join(folder, 'missing');
      if (text === FIFO) {
        path = join(folder, 'fifo');
        execFileSync('mkfifo', ['-m', '600', path]);
      } else if (text !== null) {
        path = tokenFile(folder, text, mode);
      }
      for (const command of ['ui', 'daemon']) {
        const { status, stdout, stderr } = await run([command, '-p', '0', '--mcp', '--mcp-token-file', path],
          { timeoutMs: 5000 });
        assert.equal(status, 1, `${command} ${message(path)}`);
        assert.ok(!stdout.toString().includes('live at'), stdout.toString());
        if (text === null && skipOnWindows('')) {
          assert.match(stderr.toString(), /^Error: --mcp-token-file: cannot read .*\n$/);
        } else {
          assert.equal(stderr.toString(), `Error: --mcp-token-file: ${message(path)}\n`);
        }
      }
    }
  });
});
