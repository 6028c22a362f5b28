'use strict';
// The TypeScript MCP SDK's server, for SdkSideBySideBench to measure beside Tavrin's: it listens
// on a Unix socket, speaks one JSON-RPC message per line (the SDK's stdio framing) with one
// server per connection, lists the tools of the file given (Tavrin's own listing) and answers
// "echo" with its text. Prints "ready" once it listens.
//
//   NODE_PATH=build-test/node/node_modules node sdk-echo-server.cjs <socket> <tools.json>

const fs = require('node:fs');
const net = require('node:net');
const { Server } = require('@modelcontextprotocol/sdk/server/index.js');
const { StdioServerTransport } = require('@modelcontextprotocol/sdk/server/stdio.js');
const {
  CallToolRequestSchema,
  ErrorCode,
  ListToolsRequestSchema,
  McpError,
} = require('@modelcontextprotocol/sdk/types.js');

const [socketPath, toolsFile] = process.argv.slice(2);
const tools = JSON.parse(fs.readFileSync(toolsFile, 'utf8')).tools;
tools.push({
  name: 'echo',
  description: 'Answers its text.',
  inputSchema: { type: 'object', properties: { text: { type: 'string' } } },
});

function serve(socket) {
  const server = new Server({ name: 'sdk-echo', version: '1.0.0' },
                            { capabilities: { tools: {} } });
  server.setRequestHandler(ListToolsRequestSchema, async () => ({ tools }));
  server.setRequestHandler(CallToolRequestSchema, async (request) => {
    if (request.params.name !== 'echo') {
      throw new McpError(ErrorCode.MethodNotFound, `Unknown tool: ${request.params.name}`);
    }
    const text = String(request.params.arguments?.text ?? '');
    return { content: [{ type: 'text', text }] };
  });
  socket.on('error', () => socket.destroy());
  socket.on('close', () => server.close().catch(() => {}));
  server.connect(new StdioServerTransport(socket, socket));
}

fs.rmSync(socketPath, { force: true });
net.createServer(serve).listen(socketPath, () => process.stdout.write('ready\n'));
