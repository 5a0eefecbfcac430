// The same three market tools (tools.mjs) over the official MCP TypeScript SDK's own Streamable
// HTTP server, set up as its documentation sets up a stateless server: the SDK's Express app for
// a loopback address (which refuses a Host other than localhost, 127.0.0.1 and [::1]), and for each
// POST to /mcp a fresh Server and transport with no session, answering with one JSON object and
// no event stream; GET and DELETE get 405. Each request is answered under its
// MCP-Protocol-Version header, as ours answers it. bench/mcp-http measures it beside ours.
//   node http_server.mjs [PORT]     (0, the default, takes a free port)
// Once listening it prints "listening on http://127.0.0.1:PORT/mcp".
import { createMcpExpressApp } from '@modelcontextprotocol/sdk/server/express.js';
import { Server } from '@modelcontextprotocol/sdk/server/index.js';
import { StreamableHTTPServerTransport } from '@modelcontextprotocol/sdk/server/streamableHttp.js';
import { CallToolRequestSchema, ListToolsRequestSchema } from '@modelcontextprotocol/sdk/types.js';

import { SERVER_INFO, answersFor } from './tools.mjs';

const HOST = '127.0.0.1';

// A Server whose tools answer as ours does under `version`. The low-level Server rather than
// McpServer: it lets an unknown tool get our error, and the resource and prompt lists
// be answered without announcing those capabilities, as ours answers them.
function serverFor(version) {
  const { tools, call, lists } = answersFor(version);
  const server = new Server(SERVER_INFO, { capabilities: { tools: {} } });
  server.setRequestHandler(ListToolsRequestSchema, () => ({ tools }));
  server.setRequestHandler(CallToolRequestSchema, (request) =>
    call(request.params.name, request.params.arguments));
  server.fallbackRequestHandler = async (request) => {
    const result = lists[request.method];
    if (result) return result;
    throw Object.assign(new Error('Method not found'), { code: -32601 });
  };
  return server;
}

const app = createMcpExpressApp({ host: HOST });

app.post('/mcp', async (req, res) => {
  const server = serverFor(req.headers['mcp-protocol-version']);
  const transport = new StreamableHTTPServerTransport({
    sessionIdGenerator: undefined,
    enableJsonResponse: true,
  });
  res.on('close', () => {
    transport.close();
    server.close();
  });
  try {
    await server.connect(transport);
    await transport.handleRequest(req, res, req.body);
  } catch (error) {
    if (!res.headersSent) {
      res.status(500).json({ jsonrpc: '2.0', error: { code: -32603, message: 'Internal error' }, id: null });
    }
    console.error(error);
  }
});

const methodNotAllowed = (req, res) => {
  res.status(405).set('Allow', 'POST').json({
    jsonrpc: '2.0', error: { code: -32000, message: 'Method not allowed.' }, id: null,
  });
};
app.get('/mcp', methodNotAllowed);
app.delete('/mcp', methodNotAllowed);

const port = Number(process.argv[2] ?? 0);
const listener = app.listen(port, HOST, () => {
  console.log(`listening on http://${HOST}:${listener.address().port}/mcp`);
});
// Ends on SIGTERM or SIGINT without a word, as the bench stops it.
for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => process.exit(0));
