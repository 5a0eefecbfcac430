// Starts the dashboard with the tool server over HTTP (`ui -p 0 --mcp`) for the suites that reach
// it by URL, and reads its endpoint from the start-up lines.
import { spawn } from 'node:child_process';

// The endpoint as the start-up lines name it, with the port the server bound.
const ENDPOINT = /http:\/\/127\.0\.0\.1:([1-9]\d*)\/mcp\b/;

/// Starts `binary` on a port the system picks; resolves to { url, stop() } once a start-up line
/// names the endpoint, or rejects with what the program said.
export function startMcpEndpoint(binary) {
  const child = spawn(binary, ['ui', '-p', '0', '--mcp'], { stdio: ['ignore', 'pipe', 'pipe'] });
  const closed = new Promise((resolve) => child.on('close', resolve));
  const stop = async () => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
    await closed;
  };
  let output = '';
  let started = false;
  return new Promise((resolve, reject) => {
    const fail = (why) => stop().then(() => reject(new Error(`${why}; it printed:\n${output}`)));
    const timer = setTimeout(() => fail('no start-up line named the endpoint within 10 s'), 10_000);
    const read = (chunk) => {
      output += chunk;
      const port = ENDPOINT.exec(output)?.[1];
      if (started || !port) return;
      started = true;
      clearTimeout(timer);
      resolve({ url: `http://127.0.0.1:${port}/mcp`, stop });
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
