// The tool server a user would otherwise write: the same three market tools with the same tool
// texts (tools.mjs), on the official MCP TypeScript SDK (its Server over StdioServerTransport).
// bench/mcp measures it side by side with ours.
import { Server } from '@modelcontextprotocol/sdk/server/index.js';
import { StdioServerTransport } from '@modelcontextprotocol/sdk/server/stdio.js';
import { CallToolRequestSchema, ListToolsRequestSchema } from '@modelcontextprotocol/sdk/types.js';

import { SERVER_INFO, answersFor } from './tools.mjs';

// It answers as ours answers a client of 2024-11-05, the revision bench/mcp speaks.
const { tools, call } = answersFor('2024-11-05');

// The low-level Server rather than McpServer: it lets an unknown tool answer with the same text
// as ours instead of the SDK's own error result.
const server = new Server(SERVER_INFO, { capabilities: { tools: {} } });
server.setRequestHandler(ListToolsRequestSchema, () => ({ tools }));
server.setRequestHandler(CallToolRequestSchema, (request) =>
  call(request.params.name, request.params.arguments));

await server.connect(new StdioServerTransport());
