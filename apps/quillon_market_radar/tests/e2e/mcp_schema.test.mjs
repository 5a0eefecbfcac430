// Every answer of a whole tool-server session, one session per protocol revision, held to that
// revision's message schemas as the official packages ship them: the 1.x SDK's for the handshake
// revisions, the 2.x core package's for the per-request one, where each request names its revision
// in `_meta`; and the answers the schemas let through either way, as ../revisions.json has them.
// Then the session of a client that declares the market view, in each revision: its answers held
// to the same schemas and to the view extension's own (ext-apps), and what it must get.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { getToolUiResourceUri, McpUiResourceMetaSchema, McpUiToolMetaSchema, RESOURCE_MIME_TYPE,
  RESOURCE_URI_META_KEY } from '@modelcontextprotocol/ext-apps/app-bridge';

import { Client } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';
import * as modernTypes from '@modelcontextprotocol/core';
import * as legacyTypes from '@modelcontextprotocol/sdk/types.js';

import { REVISIONS } from '../revisions.mjs';

const BINARY = process.env.QMR_BINARY;
if (!BINARY) throw new Error('QMR_BINARY must name the built quillon_market_radar');

// Each revision's validators, by method, for the result of a request and for any answer's envelope.
const zod = (schema) => (value) => {
  const parsed = schema.safeParse(value);
  return parsed.success ? [] : parsed.error.issues;
};
const LEGACY = {
  envelope: zod(legacyTypes.JSONRPCResponseSchema),
  initialize: zod(legacyTypes.InitializeResultSchema),
  ping: zod(legacyTypes.EmptyResultSchema),
  'tools/list': zod(legacyTypes.ListToolsResultSchema),
  'tools/call': zod(legacyTypes.CallToolResultSchema),
  'resources/list': zod(legacyTypes.ListResourcesResultSchema),
  'resources/templates/list': zod(legacyTypes.ListResourceTemplatesResultSchema),
  'resources/read': zod(legacyTypes.ReadResourceResultSchema),
  'prompts/list': zod(legacyTypes.ListPromptsResultSchema),
};
const MODERN = {
  envelope: zod(modernTypes.JSONRPCResponseSchema),
  'server/discover': zod(modernTypes.DiscoverResultSchema),
  'tools/list': zod(modernTypes.ListToolsResultSchema),
  'tools/call': zod(modernTypes.CallToolResultSchema),
  'resources/list': zod(modernTypes.ListResourcesResultSchema),
  'resources/templates/list': zod(modernTypes.ListResourceTemplatesResultSchema),
  'resources/read': zod(modernTypes.ReadResourceResultSchema),
  'prompts/list': zod(modernTypes.ListPromptsResultSchema),
};

const SCHEMAS = { handshake: LEGACY, 'per-request': MODERN };

const MODERN_REVISION = REVISIONS.find(({ era }) => era === 'per-request').name;
// The newest handshake revision, which a request of the per-request era may not name in `_meta`.
const HANDSHAKE_REVISION = REVISIONS.findLast(({ era }) => era === 'handshake').name;
const CLIENT_INFO = { name: 'quillon-e2e', version: '1.0.0' };
const TOOL_CALLS = [
  { name: 'market_search_products', arguments: { query: 'noise' } },
  { name: 'market_search_products' },
  { name: 'market_search_products', arguments: { query: 42 } },
  { name: 'market_review_defects', arguments: {} },
  { name: 'market_jan_aushadhi' },
  { name: 'market_unknown', arguments: {} },
];
const LISTS = ['tools/list', 'resources/list', 'resources/templates/list', 'prompts/list'];

// The session's requests as [method, params]; a notifications/ method is sent without an id.
function session({ name: revision, era }) {
  if (era === 'per-request') {
    const meta = (version = revision) => ({ _meta: {
      'io.modelcontextprotocol/protocolVersion': version,
      'io.modelcontextprotocol/clientInfo': CLIENT_INFO,
      'io.modelcontextprotocol/clientCapabilities': {},
    } });
    return [
      ['server/discover', meta()],
      ...LISTS.map((method) => [method, meta()]),
      ...TOOL_CALLS.map((call) => ['tools/call', { ...call, ...meta() }]),
      ['ping', meta()],
      ['no/such/method', meta()],
      ['tools/list', meta(HANDSHAKE_REVISION)],
    ];
  }
  return [
    ['initialize', { protocolVersion: revision, capabilities: {}, clientInfo: CLIENT_INFO }],
    ['notifications/initialized', null],
    ['ping', {}],
    ...LISTS.map((method) => [method, {}]),
    ...TOOL_CALLS.map((call) => ['tools/call', call]),
    ['no/such/method', {}],
  ];
}

// Sends `requests` ([method, params], a notifications/ method without an id) through one server
// process; returns the requests that have an id and their answers, which must come in their order.
async function converse(requests) {
  const sent = requests.map(([method, params], index) =>
    ({ method, params, id: method.startsWith('notifications/') ? undefined : index + 1 }));
  const answers = (await exchange(sent.map(({ id, method, params }) =>
    JSON.stringify({ jsonrpc: '2.0', ...(id && { id }), method, ...(params && { params }) }))))
    .map((line) => JSON.parse(line));
  const asked = sent.filter(({ id }) => id !== undefined);
  assert.deepEqual(answers.map((answer) => answer.id), asked.map(({ id }) => id));
  return { asked, answers };
}

// The answers of `asked` that `schemas` do not let through, with what is wrong with them.
function outsideSchemas(schemas, asked, answers) {
  const failures = [];
  for (const [i, answer] of answers.entries()) {
    const { method } = asked[i];
    const issues = schemas.envelope(answer);
    if (answer.result) issues.push(...(schemas[method]?.(answer.result) ?? [{ message: 'no result expected' }]));
    if (issues.length) failures.push({ method, answer, issues });
  }
  return failures;
}

// Runs `lines` through one server process and returns what it wrote, line by line.
async function exchange(lines) {
  const child = spawn(BINARY, ['mcp'], { stdio: ['pipe', 'pipe', 'pipe'] });
  const out = [];
  const err = [];
  child.stdout.on('data', (chunk) => out.push(chunk));
  child.stderr.on('data', (chunk) => err.push(chunk));
  const exited = new Promise((resolve) => child.on('close', resolve));
  child.stdin.end(lines.map((line) => `${line}\n`).join(''));
  assert.equal(await exited, 0);
  assert.equal(Buffer.concat(err).toString(), '');
  return Buffer.concat(out).toString().split('\n').filter((line) => line !== '');
}

for (const expected of REVISIONS) {
  const revision = expected.name;
  test(`every answer of a ${revision} session validates against that revision's schemas`, async (t) => {
    const { asked, answers } = await converse(session(expected));
    const failures = outsideSchemas(SCHEMAS[expected.era], asked, answers);
    const outcomes = {};
    for (const [i, answer] of answers.entries()) {
      outcomes[`${asked[i].method} ${JSON.stringify(asked[i].params?.name ?? '')}`] = answer.error?.code ?? 'result';
    }
    t.diagnostic(`${revision}: ${answers.length} answers, ${failures.length} outside the schemas`);
    assert.deepEqual(failures, []);

    // The schemas let these through either way: the answer each request must get.
    const answered = (yes) => (yes ? 'result' : -32601);
    assert.equal(outcomes['tools/call "market_unknown"'], expected.unknownTool);
    assert.equal(outcomes['no/such/method ""'], -32601);
    assert.equal(outcomes['ping ""'], answered(expected.ping));
    assert.equal(outcomes['resources/list ""'], answered(expected.resourcesList));
    if (expected.era === 'handshake') assert.equal(answers[0].result.protocolVersion, revision);
    else assert.equal(answers.at(-1).error.code, -32022);
    const tools = answers.find((answer) => answer.result?.tools).result.tools;
    assert.equal(tools.length, 3);
    if (expected.toolsTitled) {
      // Several model APIs refuse a tool whose schema is not an object with properties.
      for (const tool of tools) {
        assert.equal(tool.inputSchema.type, 'object', tool.name);
        assert.equal(Object.prototype.toString.call(tool.inputSchema.properties), '[object Object]', tool.name);
      }
    }
  });
}

// The core package's types above are lenient about the per-request revision's cache fields; the
// 2.x client pinned to that revision decodes every result through its stricter wire schemas
// (ttlMs and cacheScope required on a list, for one) and rejects the call when one does not fit:
// as a client that does not declare the view, and as one that does and reads it.
test(`${MODERN_REVISION}: every list and tool result passes the 2.x client's wire decoding`, async () => {
  for (const capabilities of [{}, { extensions: { 'io.modelcontextprotocol/ui': { mimeTypes: [RESOURCE_MIME_TYPE] } } }]) {
    const client = new Client(CLIENT_INFO, { capabilities, versionNegotiation: { mode: { pin: MODERN_REVISION } } });
    const clientErrors = [];
    client.onerror = (error) => clientErrors.push(error.message);
    await client.connect(new StdioClientTransport({ command: BINARY, args: ['mcp'] }));
    try {
      // A plain request: the client's list helpers skip what the capabilities leave out.
      for (const method of LISTS) await client.request({ method, params: {} });
      for (const call of TOOL_CALLS.filter(({ name }) => name !== 'market_unknown')) await client.callTool(call);
      const { resources } = await client.request({ method: 'resources/list', params: {} });
      if (capabilities.extensions) await client.readResource({ uri: resources[0].uri });
      else assert.deepEqual(resources, []);
    } finally {
      await client.close();
    }
    assert.deepEqual(clientErrors, []);
  }
});

// A line that is JSON but no object, in the newest handshake revision: its answer leaves out the id
// it cannot read (the older revisions answer "id": null, which no revision's schema allows).
test('a line that is no object gets an answer within the schemas', async () => {
    const initialize = { jsonrpc: '2.0', id: 1, method: 'initialize',
      params: { protocolVersion: HANDSHAKE_REVISION, capabilities: {}, clientInfo: CLIENT_INFO } };
    const [, answer] = (await exchange([JSON.stringify(initialize), '[]'])).map((line) => JSON.parse(line));
    assert.deepEqual([...LEGACY.envelope(answer), ...MODERN.envelope(answer)], []);
  });

// The session of a client that declares the view, in its revision's way: in `initialize`, or in
// each request's `_meta`. Both end with the same tool call made without the declaration: after a
// second `initialize`, or in a request that does not declare it.
const VIEW_URI = 'ui://quillon_market_radar/market_view.html';
const VIEW_HTML = readFileSync(new URL('../../src/mcp/view/market_view.html', import.meta.url), 'utf8');
const DECLARED = { extensions: { 'io.modelcontextprotocol/ui': { mimeTypes: ['text/plain', RESOURCE_MIME_TYPE] } } };
const SEARCH = { name: 'market_search_products', arguments: { query: 'a' } };
// An address that is not the view's, which the answer must give back as it was sent.
const OTHER_URI = `${VIEW_URI}?"é\u0001\\`;
function viewSession({ name: revision, era }) {
  const requests = (meta) => [
    ...['tools/list', 'resources/list', 'resources/templates/list'].map((method) => [method, { ...meta }]),
    ['resources/read', { uri: VIEW_URI, ...meta }],
    ['resources/read', { uri: OTHER_URI, ...meta }],
    ['tools/call', { ...SEARCH, ...meta }],
  ];
  if (era === 'per-request') {
    const meta = (capabilities) => ({ _meta: { 'io.modelcontextprotocol/protocolVersion': revision,
      'io.modelcontextprotocol/clientInfo': CLIENT_INFO, 'io.modelcontextprotocol/clientCapabilities': capabilities } });
    return [['server/discover', meta(DECLARED)], ...requests(meta(DECLARED)), ['tools/call', { ...SEARCH, ...meta({}) }]];
  }
  const initialize = (capabilities) =>
    ['initialize', { protocolVersion: revision, capabilities, clientInfo: CLIENT_INFO }];
  return [initialize(DECLARED), ['notifications/initialized', null], ...requests({}), initialize({}),
    ['tools/call', SEARCH]];
}

for (const expected of REVISIONS) {
  test(`${expected.name}: a client that declares the view gets it, within the schemas`, async () => {
    const { asked, answers } = await converse(viewSession(expected));
    const failures = outsideSchemas(SCHEMAS[expected.era], asked, answers);
    // The extension's own schemas, for what it puts in tools and resources.
    const uiMeta = (schema, carrier) => {
      const issues = zod(schema)(carrier._meta?.ui);
      if (issues.length) failures.push({ carrier, issues });
    };
    const [capabilities, tools, listed, templates, read, missing, call] = answers;
    const callWithout = answers.at(-1);
    for (const tool of tools.result.tools) uiMeta(McpUiToolMetaSchema, tool);
    for (const resource of listed.result.resources) uiMeta(McpUiResourceMetaSchema, resource);
    uiMeta(McpUiResourceMetaSchema, read.result.contents[0]);
    assert.deepEqual(failures, []);

    assert.deepEqual(capabilities.result.capabilities,
      { extensions: { 'io.modelcontextprotocol/ui': {} }, resources: {}, tools: {} });
    for (const tool of tools.result.tools) {
      assert.equal(getToolUiResourceUri(tool), VIEW_URI, tool.name);
      assert.equal(tool._meta[RESOURCE_URI_META_KEY], VIEW_URI, tool.name);
    }
    assert.deepEqual(listed.result.resources.map(({ uri, mimeType, name, title }) => ({ uri, mimeType, name, title })),
      [{ uri: VIEW_URI, mimeType: RESOURCE_MIME_TYPE, name: 'market_view',
        title: expected.toolsTitled ? 'Market view' : undefined }]);
    assert.deepEqual(templates.result.resourceTemplates, []);
    assert.equal(read.result.contents.length, 1);
    const { uri, mimeType, text } = read.result.contents[0];
    assert.deepEqual({ uri, mimeType }, { uri: VIEW_URI, mimeType: RESOURCE_MIME_TYPE });
    assert.equal(text, VIEW_HTML);
    assert.deepEqual(missing.error,
      { code: expected.missingResource, message: 'Resource not found', data: { uri: OTHER_URI } });
    // The tools answer as they do for any client: the same text, nothing structured.
    assert.equal(call.result.structuredContent, undefined);
    assert.deepEqual(call.result, callWithout.result);
  });
}
