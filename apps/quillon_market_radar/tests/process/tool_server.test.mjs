// The tool server as a process over pipes: framing, end of input, the failures that end it, and
// a stdout that carries nothing but response lines.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import { isDeepStrictEqual } from 'node:util';

import {
  EMULATED, FULL_NONBLOCKING_STDOUT, WINDOWS, linesOf, run, runShell, start, skipOnWindows,
} from './harness.mjs';
import { REVISIONS } from '../revisions.mjs';

const INITIALIZE = '{"jsonrpc":"2.0","id":1,"method":"initialize"}';
const INITIALIZED =
  '{"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2024-11-05",' +
  '"serverInfo":{"name":"quillon_market_radar","version":"1.0.0"}}}';
const UNKNOWN_TOOL = '{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"x"}}';
const UNKNOWN_TOOL_ANSWER =
  '{"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"{\\"error\\":\\"Tool \'x\' not found\\"}","type":"text"}]}}';
const notFound = (id) =>
  `{"error":{"code":-32601,"message":"Method not found"},"id":${id},"jsonrpc":"2.0"}`;

// Each input of a whole run and the answers it gets, byte for byte, with status 0 and nothing on
// standard error.
test('every request line is answered in order, with one LF each; the rest is skipped silently', async () => {
  const id = 'x'.repeat(16 * 1024 * 1024);
  const pong = (id) => `{"id":${id},"jsonrpc":"2.0","result":{}}`;
  const cases = [
    ['CRLF lines and a final line without LF',
      `${INITIALIZE}\r\n\r\n{"id":"two","method":"nope"}\r\n  \t\r\n${UNKNOWN_TOOL}`,
      [INITIALIZED, notFound('"two"'), UNKNOWN_TOOL_ANSWER]],
    ...['', '\n', '\r\n \n\t\n', '\u00a0\u3000\n'].map((input) => [`blank input ${JSON.stringify(input)}`, input, []]),
    ['invalid lines', [
      INITIALIZE,
      `${INITIALIZE} x`,
      '{"id":2,"method":"initialize"}{"id":3,"method":"initialize"}',
      '['.repeat(128) + ']'.repeat(128),
      '{"id":4,"method":"tools/list"',
      '{"id":5,"method":5}',
      '\ufeff{"id":6,"method":"initialize"}',
      '{"id":7,"method":"initialize"}\u0000x',
      '42',
      '{"id":1E400,"method":"initialize"}',
      '{"id":8,"method":"resources/list"}',
    ].join('\n') + '\n', [INITIALIZED, notFound(5), notFound('null'), notFound(8)]],
    ['a 16 MiB line', `{"method":"nope","id":"${id}"}\n${INITIALIZE}\n`, [notFound(`"${id}"`), INITIALIZED]],
    ['notifications get no answer, ping an empty result', [
      '{"jsonrpc":"2.0","method":"notifications/initialized"}',
      '{"jsonrpc":"2.0","id":7,"method":"ping"}',
      '{"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"a\\u0062"}}',
      '{"jsonrpc":"2.0","id":"p\\u0031","method":"ping","params":{}}',
      '{"method":"tools/list"}',
      '{"jsonrpc":"2.0","id":null,"method":"ping"}',
      '{}',
      '{"method":5}',
      '[1,2]',
      '{"jsonrpc":"2.0","id":8,"method":"resources/list"}',
    ].join('\n') + '\n', [pong(7), pong('"p1"'), pong('null'), notFound('null'), notFound('null'),
      notFound('null'), notFound(8)]],
  ];
  for (const [what, input, answers] of cases) {
    const { status, stdout, stderr } = await run(['mcp'], { input, timeoutMs: 60000 });
    assert.equal(status, 0, what);
    assert.equal(stderr.length, 0, what);
    assert.equal(stdout.toString(), answers.map((line) => `${line}\n`).join(''), what);
  }
});

// One transcript per revision, each written by the server before the next change to the tool
// server, and answered byte for byte since; only the products' check times are masked. A
// 2024-11-05 session is answered as the server always answered it (every method, the three tools,
// notifications, invalid lines, and a line that is not UTF-8 ending the run); the later ones skip
// that line and go on, as ../revisions.json says.
const GOLDEN = REVISIONS.map(({ name, nonUtf8Line }) => nonUtf8Line === 'ends the run'
  ? { revision: name, status: 1, stderr: 'Error: stream did not contain valid UTF-8\n' }
  : { revision: name, status: 0, stderr: '' });

for (const expected of GOLDEN) {
  test(`a ${expected.revision} session is answered byte for byte as its golden transcript`, async () => {
    const golden = (suffix) => readFileSync(new URL(`golden/${expected.revision}.${suffix}`, import.meta.url));
    const { status, stdout, stderr } = await run(['mcp'], { input: golden('in') });
    assert.equal(status, expected.status);
    assert.equal(stderr.toString(), expected.stderr);
    assert.equal(stdout.toString().replace(/(\\"last_checked_utc\\":\\")[^\\]*/g, '$1T'),
      golden('out').toString());
  });
}

test('sessions of later revisions skip a line that is not UTF-8 and go on', async () => {
  const meta = (name) => `"_meta":{"io.modelcontextprotocol/protocolVersion":"${name}"}`;
  const perRequest = REVISIONS.find(({ era }) => era === 'per-request').name;
  for (const { name, era } of REVISIONS.filter(({ nonUtf8Line }) => nonUtf8Line === 'skipped')) {
    const opening = era === 'handshake'
      ? `{"id":1,"method":"initialize","params":{"protocolVersion":"${name}"}}`
      : `{"id":1,"method":"server/discover","params":{${meta(name)}}}`;
    // 0xC3 opens a two-byte character that "(" does not continue.
    const input = Buffer.concat([Buffer.from(`${opening}\n{"id":2,"method":"`), Buffer.from([0xc3, 0x28]),
      Buffer.from(`"}\n{"id":3,"method":"tools/list","params":{${meta(perRequest)}}}\n`)]);
    const { status, stdout, stderr } = await run(['mcp'], { input });
    assert.equal(status, 0, opening);
    assert.equal(stderr.length, 0, opening);
    assert.deepEqual(stdout.toString().split('\n').map((line) => line && JSON.parse(line).id), [1, 3, ''], opening);
  }
});

test('each response arrives before the next request is written', async () => {
  const { child, exited } = start(['mcp']);
  const responses = linesOf(child.stdout)[Symbol.asyncIterator]();
  for (let id = 1; id <= 50; ++id) {
    child.stdin.write(`{"id":${id},"method":"tools/call","params":{"name":"market_jan_aushadhi"}}\n`);
    const { value, done } = await responses.next();
    assert.equal(done, false);
    const response = JSON.parse(value);
    assert.equal(response.id, id);
    assert.equal(JSON.parse(response.result.content[0].text)[0].savings_percent, 71.57);
  }
  child.stdin.end();
  assert.equal((await responses.next()).done, true);
  const { status, stderr } = await exited;
  assert.equal(status, 0);
  assert.equal(stderr.length, 0);
});

test('a reader that closes stdout early ends the run promptly with status 1', async () => {
  const { child, exited } = start(['mcp'], { timeoutMs: 10000 });
  const responses = linesOf(child.stdout)[Symbol.asyncIterator]();
  child.stdin.write(`${INITIALIZE}\n`);
  assert.equal((await responses.next()).value, INITIALIZED);
  child.stdout.destroy();
  // Input keeps coming and never ends, so only the failed write can stop the program.
  let ended = false;
  exited.then(() => { ended = true; }, () => { ended = true; });
  for (let sent = 0; sent < 1000 && !ended; ++sent) {
    child.stdin.write(`${INITIALIZE}\n`);
    await new Promise((resolve) => setTimeout(resolve, 5));
  }
  const { status, signal, stderr } = await exited;
  assert.equal(signal, null);
  assert.equal(status, 1);
  assert.equal(stderr.toString(), 'Error: failed to write standard output: Broken pipe\n');
});

test('non-blocking stdin and stdout with a slow peer: all 3,000 answers arrive, then status 0', {
  skip: skipOnWindows('no stream is handed over non-blocking'),
}, async () => {
  const request = (id) =>
    `{"jsonrpc":"2.0","id":${id},"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":""}}}\n`;
  const { child, exited } = start(['mcp'], { script: FULL_NONBLOCKING_STDOUT, timeoutMs: 60000 });
  const chunks = [];
  child.stdout.on('data', (chunk) => chunks.push(chunk));
  // The writer is slow too: its batches go on after the reader wakes, and the server's reads
  // find nothing in between.
  for (let batch = 0; batch < 30; ++batch) {
    let text = '';
    for (let id = batch * 100; id < (batch + 1) * 100; ++id) text += request(id);
    child.stdin.write(text);
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
  child.stdin.end();
  const { status, stderr } = await exited;
  assert.equal(stderr.toString(), '');
  assert.equal(status, 0);
  const lines = Buffer.concat(chunks).toString().replace(/^#+/, '').split('\n');
  assert.equal(lines.pop(), '');
  assert.equal(lines.length, 3000);
  // One store for the run: every answer is the first one with its own id.
  assert.equal(JSON.parse(JSON.parse(lines[0]).result.content[0].text).length, 2);
  lines.forEach((line, id) => assert.equal(line, lines[0].replace('{"id":0,', `{"id":${id},`)));
});

test('a failed read of standard input or write of standard output ends the run with status 1 and the cause', async () => {
  const directory = mkdtempSync(join(tmpdir(), 'qmr-tool-server-'));
  try {
    const output = join(directory, 'out');
    const cases = [
      // Windows has no "Is a directory" for a read: its cause is an input/output error.
      ['exec "$0" mcp </', `read standard input: ${WINDOWS ? 'Input/output error' : 'Is a directory'}`],
      // 20 answers of 170 bytes outgrow the 1 KiB that `ulimit -f 1` allows.
      ['ulimit -f 1; for i in $(seq 20); do echo "$2"; done | "$0" mcp >"$1"', 'write standard output: File too large'],
    ];
    // Windows has no file-size limit.
    if (WINDOWS) cases.pop();
    for (const [script, cause] of cases) {
      const { status, signal, stdout, stderr } = await runShell(script, [output, INITIALIZE]);
      assert.equal(signal, null, script);
      assert.equal(stdout.length, 0, script);
      assert.equal(stderr.toString(), `Error: failed to ${cause}\n`, script);
      assert.equal(status, 1, script);
    }
    if (!WINDOWS) assert.equal(readFileSync(output).length, 1024);
  } finally {
    rmSync(directory, { recursive: true });
  }
});

// Runs a server, sends it `line` and then an initialize request, and returns the answer to
// `line` and the server's memory figures (kB) from /proc, read while it still runs.
async function memoryAfter(line) {
  const { child, exited } = start(['mcp'], { timeoutMs: 120000 });
  const answers = linesOf(child.stdout)[Symbol.asyncIterator]();
  child.stdin.write(`${line}\n${INITIALIZE}\n`);
  const { value: answer } = await answers.next();
  assert.equal((await answers.next()).value, INITIALIZED);
  const status = readFileSync(`/proc/${child.pid}/status`, 'utf8');
  child.stdin.end();
  assert.equal((await exited).status, 0);
  const figure = (name) => Number(status.match(new RegExp(`^${name}:\\s+(\\d+) kB`, 'm'))[1]);
  return { answer, rss: figure('VmRSS'), peak: figure('VmHWM') };
}

test('memory: a 64 MiB line is given back, every other line costs at most 3x its size + 8 MiB', {
  skip: EMULATED ? "an emulator's memory is not the program's"
    : process.env.QMR_SANITIZER ? "a sanitizer's shadow and quarantine are not the program's memory"
    : false,
}, async (t) => {
  const MiB = 1024 * 1024;
  const pad = 'x'.repeat(64 * MiB);
  const after = await memoryAfter(
    `{"id":1,"method":"tools/call","params":{"name":"market_jan_aushadhi","arguments":{"pad":"${pad}"}}}`);
  t.diagnostic(`VmRSS after a 64 MiB line: ${after.rss} kB`);

  // 8 MiB lines: an escape in the id and an unread member of four million numbers; an id of
  // 720,000 members, each a small array, written back in order of its names; an id of floats
  // written as 10000.0, so the answer is twice the line, written out in parts.
  // 16 MiB lines whose one field is the whole line: an unknown tool's name (written back escaped
  // twice), a number id of sixteen million digits, a query that grows by half when lower-cased
  // (and one that must be decoded first), a version in _meta that is no string (refused with its
  // JSON text inside a string: escaped once more, its numbers as the writer writes them).
  const head = '{"jsonrpc":"2.0","id":"a\\nb","method":"tools/call","params":{"name":"market_jan_aushadhi","arguments":{"unread":[0';
  const escaped = head + ',0'.repeat((8 * MiB - head.length - 4) / 2) + ']}}}';
  const members = [];
  for (let i = 0; members.length < 720000; i += 7919) members.push(`"k${(i % 1000003).toString(36)}":[${i % 10}]`);
  const structured = `{"jsonrpc":"2.0","method":"ping","id":{${members.join(',')}}}`;
  const floats = `{"jsonrpc":"2.0","method":"ping","id":[${'1e4,'.repeat(2 * MiB - 12)}1e4]}`;
  const bytes = (text) => Buffer.byteLength(text);
  const fill = (head, unit, tail) => head + unit.repeat((16 * MiB - bytes(head + tail)) / bytes(unit)) + tail;
  const call = (params) => `{"jsonrpc":"2.0","id":1,"method":"tools/call","params":${params}`;
  const toolText = (answer) => JSON.parse(JSON.parse(answer).result.content[0].text);
  const meta = '{"jsonrpc":"2.0","id":1,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":';
  const quotes = fill(`${meta}["`, '\\"', '"]}}}');
  const numbers = fill(`${meta}[`, '1e4,', '1e4]}}}');
  const requested = (answer) => JSON.parse(answer).error.data.requested;
  const versionOf = (line) => line.slice(meta.length, -3);
  const shapes = [
    ['an 8 MiB line with an escaped id', escaped, (a) => a.startsWith(
      '{"id":"a\\nb","jsonrpc":"2.0","result":{"content":[{"text":"[{\\"branded_medicine_name')],
    ['an 8 MiB line whose id is an object', structured, (a) => {
      const { id } = JSON.parse(a);
      return isDeepStrictEqual(id, JSON.parse(structured).id) &&
        Object.keys(id).join() === Object.keys(id).sort().join();
    }],
    ['an 8 MiB line whose id is an array of floats', floats,
      (a) => a === `{"id":[${'10000.0,'.repeat(2 * MiB - 12)}10000.0],"jsonrpc":"2.0","result":{}}`],
    ['a long unknown tool name', fill(call('{"name":"'), 'x', '"}}'), (a) => /^Tool 'x+' not found$/.test(toolText(a).error)],
    ['a long unknown tool name of escapes', fill(call('{"name":"'), '\\"', '"}}'),
      (a) => /^Tool '("+)' not found$/.test(toolText(a).error)],
    ['a long number id', fill('{"method":"ping","id":1.', '1', 'e5}'), (a) => JSON.parse(a).id === 111111.11111111111],
    ['a long number in a structured id', fill('{"method":"ping","id":[1.', '1', ']}'),
      (a) => a === '{"id":[1.1111111111111112],"jsonrpc":"2.0","result":{}}'],
    ['a query that grows when lower-cased', fill(call('{"name":"market_search_products","arguments":{"query":"'), '\u0130', '"}}}'),
      (a) => toolText(a).length === 0],
    ['an escaped query that grows when lower-cased',
      fill(call('{"name":"market_search_products","arguments":{"query":"\\n'), '\u0130', '"}}}'), (a) => toolText(a).length === 0],
    ['a version in _meta of quotation marks', quotes, (a) => requested(a) === versionOf(quotes)],
    ['a version in _meta of numbers', numbers, (a) => requested(a) === versionOf(numbers).replaceAll('1e4', '10000.0')],
  ];
  for (const [what, long, answered] of shapes) {
    assert.ok(bytes(long) > 8 * MiB - 8, `${what}: ${bytes(long)}`);
    const { answer, peak } = await memoryAfter(long);
    t.diagnostic(`VmHWM with ${what} (${bytes(long)} bytes): ${peak} kB`);
    assert.ok(answered(answer), `${what}: ${answer.slice(0, 100)}`);
    assert.ok(peak <= (3 * bytes(long)) / 1024 + 8 * 1024, `${what}: VmHWM ${peak} kB`);
  }

  assert.match(after.answer, /^\{"id":1,"jsonrpc":"2\.0","result"/);
  assert.ok(after.rss < 16 * 1024, `VmRSS ${after.rss} kB`);
});
