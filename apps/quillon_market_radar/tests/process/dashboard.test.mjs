// The dashboard of the built program over real loopback sockets: framing byte for byte, the request
// line read from one read, silence, concurrency, a taken port, the daemon, running out of
// descriptors (or having too few to start), and no console output per request.
import assert from 'node:assert/strict';
import net from 'node:net';
import { after, before, describe, test } from 'node:test';

import {
  exchange, framed, parseResponse, portIsFree, startDashboard, startupLines,
} from './dashboard_harness.mjs';
import { BINARY, EMULATED, banner, paint, run, runShell, skipOnWindows } from './harness.mjs';

const STATUS_BODY =
  '{"app":"Quillon Market & Retail Intelligence","defects_indexed":1,"port":7577,"ram_mb":11.2,' +
  '"status":"ACTIVE_MARKET_SENTINEL","tracked_products":2,"version":"1.0.0"}';
const NOT_FOUND = framed('404 NOT FOUND', 'text/plain', 'Not Found');
const HTML = 'text/html; charset=utf-8';

const DAEMON_LINES = (port) =>
  [
    `[+] Quillon Market Intelligence Daemon active on port ${port}...`,
    '    - Amazon.in & Flipkart Fast Poller: Active',
    '    - Review Defect Extraction Engine: Active',
    '    - Jan Aushadhi Generic Medicine Arbitrage: Ready',
    '    - PR Defamation / Boycott Radar: Armed',
    'Press Ctrl+C to stop market daemon.',
  ].map((line) => line + '\n').join('');

const ui = (port) => ['ui', '-p', String(port)];

describe('one dashboard serving many requests', () => {
  let server;
  before(async () => {
    server = await startDashboard(ui);
  });
  after(async () => {
    await server.stop();
  });

  test('prints the banner and the four start-up lines only after binding', () => {
    assert.equal(server.stdout(), banner(false) + startupLines(server.port));
  });

  test('frames the page with exactly four headers and its length in bytes', async () => {
    const { data, error } = await exchange(server.port, 'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n');
    assert.equal(error, null);
    const { statusLine, headers, body } = parseResponse(data);
    assert.equal(statusLine, 'HTTP/1.1 200 OK');
    assert.deepEqual(headers, [
      `Content-Type: ${HTML}`,
      `Content-Length: ${body.length}`,
      'Access-Control-Allow-Origin: *',
      'Connection: close',
    ]);
    const page = body.toString('utf8');
    assert.ok(page.startsWith('<!DOCTYPE html>\n<html lang="en">\n'));
    assert.ok(page.endsWith('</html>'));
    assert.ok(!page.includes('\r'));
    // The page holds the rupee sign, the micro sign and emoji: more bytes than characters.
    for (const text of ['₹1,299.00', 'µs!', '🛒', '✅']) assert.ok(page.includes(text), text);
    assert.ok(body.length > [...page].length);
  });

  test('answers each request byte for byte, or closes without a byte', async () => {
    const page = (await exchange(server.port, 'GET / HTTP/1.1\r\nHost: x\r\n\r\n')).data;
    assert.ok(page.length > 0);
    const padding = 'x'.repeat(10 * 1024);
    const STATUS = framed('200 OK', 'application/json', STATUS_BODY);
    const cases = [
      // The bare text, without a line break, is a whole request; U+00A0 between tokens is white space.
      ['GET /', page],
      [Buffer.from('GET\u00a0/\r\n', 'utf8'), page],
      ['GET /api/status HTTP/1.1\r\n\r\n', STATUS],
      // A request larger than the buffer is judged by its first 4096 bytes; a request line longer
      // than that is cut: the path is whatever fits.
      [`GET /api/status HTTP/1.1\r\nX-Padding: ${padding}\r\n\r\n`, STATUS],
      [`GET /${padding} HTTP/1.1\r\n\r\n`, NOT_FOUND],
      ...['GET /api/status/ HTTP/1.1\r\n', 'GET /?x=1 HTTP/1.1\r\n', 'HEAD / HTTP/1.1\r\n',
        'OPTIONS /api/reprice HTTP/1.1\r\n', 'get / HTTP/1.1\r\n', 'GET /api/reprice HTTP/1.1\r\n',
        'POST / HTTP/1.1\r\n', 'GET /favicon.ico HTTP/1.1\r\n', 'GET /api/medicine HTTP/1.1\r\n',
      ].map((request) => [request, NOT_FOUND]),
      // Invalid UTF-8 in the request line.
      ...[[0x2f, 0xff], [0x2f, 0xe2, 0x82], [0xc0, 0xaf]].map((path) =>
        [Buffer.concat([Buffer.from('GET '), Buffer.from(path), Buffer.from(' HTTP/1.1\r\n\r\n')]), NOT_FOUND]),
      // A single token, an empty first line and white space.
      ...['GET', 'GET\r\n', '\r\nGET / HTTP/1.1\r\n\r\n', ' \t \r\n', 'GET\r\n/ HTTP/1.1\r\n']
        .map((request) => [request, Buffer.alloc(0)]),
    ];
    for (const [request, expected] of cases) {
      for (let round = 0; round < (request.length > 4096 ? 10 : 1); round++) {
        const { data, error } = await exchange(server.port, request);
        assert.equal(error, null, JSON.stringify(request.toString()));
        assert.deepEqual(data, expected, JSON.stringify(request.toString()));
      }
    }
  });

  test('serves the JSON routes', async () => {
    const products = parseResponse((await exchange(server.port, 'GET /api/products HTTP/1.1\r\n\r\n')).data);
    assert.equal(products.statusLine, 'HTTP/1.1 200 OK');
    assert.equal(products.headers[0], 'Content-Type: application/json');
    const rows = JSON.parse(products.body.toString());
    assert.deepEqual(rows.map((row) => row.sku_asin), ['B09G9FPHY6', 'SKU-BOAT-AIRDOPES-141']);
    assert.deepEqual(Object.keys(rows[0]), [
      'sku_asin', 'title', 'platform', 'original_price_inr', 'current_price_inr',
      'competitor_price_inr', 'price_delta_percent', 'stock_status', 'last_checked_utc',
    ]);

    const medicines = parseResponse((await exchange(server.port, 'GET /api/medicines HTTP/1.1\r\n\r\n')).data);
    assert.equal(
      medicines.body.toString(),
      '[{"branded_medicine_name":"Augmentin 625 Duo Tablet","branded_price_inr":204.0,' +
        '"salt_composition":"Amoxycillin (500mg) + Clavulanic Acid (125mg)",' +
        '"jan_aushadhi_generic_name":"Amoxycillin & Potassium Clavulanate Tablets IP 625mg",' +
        '"jan_aushadhi_price_inr":58.0,"savings_percent":71.57}]',
    );

    // A body, in the same packet or not, does not matter to the reprice.
    const reprice = parseResponse(
      (await exchange(server.port, 'POST /api/reprice?from=page HTTP/1.1\r\nContent-Length: 7\r\n\r\n{"a":1}')).data,
    );
    assert.equal(reprice.statusLine, 'HTTP/1.1 200 OK');
    const dispatch = JSON.parse(reprice.body.toString());
    assert.equal(dispatch.latency_micros, 19);
    assert.equal(dispatch.status, 'PRICE_ALERT_DISPATCHED');
    assert.equal(dispatch.webhook_target, 'http://localhost:8080/reprice');
  });

  test('answers 200 concurrent clients', async () => {
    const requests = ['GET /api/products HTTP/1.1\r\n\r\n', 'GET / HTTP/1.1\r\n\r\n', 'GET /api/status HTTP/1.1\r\n\r\n',
      'POST /api/reprice HTTP/1.1\r\n\r\n'];
    const answers = await Promise.all(
      Array.from({ length: 200 }, (_, i) => exchange(server.port, requests[i % requests.length], { timeoutMs: 30000 })),
    );
    const firsts = answers.slice(0, requests.length).map((answer) => answer.data);
    answers.forEach(({ data, error }, i) => {
      assert.equal(error, null, `client ${i}`);
      assert.ok(data.toString().startsWith('HTTP/1.1 200 OK\r\n'), `client ${i}`);
      assert.deepEqual(data, firsts[i % requests.length], `client ${i}`);
    });
  });

  test('prints nothing per request', async () => {
    await exchange(server.port, 'GET /api/status HTTP/1.1\r\n\r\n');
    await exchange(server.port, 'GET');
    assert.equal(server.stdout(), banner(false) + startupLines(server.port));
    assert.equal(server.stderr(), '');
    assert.equal(server.child.exitCode, null);
  });
});

test('colours the first start-up line green and bold when colour is forced', async () => {
  const server = await startDashboard(ui, { env: { CLICOLOR_FORCE: '1' } });
  try {
    const [first, ...rest] = startupLines(server.port).split('\n');
    const expected = banner(true) + paint(first, 32, true) + '\n' + rest.join('\n');
    assert.equal(server.stdout(), expected);
  } finally {
    await server.stop();
  }
});

test('a second server on a taken port ends with status 1 before any start-up line', async () => {
  const server = await startDashboard(ui);
  try {
    const second = await run(ui(server.port));
    assert.equal(second.status, 1);
    assert.equal(second.stdout.toString(), banner(false));
    assert.match(second.stderr.toString(), /^Error: \S.*\n$/);

    const daemon = await run(['daemon', '-p', String(server.port)]);
    assert.equal(daemon.status, 1);
    assert.equal(daemon.stdout.toString(), banner(false) + DAEMON_LINES(server.port));
    assert.match(daemon.stderr.toString(), /^Error: \S.*\n$/);

    // The first server is unharmed.
    const { data } = await exchange(server.port, 'GET /api/status HTTP/1.1\r\n\r\n');
    assert.deepEqual(data, framed('200 OK', 'application/json', STATUS_BODY));
  } finally {
    await server.stop();
  }
});

test('daemon -p prints its lines, then the start-up lines, then serves exactly as ui', async () => {
  const daemon = await startDashboard((port) => ['daemon', '-p', String(port)]);
  const plain = await startDashboard(ui);
  try {
    assert.equal(daemon.stdout(), banner(false) + DAEMON_LINES(daemon.port) + startupLines(daemon.port));
    for (const request of ['GET / HTTP/1.1\r\n\r\n', 'GET /api/status HTTP/1.1\r\n\r\n',
      'GET /api/medicines HTTP/1.1\r\n\r\n', 'GET /nowhere HTTP/1.1\r\n\r\n', 'GET\r\n']) {
      const fromDaemon = await exchange(daemon.port, request);
      const fromUi = await exchange(plain.port, request);
      assert.deepEqual(fromDaemon.data, fromUi.data, request);
    }
    const reprice = await exchange(daemon.port, 'POST /api/reprice HTTP/1.1\r\n\r\n');
    assert.equal(JSON.parse(parseResponse(reprice.data).body).latency_micros, 19);
    assert.equal(daemon.stdout(), banner(false) + DAEMON_LINES(daemon.port) + startupLines(daemon.port));
  } finally {
    await Promise.all([daemon.stop(), plain.stop()]);
  }
});

test('without a subcommand the dashboard serves on port 7577', async (t) => {
  if (!(await portIsFree(7577))) {
    t.skip('port 7577 is in use on this machine');
    return;
  }
  const server = await startDashboard(() => [], { port: 7577 });
  try {
    assert.equal(server.stdout(), banner(false) + startupLines(7577));
    const { data } = await exchange(7577, 'GET /api/status HTTP/1.1\r\n\r\n');
    assert.deepEqual(data, framed('200 OK', 'application/json', STATUS_BODY));
  } finally {
    await server.stop();
  }
});

test('running out of descriptors pauses accepting instead of ending the server', {
  skip: skipOnWindows('there is no descriptor limit'),
}, async () => {
  // A hard limit of 64 descriptors leaves room for about fifty connections; 200 idle clients
  // fill them, the listen backlog and beyond.
  const server = await startDashboard(ui, {
    command: ['/bin/sh', '-c', 'ulimit -n 64 && exec "$0" "$@"', BINARY],
  });
  const idle = [];
  try {
    for (let i = 0; i < 200; i++) {
      const socket = net.connect({ host: '127.0.0.1', port: server.port });
      socket.on('error', () => {});
      idle.push(socket);
    }
    // Those beyond the backlog keep retrying their handshake; a moment is enough for the rest.
    await Promise.race([
      Promise.all(idle.map((socket) => new Promise((resolve) => {
        socket.once('connect', resolve);
        socket.once('close', resolve);
      }))),
      new Promise((resolve) => setTimeout(resolve, 2000)),
    ]);
    // This one waits in the backlog while every descriptor is taken.
    const waiting = exchange(server.port, 'GET /api/status HTTP/1.1\r\n\r\n', { timeoutMs: 15000 });
    await new Promise((resolve) => setTimeout(resolve, 500));
    assert.equal(server.child.exitCode, null, server.stderr());

    for (const socket of idle) socket.destroy();
    const { data, error } = await waiting;
    assert.equal(error, null);
    assert.deepEqual(data, framed('200 OK', 'application/json', STATUS_BODY));
    const later = await exchange(server.port, 'GET /nowhere HTTP/1.1\r\n\r\n');
    assert.deepEqual(later.data, NOT_FOUND);
    assert.equal(server.stderr(), '');
  } finally {
    for (const socket of idle) socket.destroy();
    await server.stop();
  }
});

test('too few descriptors for even one loop: the limit is named, with status 70', {
  skip: process.env.QMR_SANITIZER ? "a sanitizer's runtime needs descriptors of its own"
    : EMULATED ? 'the emulator needs descriptors of its own'
    : skipOnWindows('there is no descriptor limit'),
}, async () => {
  for (const limit of [3, 4]) {
    const { status, stdout, stderr } = await runShell(`ulimit -n ${limit} && exec "$0" ui -p 0`);
    // With no descriptor free, a dynamically linked build cannot even load its libraries.
    if (limit === 3 && status === 127) continue;
    assert.equal(stdout.toString(), banner(false), `ulimit -n ${limit}`);
    assert.equal(stderr.toString(), 'too many open files\n', `ulimit -n ${limit}`);
    assert.equal(status, 70, `ulimit -n ${limit}`);
  }
});
