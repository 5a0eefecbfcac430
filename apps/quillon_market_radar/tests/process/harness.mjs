// Runs the built program for the process-level tests.
import { spawn } from 'node:child_process';

export const BINARY = process.env.QMR_BINARY;
// Set when the program runs under an emulator (a cross build): the process's memory figures are
// then the emulator's.
export const EMULATED = process.env.QMR_EMULATED === '1';
// Set for a Windows build (run under Wine). The cases of a mend Windows has no use for are
// skipped there: no stream is handed over non-blocking, and there is no file-size or descriptor
// limit to run into.
export const WINDOWS = process.env.QMR_TARGET_SYSTEM === 'Windows';
// The `skip` option of a case that has no Windows equivalent: skipped on Windows, with the
// reason; run everywhere else.
export const skipOnWindows = (reason) => (WINDOWS ? `Windows: ${reason}` : false);
if (!BINARY) throw new Error('QMR_BINARY must name the built quillon_market_radar');

// A script for `runShell` and `start`: runs the program with non-blocking standard input and
// output (nonblocking_exec.cpp, named by QMR_NONBLOCKING_EXEC) into a pipe that is full when it
// starts and whose reader sleeps half a second first, so its first write meets a full descriptor.
// The script ends with the program's status.
export const FULL_NONBLOCKING_STDOUT =
  '"$QMR_NONBLOCKING_EXEC" --fill "$0" "$@" | { sleep 0.5; cat; }; exit "${PIPESTATUS[0]}"';

// The environment of a run: the colour switches cleared, then `extra` on top.
export function envWith(extra = {}) {
  const env = { ...process.env };
  for (const name of ['CLICOLOR', 'CLICOLOR_FORCE', 'NO_COLOR']) delete env[name];
  return { ...env, ...extra };
}

// Runs the program to its end and resolves to { status, signal, stdout, stderr } (Buffers).
export function run(args, { env = {}, input = null, timeoutMs = 20000 } = {}) {
  return runFile(BINARY, args, { env, input, timeoutMs });
}

// Runs `script` in bash with the program's path as $0 and `args` as $1..., for redirections and
// limits that only a shell sets up (`>/dev/full`, `>&-`, `ulimit -f`); resolves as `run` does.
export function runShell(script, args = [], { env = {}, timeoutMs = 20000 } = {}) {
  return runFile('bash', ['-c', script, BINARY, ...args], { env, timeoutMs });
}

function runFile(file, args, { env, input = null, timeoutMs }) {
  return new Promise((resolve, reject) => {
    const child = spawn(file, args, { env: envWith(env), stdio: ['pipe', 'pipe', 'pipe'] });
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
// end within `timeoutMs` kills it and fails. With `script`, bash runs it as `runShell` does.
export function start(args, { env = {}, timeoutMs = 20000, script = null } = {}) {
  const [file, argv] = script === null ? [BINARY, args] : ['bash', ['-c', script, BINARY, ...args]];
  const child = spawn(file, argv, { env: envWith(env), stdio: ['pipe', 'pipe', 'pipe'] });
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

// Yields the LF-terminated lines of a readable stream as they arrive, without their LF. Each chunk
// is searched once: searching the whole unfinished line again at each chunk took minutes for the
// memory test's 32 MiB answers.
export async function* linesOf(stream) {
  stream.setEncoding('utf8');  // a character split between two chunks stays whole
  let pending = '';
  for await (const chunk of stream) {
    let start = 0;
    for (let at; (at = chunk.indexOf('\n', start)) !== -1; start = at + 1) {
      yield pending + chunk.slice(start, at);
      pending = '';
    }
    pending += chunk.slice(start);
  }
}
