// Runs the built program for the process-level tests.
import { spawn } from 'node:child_process';

export const BINARY = process.env.QMR_BINARY;
if (!BINARY) throw new Error('QMR_BINARY must name the built quillon_market_radar');

// The environment of a run: the colour switches cleared, then `extra` on top.
export function envWith(extra = {}) {
  const env = { ...process.env };
  for (const name of ['CLICOLOR', 'CLICOLOR_FORCE', 'NO_COLOR']) delete env[name];
  return { ...env, ...extra };
}

// Runs the program to its end and resolves to { status, signal, stdout, stderr } (Buffers).
export function run(args, { env = {}, input = null, timeoutMs = 20000 } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(BINARY, args, { env: envWith(env), stdio: ['pipe', 'pipe', 'pipe'] });
    const stdout = [];
    const stderr = [];
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`${args.join(' ')} did not end within ${timeoutMs} ms`));
    }, timeoutMs);
    child.stdout.on('data', (chunk) => stdout.push(chunk));
    child.stderr.on('data', (chunk) => stderr.push(chunk));
    child.on('error', reject);
    child.on('close', (status, signal) => {
      clearTimeout(timer);
      resolve({ status, signal, stdout: Buffer.concat(stdout), stderr: Buffer.concat(stderr) });
    });
    if (input !== null) child.stdin.end(input);
    else child.stdin.end();
  });
}

export const ESC = '\x1b';
export const paint = (text, code, bold) => `${ESC}[${bold ? '1;' : ''}${code}m${text}${ESC}[0m`;

// The four banner lines, plain or coloured.
export function banner(coloured) {
  const ruler = '='.repeat(73);
  const lines = [
    [ruler, 36],
    ['      VARNEL QUILLON LABS - MARKET & RETAIL INTELLIGENCE           ', 33],
    ['      Competitor Price Tracker, Review Defects & Jan Aushadhi Radar     ', 37],
    [ruler, 36],
  ];
  return lines.map(([text, code]) => (coloured ? paint(text, code, true) : text) + '\n').join('');
}

// Starts the program with pipes on all three streams for a test that talks to it while it runs.
// `exited` resolves to { status, signal, stderr } when it has ended; a test that does not see it
// end within `timeoutMs` kills it and fails.
export function start(args, { env = {}, timeoutMs = 20000 } = {}) {
  const child = spawn(BINARY, args, { env: envWith(env), stdio: ['pipe', 'pipe', 'pipe'] });
  // Writing after the program has ended fails with EPIPE; the status tells the story instead.
  child.stdin.on('error', () => {});
  const stderr = [];
  child.stderr.on('data', (chunk) => stderr.push(chunk));
  const exited = new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`${args.join(' ')} did not end within ${timeoutMs} ms`));
    }, timeoutMs);
    child.on('error', reject);
    child.on('close', (status, signal) => {
      clearTimeout(timer);
      resolve({ status, signal, stderr: Buffer.concat(stderr) });
    });
  });
  return { child, exited };
}

// Yields the LF-terminated lines of a readable stream as they arrive, without their LF.
export async function* linesOf(stream) {
  stream.setEncoding('utf8');  // a character split between two chunks stays whole
  let pending = '';
  for await (const chunk of stream) {
    pending += chunk;
    let at;
    while ((at = pending.indexOf('\n')) !== -1) {
      yield pending.slice(0, at);
      pending = pending.slice(at + 1);
    }
  }
}
