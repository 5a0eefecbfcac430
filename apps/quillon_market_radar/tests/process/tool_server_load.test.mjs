// The tool server fed 100,000 mixed valid and invalid lines: exactly one answer per valid request
// line, in order, and status 0 at the end of the input.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { run } from './harness.mjs';

const LINES = 100_000;
const BIG = 16 * 1024 * 1024;

const initialized = (id) =>
  `{"id":${id},"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2024-11-05",` +
  '"serverInfo":{"name":"quillon_market_radar","version":"1.0.0"}}}';
const notFound = (id) => `{"error":{"code":-32601,"message":"Method not found"},"id":${id},"jsonrpc":"2.0"}`;

// Lines the server must skip without a word.
const INVALID = [
  '}{',
  '{"id":1,"method":"initialize"',
  '{"id":1,"method":"initialize"} x',
  '{"id":1}{"id":2}',
  '{"id":1,"method":"initialize"}\0',
  '\0{"id":1,"method":"initialize"}',
  '{"id":"\\ud800","method":"initialize"}',
  '{"id":"\\udc00\\ud800","method":"initialize"}',
  '\uFEFF{"id":1,"method":"initialize"}',
  '['.repeat(128) + ']'.repeat(128),
  '{"a":'.repeat(200) + '1' + '}'.repeat(200),
  '{"id":1E400,"method":"initialize"}',
  "{'id':1}",
  'nul',
  '',
  ' \t ',
  '\u00A0\u3000',
];

test('100,000 mixed lines: one answer per valid request line, in order, then status 0', async () => {
  const input = [];
  const expected = [];
  for (let i = 0; i < LINES; i++) {
    switch (i % 7) {
      case 0:
        input.push(`{"jsonrpc":"2.0","id":${i},"method":"initialize","params":{}}`);
        expected.push(initialized(i));
        break;
      case 1:
        input.push(INVALID[(i >> 3) % INVALID.length]);
        break;
      case 2:
        input.push(`{"jsonrpc":"2.0","id":${i},"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"noise"}}}`);
        expected.push((line) => line.startsWith(`{"id":${i},"jsonrpc":"2.0","result":{"content":[{"text":"[{\\"competitor_price_inr\\":1149.0,`) &&
          line.endsWith('\\"title\\":\\"Noise ColorFit Pulse Grand Smart Watch\\"}]","type":"text"}]}}'));
        break;
      case 3:
        // A notification: no answer.
        input.push(`{"jsonrpc":"2.0","method":"notifications/initialized"}`);
        break;
      case 4:
        input.push(`{"jsonrpc":"2.0","id":"s${i}","method":"ping"}  `);
        expected.push(`{"id":"s${i}","jsonrpc":"2.0","result":{}}`);
        break;
      case 5:
        input.push(`[${i}]`);
        expected.push(notFound('null'));
        break;
      default:
        input.push(INVALID[(i >> 2) % INVALID.length] + '\r');
    }
  }
  // Two 16 MiB lines in the middle, one valid and one cut short; the valid one's answer goes
  // after the answers to the 50,000 lines before it.
  const bigId = 'x'.repeat(BIG);
  input.splice(50_000, 0, `{"id":"${bigId}","method":"initialize"}`, `{"id":"${bigId}","method":"initialize"`,
    '['.repeat(1_000_000));
  const answeredBefore = input.slice(0, 50_000).filter((_, index) => ![1, 3, 6].includes(index % 7)).length;
  expected.splice(answeredBefore, 0, initialized(`"${bigId}"`));

  const { status, stdout, stderr } = await run(['mcp'], {
    input: Buffer.concat(input.map((line) => Buffer.from(`${line}\n`))),
    timeoutMs: 120000,
  });
  assert.equal(status, 0);
  assert.equal(stderr.length, 0);
  const text = stdout.toString();
  assert.ok(text.endsWith('\n'));
  const answers = text.slice(0, -1).split('\n');
  assert.equal(answers.length, expected.length);
  for (let k = 0; k < answers.length; k++) {
    const want = expected[k];
    if (typeof want === 'function') assert.ok(want(answers[k]), `answer ${k}: ${answers[k].slice(0, 200)}`);
    else if (answers[k] !== want) assert.fail(`answer ${k}: ${answers[k].slice(0, 200)} instead of ${want.slice(0, 200)}`);
  }
});
