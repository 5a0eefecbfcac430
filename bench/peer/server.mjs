// The tool server a user would otherwise write: the same three market tools with the same tool
// texts, on the official MCP TypeScript SDK (its Server over StdioServerTransport). bench/mcp
// measures it side by side with ours.
import { Server } from '@modelcontextprotocol/sdk/server/index.js';
import { StdioServerTransport } from '@modelcontextprotocol/sdk/server/stdio.js';
import { CallToolRequestSchema, ListToolsRequestSchema } from '@modelcontextprotocol/sdk/types.js';

// RFC 3339 in UTC with a "+00:00" offset and the fraction only as long as needed, like ours.
function nowRfc3339() {
  const text = new Date().toISOString(); // 2026-01-02T03:04:05.678Z
  const [whole, millis] = text.slice(0, -1).split('.');
  const fraction = millis === '000' ? '' : `.${millis}`;
  return `${whole}${fraction}+00:00`;
}

const checked = nowRfc3339();
const PRODUCTS = [
  {
    sku_asin: 'B09G9FPHY6', title: 'Noise ColorFit Pulse Grand Smart Watch', platform: 'Amazon.in',
    original_price_inr: 1999.0, current_price_inr: 1299.0, competitor_price_inr: 1149.0,
    price_delta_percent: -11.54, stock_status: 'IN_STOCK', last_checked_utc: checked,
  },
  {
    sku_asin: 'SKU-BOAT-AIRDOPES-141', title: 'boAt Airdopes 141 ANC TWS Earbuds',
    platform: 'Flipkart', original_price_inr: 1499.0, current_price_inr: 1399.0,
    competitor_price_inr: 1349.0, price_delta_percent: -3.57, stock_status: 'LOW_STOCK',
    last_checked_utc: checked,
  },
];
const REVIEWS = [
  {
    product_asin: 'B09G9FPHY6', total_reviews_analyzed: 4200, fake_review_ratio_percent: 28.4,
    top_defects: [
      'Display flickering after 30 days (14.2%)',
      'Charging dock magnetic pin loose (9.8%)',
      'Inaccurate step counter algorithm (7.1%)',
    ],
    manufacturer_defect_score: 8.6,
  },
];
const MEDICINES = [
  {
    branded_medicine_name: 'Augmentin 625 Duo Tablet', branded_price_inr: 204.0,
    salt_composition: 'Amoxycillin (500mg) + Clavulanic Acid (125mg)',
    jan_aushadhi_generic_name: 'Amoxycillin & Potassium Clavulanate Tablets IP 625mg',
    jan_aushadhi_price_inr: 58.0, savings_percent: 71.57,
  },
];

// The members that are floating-point numbers, written with ".0" when integral (1999.0), as the
// tool texts of ours are; JSON.stringify alone would write 1999.
const FLOAT_KEYS = new Set([
  'original_price_inr', 'current_price_inr', 'competitor_price_inr', 'price_delta_percent',
  'fake_review_ratio_percent', 'manufacturer_defect_score', 'branded_price_inr',
  'jan_aushadhi_price_inr', 'savings_percent',
]);

// Compact JSON with object members in byte-wise key order, like the tool texts of ours.
function encode(value, key) {
  if (Array.isArray(value)) return `[${value.map((element) => encode(element)).join(',')}]`;
  if (value !== null && typeof value === 'object') {
    const keys = Object.keys(value).sort((a, b) => (Buffer.compare(Buffer.from(a), Buffer.from(b))));
    return `{${keys.map((name) => `${JSON.stringify(name)}:${encode(value[name], name)}`).join(',')}}`;
  }
  if (typeof value === 'number' && FLOAT_KEYS.has(key) && Number.isInteger(value)) {
    return `${value}.0`;
  }
  return JSON.stringify(value);
}

function textResult(value) {
  return { content: [{ type: 'text', text: encode(value) }] };
}

function searchProducts(query) {
  const needle = query.toLowerCase();
  return PRODUCTS.filter(
    (product) =>
      product.title.toLowerCase().includes(needle) ||
      product.sku_asin.toLowerCase().includes(needle) ||
      product.platform.toLowerCase().includes(needle),
  );
}

// The catalogue as ours announces it.
const TOOLS = [
  {
    name: 'market_search_products',
    description: 'Search competitor prices across Amazon and Flipkart with sub-0.1ms latency.',
    inputSchema: { type: 'object', properties: { query: { type: 'string' } } },
  },
  {
    name: 'market_review_defects',
    description: 'Extract manufacturing defect intelligence and fake review ratios.',
    inputSchema: { type: 'object' },
  },
  {
    name: 'market_jan_aushadhi',
    description: 'Match branded medicine to 70%+ cheaper Jan Aushadhi generic equivalent.',
    inputSchema: { type: 'object' },
  },
];

// The low-level Server rather than McpServer: it lets an unknown tool answer with the same text
// as ours instead of the SDK's own error result.
const server = new Server(
  { name: 'quillon_market_radar', version: '1.0.0' },
  { capabilities: { tools: {} } },
);
server.setRequestHandler(ListToolsRequestSchema, () => ({ tools: TOOLS }));
server.setRequestHandler(CallToolRequestSchema, (request) => {
  const { name, arguments: args } = request.params;
  if (name === 'market_search_products') {
    const query = args && typeof args.query === 'string' ? args.query : '';
    return textResult(searchProducts(query));
  }
  if (name === 'market_review_defects') return textResult(REVIEWS);
  if (name === 'market_jan_aushadhi') return textResult(MEDICINES);
  return textResult({ error: `Tool '${name}' not found` });
});

await server.connect(new StdioServerTransport());
