// The dashboard under load and faults: a long mixed soak (without and with the tool server on its
// port, its requests mixed in), thousands of idle connections, a thousand tool-server requests
// at once that all want room for a body, clients that reset, oversized requests, connection storms
// and exhausted memory. Each test checks that nothing was lost and that the next client is still
// served, or that the process ended as it must.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import net from 'node:net';
import { test } from 'node:test';

import { BINARY, EMULATED, WINDOWS } from './harness.mjs';
import { exchange, startDashboard } from './dashboard_harness.mjs';

const ui = (port) => ['ui', '-p', String(port)];
const uiMcp = (port) => ['ui', '-p', String(port), '--mcp'];
// A minute in the release build's run; the other build trees (sanitizers, emulators) run it for
// QMR_SOAK_SECONDS, the same checks on a shorter load.
const SOAK_SECONDS = Number(process.env.QMR_SOAK_SECONDS ?? 60);
const SOAK_CONNECTIONS = 64;

const REQUESTS = [
  'GET / HTTP/1.1\r\nHost: x\r\n\r\n',
  'GET /api/status HTTP/1.1\r\n\r\n',
  'GET /api/products HTTP/1.1\r\n\r\n',
  'GET /api/medicines HTTP/1.1\r\n\r\n',
  'POST /api/reprice HTTP/1.1\r\nContent-Length: 0\r\n\r\n',
];

// A tool call as a client posts it; the same for every port, which the Host header names.
const TOOL_CALL_BODY = JSON.stringify({
  jsonrpc: '2.0', id: 7, method: 'tools/call',
  params: { name: 'market_search_products', arguments: { query: 'noise' } },
});
const toolCall = (port) => `POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n` +
  'Content-Type: application/json\r\nAccept: application/json, text/event-stream\r\n' +
  `MCP-Protocol-Version: 2025-11-25\r\nContent-Length: ${TOOL_CALL_BODY.length}\r\n\r\n${TOOL_CALL_BODY}`;
// What the tool server on the port answers a call with: 200, or while it is only a stub, 501;
// either is a whole answer for the load.
const TOOL_ANSWER = /^HTTP\/1\.1 (200 OK|501 Not Implemented)\r\n/;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function residentKiB(pid) {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/VmRSS:\s+(\d+) kB/.exec(status)[1]);
}

// Opens `count` connections that send nothing, `batch` at a time; resolves once each has connected.
async function openIdle(port, count, batch = 250) {
  const sockets = [];
  for (let start = 0; start < count; start += batch) {
    const opened = [];
    for (let i = start; i < Math.min(count, start + batch); i++) {
      const socket = net.connect({ host: '127.0.0.1', port });
      socket.on('error', () => {});
      sockets.push(socket);
      opened.push(new Promise((resolve, reject) => {
        socket.once('connect', resolve);
        socket.once('close', () => reject(new Error('an idle connection was closed early')));
      }));
    }
    await Promise.all(opened);
  }
  return sockets;
}

// The bytes every request of `requests` gets from this server: the product list carries the
// process's start time, so it is read once from the server itself.
async function expectedResponses(port, requests = REQUESTS) {
  const expected = [];
  for (const request of requests) {
    const { data, error } = await exchange(port, request);
    assert.equal(error, null);
    const status = request.startsWith('POST /mcp ') ? TOOL_ANSWER : /^HTTP\/1\.1 200 OK\r\n/;
    assert.match(data.toString(), status);
    expected.push(data);
  }
  return expected;
}

for (const [what, argsFor] of [['', ui], [' with --mcp, tool calls mixed in', uiMcp]]) {
test(`${SOAK_SECONDS} s of mixed requests on 64 connections${what}: every answer whole, memory flat`, async () => {
  const server = await startDashboard(argsFor);
  try {
    const requests = argsFor === ui ? REQUESTS : [...REQUESTS, toolCall(server.port)];
    const expected = await expectedResponses(server.port, requests);
    const samples = [];
    const sampler = setInterval(() => samples.push(residentKiB(server.child.pid)), 1000);
    const deadline = Date.now() + SOAK_SECONDS * 1000;
    let answered = 0;
    const failures = [];
    const worker = async (seed) => {
      for (let i = seed; Date.now() < deadline; i++) {
        const which = i % requests.length;
        const { data, error } = await exchange(server.port, requests[which]);
        if (error !== null || !data.equals(expected[which])) {
          failures.push(`${requests[which].split('\r\n')[0]}: ${error ?? `${data.length} bytes`}`);
        } else {
          answered++;
        }
      }
    };
    await Promise.all(Array.from({ length: SOAK_CONNECTIONS }, (_, seed) => worker(seed)));
    clearInterval(sampler);

    assert.deepEqual(failures.slice(0, 5), []);
    assert.ok(answered > 10 * SOAK_SECONDS, `only ${answered} answers`);
    // The last 20 s, or the second half of a shorter soak: after the first connections' warm-up.
    const window = samples.slice(-Math.min(20, Math.ceil(samples.length / 2)));
    const growth = Math.max(...window) - window[0];
    console.log(`soak${what}: ${answered} answers in ${SOAK_SECONDS} s; resident ${samples[0]} kB ` +
      `after 1 s, ${samples.at(-1)} kB at the end; last ${window.length} s grew ${growth} kB`);
    // A sanitizer's shadow memory and quarantine grow with the work done, and an emulator's
    // translated code with each path first taken (qemu once grew 2 MB at 6 s into a 10 s soak);
    // the program's own memory is judged in the plain native build.
    if (!process.env.QMR_SANITIZER && !EMULATED) {
      assert.ok(growth < 1024, `resident memory grew ${growth} kB in the last ${window.length} s: ${window}`);
    }
    assert.equal(server.child.exitCode, null);
    assert.equal(server.stderr(), '');
  } finally {
    await server.stop();
  }
});
}

// Sends `head` and the first KiB of `body`, and the rest of it only if no answer has come within
// `waitMs`; resolves to { data, error, timedOut } once the server has closed.
function postSlowly(port, head, body, waitMs, timeoutMs) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    const chunks = [];
    let error = null;
    let timedOut = false;
    const limit = setTimeout(() => {
      timedOut = true;
      socket.destroy();
    }, timeoutMs);
    let rest = null;
    socket.on('connect', () => {
      socket.write(head + body.slice(0, 1024));
      rest = setTimeout(() => socket.write(body.slice(1024)), waitMs);
    });
    socket.on('data', (chunk) => {
      clearTimeout(rest);
      chunks.push(chunk);
    });
    socket.on('error', (failure) => (error = failure.code ?? String(failure)));
    socket.on('close', () => {
      clearTimeout(limit);
      clearTimeout(rest);
      resolve({ data: Buffer.concat(chunks), error, timedOut });
    });
  });
}

test('1,000 connections at once with --mcp, most of them wanting room for 1 MiB: all answered, memory bounded', {
  skip: EMULATED ? "an emulator's memory is not the program's" : false,
}, async () => {
  const server = await startDashboard(uiMcp, { ready: /MCP Endpoint: .*\n/ });
  try {
    const expected = await expectedResponses(server.port);
    const before = residentKiB(server.child.pid);
    let peak = before;
    const sampler = setInterval(() => (peak = Math.max(peak, residentKiB(server.child.pid))), 100);
    // A ping padded with white space to 1 MiB.
    const ping = '{"jsonrpc":"2.0","id":1,"method":"ping"}';
    const body = ping + ' '.repeat((1 << 20) - ping.length);
    const head = `POST /mcp HTTP/1.1\r\nHost: localhost:${server.port}\r\nContent-Type: application/json\r\n` +
      `Content-Length: ${body.length}\r\n\r\n`;
    const clients = Array.from({ length: 1000 }, (_, i) => (i % 4 === 0
      ? exchange(server.port, REQUESTS[2], { timeoutMs: 30000 }).then((answer) => ({ ...answer, page: true }))
      : postSlowly(server.port, head, body, 1000, 30000)));
    const answers = await Promise.all(clients);
    clearInterval(sampler);
    const counts = { page: 0, tool: 0, busy: 0, other: [] };
    for (const { data, timedOut, page } of answers) {
      const text = data.toString();
      if (page && data.equals(expected[2])) counts.page++;
      else if (!page && TOOL_ANSWER.test(text)) counts.tool++;
      else if (!page && text.startsWith('HTTP/1.1 503 Service Unavailable\r\n')) counts.busy++;
      else counts.other.push(timedOut ? 'timed out' : `${data.length} bytes: ${text.slice(0, 40)}`);
    }
    console.log(`1,000 connections with --mcp: ${counts.page} pages, ${counts.tool} tool answers, ` +
      `${counts.busy} busy; resident ${before} kB before, peak ${peak} kB`);
    assert.deepEqual(counts.other.slice(0, 5), []);
    assert.equal(counts.page, 250);
    assert.ok(counts.tool > 0 && counts.busy > 0, JSON.stringify(counts));
    // Bodies are held within a budget of 16 MiB a loop, heads within 8 KiB a connection.
    if (!process.env.QMR_SANITIZER) {
      assert.ok(peak - before < 48 * 1024, `resident memory grew ${peak - before} kB`);
    }
    const { data } = await exchange(server.port, toolCall(server.port));
    assert.match(data.toString(), TOOL_ANSWER);
    assert.equal(server.stderr(), '');
  } finally {
    await server.stop();
  }
});

test('2,000 idle connections do not keep another client from the page', {
  // Wine keeps every pending socket read in its own server process, not in a kernel: with 2,000
  // of them the page took 2 to 3 s under Wine on a loaded machine.
  skip: WINDOWS ? 'Wine: pending socket reads go through its server process' : false,
}, async () => {
  const server = await startDashboard(ui);
  let idle = [];
  try {
    idle = await openIdle(server.port, 2000);
    const started = performance.now();
    const { data, error } = await exchange(server.port, 'GET / HTTP/1.1\r\n\r\n');
    const elapsed = performance.now() - started;
    assert.equal(error, null);
    assert.ok(data.toString().startsWith('HTTP/1.1 200 OK\r\n'));
    assert.ok(elapsed < 1000, `the page took ${elapsed} ms`);
    // Every idle connection is still open: none was dropped to make room.
    assert.ok(idle.every((socket) => !socket.destroyed && socket.readyState === 'open'));
  } finally {
    for (const socket of idle) socket.destroy();
    await server.stop();
  }
});

test('clients that reset, oversized requests and connection storms leave the server serving', async () => {
  const server = await startDashboard(ui);
  try {
    const expected = await expectedResponses(server.port);
    const stillServes = async (what) => {
      const { data, error } = await exchange(server.port, REQUESTS[2]);
      assert.equal(error, null, what);
      assert.ok(data.equals(expected[2]), what);
      assert.equal(server.child.exitCode, null, what);
    };

    // Clients that reset the connection while the response is on its way.
    await Promise.all(Array.from({ length: 300 }, (_, i) => new Promise((resolve) => {
      const socket = net.connect({ host: '127.0.0.1', port: server.port });
      socket.on('error', () => {});
      socket.on('connect', () => {
        socket.write(REQUESTS[i % REQUESTS.length]);
        if (i % 2) socket.resetAndDestroy();
        else setImmediate(() => socket.resetAndDestroy());
      });
      socket.on('close', resolve);
    })));
    await stillServes('after resets');

    // A request of 1 MiB: judged by its first read and answered. The server drops at most 64 KiB
    // of the rest before it closes, so the close resets the connection; whether the client has
    // read the answer by then is the client's affair, but nothing else may arrive.
    const big = Buffer.alloc(1 << 20, 'a');
    Buffer.from('GET /api/status HTTP/1.1\r\nX-Filler: ').copy(big);
    const { data } = await exchange(server.port, big, { timeoutMs: 20000 });
    assert.ok(expected[1].subarray(0, data.length).equals(data), `${data.length} bytes: ${data.subarray(0, 40)}`);
    await stillServes('after a 1 MiB request');

    // 10,000 connections that connect and close at once.
    for (let batch = 0; batch < 20; batch++) {
      await Promise.all(Array.from({ length: 500 }, () => new Promise((resolve) => {
        const socket = net.connect({ host: '127.0.0.1', port: server.port });
        socket.on('error', resolve);
        socket.on('connect', () => socket.end());
        socket.on('close', resolve);
      })));
    }
    await stillServes('after 10,000 connect-and-close clients');
    assert.equal(server.stderr(), '');
  } finally {
    await server.stop();
  }
});

// The address space of a dashboard just started with `env`, in KiB.
async function startupSize(env) {
  const server = await startDashboard(ui, { env });
  try {
    const status = readFileSync(`/proc/${server.child.pid}/status`, 'utf8');
    return Number(/VmSize:\s+(\d+) kB/.exec(status)[1]);
  } finally {
    await server.stop();
  }
}

// Opens `count` connections at once, every other one sending a request and the rest silent, and
// resolves once each has ended or has been given up after `holdMs`.
function wave(port, count, holdMs) {
  return Promise.all(Array.from({ length: count }, (_, i) => new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    const timer = setTimeout(() => socket.destroy(), holdMs);
    socket.on('error', () => {});
    socket.on('connect', () => {
      if (i % 2 === 0) socket.write(REQUESTS[0]);
    });
    socket.on('close', () => {
      clearTimeout(timer);
      resolve();
    });
  })));
}

// With an address-space limit a few MiB above its start-up size, a wave of connections runs the
// server out of memory. Afterwards it either still answers, having used its address space up to
// the limit, or it has ended naming the limit: never by a signal, never with another message, and
// never alive without its listener. A sanitizer's shadow memory takes terabytes of address space,
// so the limit cannot apply to such a build.
test('out of memory under a wave of connections: still serving, or ended with a message', {
  skip: process.env.QMR_SANITIZER ? 'an address-space limit does not suit a sanitizer build'
    : EMULATED ? "an emulator's address space is not the program's" : false,
}, async () => {
  const outcomes = [];
  const variants = [
    ['one arena', { GLIBC_TUNABLES: 'glibc.malloc.arena_max=1' }],
    ['default arenas', {}],
  ];
  for (const [arenas, env] of variants) {
    const limitKiB = (await startupSize(env)) + 8 * 1024;
    const server = await startDashboard(ui, {
      env,
      command: ['bash', '-c', `ulimit -v ${limitKiB} && exec "$0" "$@"`, BINARY],
    });
    try {
      const ended = new Promise((resolve) => {
        server.child.on('exit', (status, signal) => resolve({ status, signal }));
      });
      const running = () => server.child.exitCode === null && server.child.signalCode === null;
      await wave(server.port, 4000, 3000);
      // A server that pauses its accepts, or one that is ending, is given a moment.
      let serving = false;
      for (let attempt = 0; attempt < 8 && !serving && running(); attempt++) {
        const { data } = await exchange(server.port, REQUESTS[1], { timeoutMs: 1000 })
          .catch(() => ({ data: Buffer.alloc(0) }));
        serving = data.subarray(0, 17).toString() === 'HTTP/1.1 200 OK\r\n';
        if (!serving) await sleep(250);
      }
      if (serving) {
        const peakKiB = Number(/VmPeak:\s+(\d+) kB/.exec(
          readFileSync(`/proc/${server.child.pid}/status`, 'utf8'))[1]);
        outcomes.push(`${arenas}: still serving, peak ${peakKiB} of ${limitKiB} KiB`);
        assert.ok(peakKiB > limitKiB - 1024, `${arenas}: memory never ran out: ${outcomes}`);
        continue;
      }
      const { status, signal } = await Promise.race([
        ended,
        sleep(5000).then(() => ({ status: 'alive', signal: null })),
      ]);
      const stderr = server.stderr();
      outcomes.push(`${arenas}: ended with status ${status}, signal ${signal}, ${JSON.stringify(stderr)}`);
      assert.ok((status === 70 && stderr === 'memory allocation failed\n') ||
        (status === 1 && stderr === 'Error: Cannot allocate memory\n'), outcomes.at(-1));
    } finally {
      await server.stop();
    }
  }
  console.log(`out of memory: ${outcomes.join('; ')}`);
});
