// The dashboard and the tool server on its port, as a process: without --mcp every answer is the
// dashboard's as it always was (the golden transcript golden/dashboard.in/.out, one JSON string
// per line: a request, and the bytes it is answered with).
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { exchange, startDashboard, startupLines } from './dashboard_harness.mjs';
import { banner } from './harness.mjs';

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
