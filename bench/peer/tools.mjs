// The three market tools as the peers offer them: the records, the catalogue and each answer,
// written as ours writes them. A handshake revision from 2025-06-18 on gets what ours gives it
// there (tool titles and annotations, an invalid-arguments text for a query that is no string,
// a protocol error for an unknown tool, the empty resource and prompt lists); any other gets the
// 2024-11-05 answers, as ours serves any revision it does not speak.

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

const SEARCH_TOOL = 'market_search_products';
const REVIEW_TOOL = 'market_review_defects';
const MEDICINE_TOOL = 'market_jan_aushadhi';

// The tool text of a search whose query is no string, from 2025-06-18 on.
const QUERY_NOT_A_STRING =
  'Invalid arguments: "query" must be a string (a keyword, an ASIN or a platform such as ' +
  'Flipkart); leave it out to list every product.';

// The handshake revisions that get the later answers.
const NEWER_REVISIONS = new Set(['2025-06-18', '2025-11-25']);

// The tool catalogue, with the titles, annotations and schema details of the later revisions when
// `newer`.
function catalogue(newer) {
  const annotations = {
    readOnlyHint: true, destructiveHint: false, idempotentHint: true, openWorldHint: false,
  };
  const entry = (name, title, description, inputSchema) =>
    (newer ? { name, title, description, inputSchema, annotations } : { name, description, inputSchema });
  const query = { type: 'string' };
  if (newer) {
    query.description = 'Keyword, ASIN or platform to look for, matched case-insensitively in the ' +
      'title, then the identifier, then the platform. Leave it out to list every product.';
  }
  const empty = () => (newer ? { type: 'object', properties: {} } : { type: 'object' });
  return [
    entry(SEARCH_TOOL, 'Search Competitor Prices',
      'Search competitor prices across Amazon and Flipkart with sub-0.1ms latency.',
      { type: 'object', properties: { query } }),
    entry(REVIEW_TOOL, 'Review Defect Intelligence',
      'Extract manufacturing defect intelligence and fake review ratios.', empty()),
    entry(MEDICINE_TOOL, 'Jan Aushadhi Generic Match',
      'Match branded medicine to 70%+ cheaper Jan Aushadhi generic equivalent.', empty()),
  ];
}

// A JSON-RPC error as the SDK's request handlers pass it on: its code and its message unchanged.
function protocolError(code, message) {
  return Object.assign(new Error(message), { code });
}

/// What the tools answer under the handshake revision `version` (a string, or undefined when the
/// client named none): { tools, call(name, args), lists } where `lists` maps each list method the
/// revision has to its result.
export function answersFor(version) {
  const newer = NEWER_REVISIONS.has(version);
  const tools = catalogue(newer);
  const call = (name, args) => {
    if (name === SEARCH_TOOL) {
      const given = args !== null && typeof args === 'object' && 'query' in args;
      if (newer && given && typeof args.query !== 'string') {
        return { content: [{ type: 'text', text: QUERY_NOT_A_STRING }], isError: true };
      }
      return textResult(searchProducts(given && typeof args.query === 'string' ? args.query : ''));
    }
    if (name === REVIEW_TOOL) return textResult(REVIEWS);
    if (name === MEDICINE_TOOL) return textResult(MEDICINES);
    if (newer) throw protocolError(-32602, `Unknown tool: ${name ?? ''}`);
    return textResult({ error: `Tool '${name}' not found` });
  };
  const lists = newer
    ? { 'resources/list': { resources: [] }, 'resources/templates/list': { resourceTemplates: [] },
      'prompts/list': { prompts: [] } }
    : {};
  return { tools, call, lists };
}

/// The name and version the peers give, as ours does.
export const SERVER_INFO = { name: 'quillon_market_radar', version: '1.0.0' };
