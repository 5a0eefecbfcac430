// A real host for the market view: AppBridge from @modelcontextprotocol/ext-apps running in
// headless Chromium (mcp_app_host.html), the built program behind it over stdio through the SDK's
// client. Every request the browser makes is answered here, none leaves the process: the host page
// and the bridge's modules (an import map onto node_modules) from disk, and the view as the
// program gives it to resources/read, served with the policy hosts apply to a resource that
// declares none. Each request is recorded
// with the frame that made it, as are console errors, page errors and policy violations.
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { getToolUiResourceUri } from '@modelcontextprotocol/ext-apps/app-bridge';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { chromium } from 'playwright-core';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const MODULES = path.join(HERE, 'node_modules');
const CHROMIUM = '/usr/bin/chromium';
const ORIGIN = 'http://quillon-host.localhost';
export const VIEW_URL = `${ORIGIN}/view.html`;
const VIEW_MIME = 'text/html;profile=mcp-app';
const DEFAULT_POLICY = "default-src 'none'; script-src 'self' 'unsafe-inline'; " +
  "style-src 'self' 'unsafe-inline'; img-src 'self' data:; media-src 'self' data:; connect-src 'none'";

// The view's HTML, as a host gets it from the program behind `client`: each tool points to the
// view's ui:// address, which resources/read gives as an MCP App's HTML.
async function loadView(client, tools) {
  const uris = new Set(tools.map((tool) => getToolUiResourceUri(tool)));
  if (uris.size !== 1 || !uris.values().next().value?.startsWith('ui://')) {
    throw new Error(`the tools point to ${[...uris].join(', ')}, not to one view`);
  }
  const [uri] = uris;
  const { contents } = await client.readResource({ uri });
  if (contents.length !== 1 || contents[0].uri !== uri || contents[0].mimeType !== VIEW_MIME) {
    throw new Error(`resources/read of ${uri} gave ${JSON.stringify(contents.map(({ text, ...rest }) => rest))}`);
  }
  return contents[0].text;
}

// The browser's resolution of a package specifier: the package's "exports" under the browser
// conditions, else its "module" or "main".
function resolvePackage(specifier) {
  const name = specifier.split('/').slice(0, specifier.startsWith('@') ? 2 : 1).join('/');
  const subpath = `.${specifier.slice(name.length)}`;
  const manifest = JSON.parse(readFileSync(path.join(MODULES, name, 'package.json'), 'utf8'));
  const pick = (entry) => {
    if (typeof entry === 'string' || !entry) return entry;
    for (const condition of ['browser', 'import', 'default']) {
      if (entry[condition]) return pick(entry[condition]);
    }
    return undefined;
  };
  const exports = manifest.exports;
  const target = exports
    ? pick(typeof exports === 'string' || !('.' in exports) ? (subpath === '.' ? exports : undefined) : exports[subpath])
    : (subpath === '.' ? manifest.module ?? manifest.main : subpath);
  if (!target) throw new Error(`cannot resolve ${specifier} for the browser`);
  return path.join(name, target);
}

// The import map of the host page: each package specifier reached from the bridge's module, and
// the set of files under node_modules the page may load.
function importMap() {
  const imports = {};
  const files = new Set();
  const visit = (file) => {
    if (files.has(file)) return;
    files.add(file);
    const source = readFileSync(path.join(MODULES, file), 'utf8');
    for (const [, specifier] of source.matchAll(/(?:\bimport|\bexport)\s*(?:[\w*{}\s,$]*from\s*)?["']([^"']+)["']/g)) {
      if (specifier.startsWith('.')) {
        visit(path.join(path.dirname(file), specifier));
      } else {
        const target = resolvePackage(specifier);
        imports[specifier] = `/node_modules/${target}`;
        visit(target);
      }
    }
  };
  const entry = '@modelcontextprotocol/ext-apps/app-bridge';
  imports[entry] = `/node_modules/${resolvePackage(entry)}`;
  visit(resolvePackage(entry));
  return { imports, files };
}

// Starts the program's tool server behind the SDK's client (declaring the view's MIME type), and
// Chromium on the host page. `calls` and `downloads` record what views asked the host for; `hold`
// keeps the views' tool calls from the program until the function it returns is called. `options`
// are more of the program's (`--data DIR`).
export async function startHost(options = []) {
  const transport = new StdioClientTransport({ command: process.env.QMR_BINARY, args: ['mcp', ...options], stderr: 'pipe' });
  const stderr = [];
  transport.stderr.on('data', (chunk) => stderr.push(chunk));
  const client = new Client({ name: 'quillon-e2e-host', version: '1.0.0' }, {
    capabilities: { extensions: { 'io.modelcontextprotocol/ui': { mimeTypes: [VIEW_MIME] } } },
  });
  await client.connect(transport);
  const { tools } = await client.listTools();

  const { imports, files } = importMap();
  const hostPage = readFileSync(path.join(HERE, 'mcp_app_host.html'), 'utf8').replace('<!-- IMPORT MAP -->',
    `<script type="importmap">${JSON.stringify({ imports })}</script>`);
  const view = await loadView(client, tools);
  const profile = mkdtempSync(path.join(tmpdir(), 'qmr-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic'],
    // Tall enough for every frame: Chromium runs no rendering step in a sandboxed frame out of sight.
    viewport: { width: 800, height: 4000 },
  });
  const page = context.pages()[0] ?? (await context.newPage());

  const requests = [];
  const problems = [];
  const violations = [];
  const calls = [];
  const downloads = [];
  let gate = Promise.resolve();
  context.on('request', (request) => {
    const frame = request.frame();
    requests.push({ url: request.url(), byHost: frame === page.mainFrame(), navigation: request.isNavigationRequest() });
  });
  await context.route('**/*', (route) => {
    const url = new URL(route.request().url());
    const file = url.pathname.slice('/node_modules/'.length);
    if (url.origin === ORIGIN && url.pathname === '/') {
      return route.fulfill({ contentType: 'text/html; charset=utf-8', body: hostPage });
    }
    if (url.origin === ORIGIN && url.pathname === '/view.html') {
      return route.fulfill({ body: view,
        headers: { 'content-type': 'text/html; charset=utf-8', 'content-security-policy': DEFAULT_POLICY } });
    }
    if (url.origin === ORIGIN && url.pathname.startsWith('/node_modules/') && files.has(file)) {
      return route.fulfill({ contentType: 'text/javascript', body: readFileSync(path.join(MODULES, file)) });
    }
    return route.abort();
  });
  page.on('console', (message) => {
    if (message.type() === 'error') problems.push(`console: ${message.text()} at ${message.location().url}`);
  });
  page.on('pageerror', (error) => problems.push(`page: ${error.message}`));
  await page.exposeFunction('qmrViolation', (what) => violations.push(what));
  await context.addInitScript(() => document.addEventListener('securitypolicyviolation',
    (event) => window.qmrViolation(`${event.violatedDirective} ${event.blockedURI}`)));
  await page.exposeFunction('qmrCallTool', async (params) => {
    calls.push(params);
    await gate;
    return client.callTool(params);
  });
  await page.exposeFunction('qmrDownload', (name, params) => { downloads.push({ name, ...params }); });
  await page.goto(`${ORIGIN}/`);
  await page.waitForFunction(() => window.host !== undefined);

  return {
    client, tools, view, page, requests, problems, violations, calls, downloads,
    stderr: () => Buffer.concat(stderr).toString(),
    hold() {
      let release;
      gate = new Promise((resolve) => { release = resolve; });
      return release;
    },
    // The frame of view `name`, for reading what the seller sees.
    frame: (name) => page.frameLocator(`iframe[title="${name}"]`),
    mount: (name, capabilities, hostContext) =>
      page.evaluate(([n, c, h]) => window.host.mount(n, '/view.html', c, h), [name, capabilities, hostContext]),
    host: (method, ...args) => page.evaluate(([m, a]) => window.host[m](...a), [method, args]),
    // Resolves once no frame has changed its height for a tenth of a second.
    async settled() {
      const sizes = () => page.evaluate(() => [...document.querySelectorAll('iframe')].map(
        (frame) => frame.getBoundingClientRect().height));
      let before = await sizes();
      for (let i = 0; i < 50; i++) {
        await page.waitForTimeout(100);
        const after = await sizes();
        if (after.join() === before.join()) return;
        before = after;
      }
      throw new Error('the frames did not settle on a size');
    },
    // Saves as `file` the part of the host page the frames take.
    async screenshot(file) {
      await this.settled();
      const { right, bottom } = await page.evaluate(() => document.body.lastElementChild.getBoundingClientRect());
      await page.screenshot({ path: file, clip: { x: 0, y: 0, width: right + 16, height: bottom + 16 } });
    },
    async close() {
      await context.close();
      await client.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}
