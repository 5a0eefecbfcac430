// Measures the tool server of a built binary:
//   1. throughput: LINES mixed request lines piped through `mcp` at once, in lines per second;
//   2. latency: the round trip of one "tools/call" of market_search_products over a persistent
//      pipe, one request in flight at a time, ROUND_TRIPS times (median and 99th percentile).
// Usage: node bench/tool-server.mjs BINARY [LINES] [ROUND_TRIPS]
// Every run is bounded in count and by a 120 s deadline after which the program is killed.
import { spawn } from 'node:child_process';

const [binary, linesArg = '100000', tripsArg = '20000'] = process.argv.slice(2);
if (!binary) {
  console.error('usage: node bench/tool-server.mjs BINARY [LINES] [ROUND_TRIPS]');
  process.exit(2);
}
const LINES = Math.min(Number(linesArg), 10_000_000);
const ROUND_TRIPS = Math.min(Number(tripsArg), 1_000_000);
const DEADLINE_MS = 120_000;

// The mix an assistant sends, plus the noise a server must skip: every tool, the handshake, the
// catalogue, unknown methods, notifications, blank and invalid lines.
const MIX = [
  '{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"noise"}}}',
  '{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"market_search_products","arguments":{}}}',
  '{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"market_review_defects","arguments":{}}}',
  '{"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"market_jan_aushadhi","arguments":{}}}',
  '{"jsonrpc":"2.0","id":"five","method":"tools/list"}',
  '{"jsonrpc":"2.0","id":6,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"bench","version":"1"}}}',
  '{"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"İPHONE ₹"}}}',
  '{"jsonrpc":"2.0","method":"notifications/initialized"}',
  '{"jsonrpc":"2.0","id":9,"method":"ping"}',
  '{"jsonrpc":"2.0","id":10,"method":"tools/call","params":{"name":"nope"}}',
  '{"jsonrpc":"2.0","id":11,"method":"initialize"} trailing',
  '',
];

function startServer() {
  const child = spawn(binary, ['mcp'], { stdio: ['pipe', 'pipe', 'inherit'] });
  const timer = setTimeout(() => child.kill('SIGKILL'), DEADLINE_MS);
  const exited = new Promise((resolve) => child.on('close', (status, signal) => {
    clearTimeout(timer);
    resolve({ status, signal });
  }));
  return { child, exited };
}

async function throughput() {
  const lines = [];
  for (let i = 0; i < LINES; ++i) lines.push(MIX[i % MIX.length]);
  const input = Buffer.from(lines.join('\n') + '\n');
  const answered = lines.filter((line) => line !== '' && !line.endsWith('trailing')).length;

  const { child, exited } = startServer();
  let responses = 0;
  let bytes = 0;
  child.stdout.on('data', (chunk) => {
    bytes += chunk.length;
    for (const byte of chunk) if (byte === 0x0a) ++responses;
  });
  const started = process.hrtime.bigint();
  child.stdin.end(input);
  const { status, signal } = await exited;
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  if (status !== 0 || responses !== answered) {
    throw new Error(`throughput run ended with status ${status} (${signal}), ${responses}/${answered} responses`);
  }
  console.log(`throughput: ${LINES} lines (${input.length} bytes in, ${responses} responses, ` +
    `${bytes} bytes out) in ${seconds.toFixed(3)} s = ${Math.round(LINES / seconds)} lines/s`);
}

async function latency() {
  const { child, exited } = startServer();
  const request = '{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"noise"}}}\n';
  let pending = null;
  let buffered = '';
  child.stdout.setEncoding('utf8');
  child.stdout.on('data', (chunk) => {
    buffered += chunk;
    if (buffered.endsWith('\n') && pending) {
      const resolve = pending;
      pending = null;
      buffered = '';
      resolve();
    }
  });
  const micros = [];
  const deadline = Date.now() + DEADLINE_MS;
  for (let i = 0; i < ROUND_TRIPS && Date.now() < deadline; ++i) {
    const answered = new Promise((resolve) => { pending = resolve; });
    const started = process.hrtime.bigint();
    child.stdin.write(request);
    await answered;
    micros.push(Number(process.hrtime.bigint() - started) / 1e3);
  }
  child.stdin.end();
  await exited;
  micros.sort((a, b) => a - b);
  const at = (q) => micros[Math.min(micros.length - 1, Math.floor(q * micros.length))].toFixed(1);
  console.log(`round trip of tools/call market_search_products over ${micros.length} requests: ` +
    `median ${at(0.5)} µs, p90 ${at(0.9)} µs, p99 ${at(0.99)} µs, min ${micros[0].toFixed(1)} µs`);
}

await throughput();
await latency();
