// Runs the dashboard server of the built program on a free loopback port and talks to it over
// raw sockets, for the process and browser tests.
import { spawn } from 'node:child_process';
import net from 'node:net';

import { BINARY, envWith } from './harness.mjs';

// The four lines the dashboard prints once its port is bound, without colour.
export function startupLines(port) {
  return [
    `[+] Quillon Market Intelligence Web HUD live at http://127.0.0.1:${port}`,
    '    - Monopolies Slain: Keepa ($299/mo) + Helium10 + Fakespot + Prisync',
    '    - Active Sentinel: Price Tracker, Review Defect Miner & Jan Aushadhi Arbitrage',
    '    - Memory Footprint: ~11.2 MB RAM (100% On-Device, Air-Gapped)',
  ].map((line) => line + '\n').join('');
}

// Resolves to a loopback port that was free a moment ago.
export function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.on('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// Resolves to true when nothing listens on 127.0.0.1:`port`.
export function portIsFree(port) {
  return new Promise((resolve) => {
    const probe = net.createServer();
    probe.on('error', () => resolve(false));
    probe.listen(port, '127.0.0.1', () => probe.close(() => resolve(true)));
  });
}

// Starts the program with the arguments `argsFor(port)` on a free port and resolves once its last
// start-up line has arrived. Another process may take the port between the probe and the bind;
// then the run ends with "Address already in use" and the next free port is tried.
// `command` replaces the program itself, e.g. with a shell that lowers a limit first; `ready` is
// the pattern of the start-up output that says it serves.
// Resolves to { child, port, stdout() (text so far), stop() }.
export async function startDashboard(argsFor, {
  env = {}, command = null, port = null, ready = /Memory Footprint: [^\n]*\n/,
} = {}) {
  for (let attempt = 0; attempt < 5; attempt++) {
    const chosen = port ?? (await freePort());
    const [file, ...prefix] = command ?? [BINARY];
    const child = spawn(file, [...prefix, ...argsFor(chosen)], {
      env: envWith(env),
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let stdout = '';
    let stderr = '';
    child.stdout.setEncoding('utf8');
    child.stderr.setEncoding('utf8');
    child.stdout.on('data', (chunk) => (stdout += chunk));
    child.stderr.on('data', (chunk) => (stderr += chunk));
    const closed = new Promise((resolve) => child.on('close', (status) => resolve(status)));

    const started = await new Promise((resolve) => {
      const timer = setTimeout(() => resolve(false), 10000);
      const check = () => {
        if (ready.test(stdout)) {
          clearTimeout(timer);
          resolve(true);
        }
      };
      child.stdout.on('data', check);
      closed.then(() => {
        clearTimeout(timer);
        resolve(false);
      });
    });
    if (started) {
      return {
        child,
        port: chosen,
        stdout: () => stdout,
        stderr: () => stderr,
        // Ends the server (it has no stop command; like Ctrl+C, a signal ends it).
        stop: async () => {
          if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
          await closed;
        },
      };
    }
    if (child.exitCode === null) child.kill('SIGKILL');
    await closed;
    if (port !== null || !stderr.includes('Address already in use')) {
      throw new Error(`the dashboard did not start: ${stderr}${stdout}`);
    }
  }
  throw new Error('no free port found for the dashboard');
}

// The dashboard with the tool server on its port (`--mcp`), for the suites that reach it by URL;
// resolves to { url, stop() }.
export async function startMcpEndpoint() {
  const { port, stop } = await startDashboard((chosen) => ['ui', '-p', String(chosen), '--mcp']);
  return { url: `http://127.0.0.1:${port}/mcp`, stop };
}

// Connects to the dashboard, writes `request` (a string or Buffer) without ending the stream and
// resolves to { data (Buffer), error (code or null) } once the server has closed the connection.
export function exchange(port, request, { timeoutMs = 10000 } = {}) {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    const chunks = [];
    let error = null;
    const timer = setTimeout(() => {
      socket.destroy();
      reject(new Error(`no end of the connection within ${timeoutMs} ms`));
    }, timeoutMs);
    socket.on('connect', () => socket.write(request));
    socket.on('data', (chunk) => chunks.push(chunk));
    socket.on('error', (failure) => (error = failure.code ?? String(failure)));
    socket.on('close', () => {
      clearTimeout(timer);
      resolve({ data: Buffer.concat(chunks), error });
    });
  });
}

// Splits a framed response into its head lines and its body (a Buffer).
export function parseResponse(data) {
  const end = data.indexOf('\r\n\r\n');
  if (end < 0) throw new Error(`no end of the head in ${JSON.stringify(data.toString())}`);
  const lines = data.subarray(0, end).toString().split('\r\n');
  return { statusLine: lines[0], headers: lines.slice(1), body: data.subarray(end + 4) };
}

// Returns the framed response the dashboard writes for a status, a content type and a body.
export function framed(status, contentType, body) {
  const bytes = Buffer.from(body);
  return Buffer.concat([
    Buffer.from(
      `HTTP/1.1 ${status}\r\nContent-Type: ${contentType}\r\nContent-Length: ${bytes.length}\r\n` +
        'Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n',
    ),
    bytes,
  ]);
}
