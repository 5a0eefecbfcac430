// The console commands of the built program, byte for byte, with and without colour.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import net from 'node:net';
import { test } from 'node:test';

import {
  BINARY, FULL_NONBLOCKING_STDOUT, WINDOWS, banner, envWith, paint, run, runShell, skipOnWindows,
} from './harness.mjs';

const NOISE_ROW_PLAIN =
  '    -> [B09G9FPHY6] Noise ColorFit Pulse Grand Smart Watch | Platform: Amazon.in | ' +
  'Current: ₹1299.00 | Competitor: ₹1149.00 | Delta: -11.54%\n';
const BOAT_ROW_PLAIN =
  '    -> [SKU-BOAT-AIRDOPES-141] boAt Airdopes 141 ANC TWS Earbuds | Platform: Flipkart | ' +
  'Current: ₹1399.00 | Competitor: ₹1349.00 | Delta: -3.57%\n';

const SERVICES = [
  'Competitor Price Tracker (B12.1)', 'Review Defect Intelligence (B7.1)',
  'Fake Review Catcher (B7.2)', 'Dark-Pattern Surcharge Dossier (B7.3)',
  'Social Outrage Radar (B8.1)', 'Influencer Metrics (B8.2)',
  'Flight Fare Drop Notifier (B12.2)', 'Jan Aushadhi Medicine Arbitrage (B12.3)',
  'PR Defamation Alert (B15.2)', 'Competitor Hiring Trends (B15.3)',
].map((name) => `    - ${name}: PASSED\n`).join('');

// The banner and the two headings of `prices`, plain.
const pricesHeadings = (query, found) => banner(false) +
  `[*] Scanning Competitor Prices for '${query}'...\n[+] Found ${found} Matching SKUs in 0.05ms:\n`;

test('prices prints the banner, the scan and the matching rows, plain; no match the headings only', async () => {
  const both = pricesHeadings('', 2) + NOISE_ROW_PLAIN + BOAT_ROW_PLAIN;
  for (const [args, env, expected] of [
    [['-q', 'NoIsE'], { NO_COLOR: '1' }, pricesHeadings('NoIsE', 1) + NOISE_ROW_PLAIN],
    [['-q', ''], { NO_COLOR: '' }, both],
    [['--query='], { NO_COLOR: '' }, both],
    [['-q', "it's \"an iphone\"  "], { CLICOLOR: '0' }, pricesHeadings("it's \"an iphone\"  ", 0)],
  ]) {
    const { status, stdout, stderr } = await run(['prices', ...args], { env });
    assert.equal(status, 0, args.join(' '));
    assert.equal(stderr.length, 0, args.join(' '));
    assert.equal(stdout.toString(), expected);
  }
});

test('prices colours the headings and the three text pieces of a row only', async () => {
  const { status, stdout } = await run(['prices', '--query', 'noise'], {
    env: { CLICOLOR_FORCE: '1', NO_COLOR: '1' },
  });
  assert.equal(status, 0);
  assert.equal(
    stdout.toString(),
    banner(true) +
      paint("[*] Scanning Competitor Prices for 'noise'...", 36, true) + '\n' +
      paint('[+] Found 1 Matching SKUs in 0.05ms:', 32, true) + '\n' +
      `    -> [${paint('B09G9FPHY6', 33, true)}] ${paint('Noise ColorFit Pulse Grand Smart Watch', 37, true)}` +
      ` | Platform: ${paint('Amazon.in', 36, false)} | Current: ₹1299.00 | Competitor: ₹1149.00 | Delta: -11.54%\n`,
  );
});

test('test prints the timed report whose two figures agree', async () => {
  for (const coloured of [false, true]) {
    const env = coloured ? { CLICOLOR_FORCE: '1' } : { NO_COLOR: '1' };
    const { status, stdout, stderr } = await run(['test'], { env });
    assert.equal(status, 0);
    assert.equal(stderr.length, 0);
    const text = stdout.toString();
    const running = '[*] Running Comprehensive 10-in-1 Market Intelligence Verification...';
    const head = banner(coloured) + (coloured ? paint(running, 36, true) : running) + '\n';
    assert.ok(text.startsWith(head), text);
    assert.ok(text.endsWith(SERVICES), text);
    let success = text.slice(head.length, text.length - SERVICES.length);
    if (coloured) {
      assert.ok(success.startsWith(`\x1b[1;32m`) && success.endsWith(`\x1b[0m\n`), success);
      success = success.slice(7, -5) + '\n';
    }
    const match = /^\[SUCCESS\] All 10 Services Verified in (\d+) µs \(([0-9.]+) ms\)\.\n$/.exec(success);
    assert.ok(match, success);
    const micros = Number(match[1]);
    assert.equal(match[2], String(micros / 1000));
  }
});

test('help and version exit 0 on stdout; rejected command lines exit 2 on stderr', async () => {
  const version = await run(['--version']);
  assert.equal(version.status, 0);
  assert.equal(version.stdout.toString(), 'quillon_market_radar 1.0.0\n');
  for (const args of [['-h'], ['help'], ['help', 'prices'], ['ui', '--help'], ['mcp', '-h']]) {
    const help = await run(args);
    assert.equal(help.status, 0, args.join(' '));
    assert.ok(help.stdout.toString().includes('Usage:'), args.join(' '));
    assert.equal(help.stderr.length, 0);
  }
  for (const args of [['ui', '-p', '65536'], ['ui', '--port', '-1'], ['ui', '--port', 'abc'],
    ['ui', '8081'], ['prices'], ['nonsense'], ['daemon', '--port', '0x1F'],
    ['prices', '--query=', 'noise'], ['ui', '--port=', '8081']]) {
    const rejected = await run(args);
    assert.equal(rejected.status, 2, args.join(' '));
    assert.equal(rejected.stdout.length, 0, args.join(' '));
    assert.ok(rejected.stderr.length > 0, args.join(' '));
  }
});

test('each console line reaches a pipe at once', async () => {
  // The daemon's lines arrive before its server fails on a port this test holds: line by line,
  // not at exit.
  const holder = net.createServer();
  await new Promise((resolve) => holder.listen(0, '127.0.0.1', resolve));
  const { port } = holder.address();
  const child = spawn(BINARY, ['daemon', '-p', String(port)], { env: envWith({ NO_COLOR: '1' }), stdio: ['ignore', 'pipe', 'pipe'] });
  let seen = '';
  for await (const chunk of child.stdout) {
    seen += chunk;
    if (seen.includes('Press Ctrl+C to stop market daemon.\n')) break;
  }
  const status = await new Promise((resolve) => {
    if (child.exitCode !== null) resolve(child.exitCode);
    else child.on('close', resolve);
  });
  holder.close();
  assert.ok(seen.startsWith(banner(false) + `[+] Quillon Market Intelligence Daemon active on port ${port}...\n`), seen);
  assert.equal(status, 1);
});

test('a full non-blocking stdout is waited out: prices prints everything and exits 0', {
  skip: skipOnWindows('no stream is handed over non-blocking'),
}, async () => {
  const { status, stdout, stderr } = await runShell(FULL_NONBLOCKING_STDOUT, ['prices', '-q', ''],
    { env: { NO_COLOR: '1' } });
  assert.equal(stderr.toString(), '');
  assert.equal(status, 0);
  assert.equal(stdout.toString().replace(/^#+/, ''), pricesHeadings('', 2) + NOISE_ROW_PLAIN + BOAT_ROW_PLAIN);
});

test('help, version and console lines that cannot be written end with status 70 and the cause', async () => {
  const directory = mkdtempSync(join(tmpdir(), 'qmr-console-'));
  try {
    // Output past the file-size limit: the file already holds the 1 KiB that `ulimit -f 1` allows.
    const limited = join(directory, 'out');
    writeFileSync(limited, '#'.repeat(1024));
    const cases = [
      ['exec "$0" --help >/dev/full', 'No space left on device'],
      ['exec "$0" --version >/dev/full', 'No space left on device'],
      ['exec "$0" mcp -h >/dev/full', 'No space left on device'],
      ['exec "$0" help prices >&-', 'Bad file descriptor'],
      // `true` has long exited when the program starts writing: its first line meets a closed pipe.
      ['{ sleep 0.3; exec "$0" prices -q a; } | true; exit "${PIPESTATUS[0]}"', 'Broken pipe'],
      ['ulimit -f 1; exec "$0" prices -q "" >>"$1"', 'File too large'],
    ];
    // Windows has no file-size limit.
    if (WINDOWS) cases.pop();
    for (const [script, cause] of cases) {
      const { status, signal, stderr } = await runShell(script, [limited]);
      assert.equal(signal, null, script);
      assert.equal(stderr.toString(), `failed printing to stdout: ${cause}\n`, script);
      assert.equal(status, 70, script);
    }
  } finally {
    rmSync(directory, { recursive: true });
  }
});
