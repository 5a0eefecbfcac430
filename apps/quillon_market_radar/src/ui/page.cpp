#include "ui/page.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace qmr::ui {

namespace {

// Each page is joined at compile time from raw literals that keep it readable as HTML, so the
// style rules both pages use are written once. Line ends are LF, and a page stops right after its
// closing tag, since the response carries its exact byte count.
struct Piece {
  std::string_view text;
  std::size_t dedent = 0;  // the spaces each of its lines loses
};

// Writes `pieces` one after another to `out` (when not null) and returns their size in bytes.
constexpr std::size_t join(std::span<const Piece> pieces, char* out) {
  std::size_t size = 0;
  for (const Piece& piece : pieces) {
    std::size_t skip = piece.dedent;
    for (const char c : piece.text) {
      if (skip > 0 && c == ' ') {
        --skip;
        continue;
      }
      skip = c == '\n' ? piece.dedent : 0;
      if (out != nullptr) out[size] = c;
      ++size;
    }
  }
  return size;
}

// The bytes of `PIECES` joined, at compile time.
template <const auto& PIECES>
constexpr auto JOINED = [] {
  std::array<char, join(PIECES, nullptr)> text{};
  join(PIECES, text.data());
  return text;
}();

// The rules of the page's body and container, the start and the end of its header's (between
// which the catalogue page lets the header wrap), and of the brand and its badge, as the fixed page
// indents them; the catalogue page takes them one step (4 spaces) further left.
constexpr std::string_view BODY_RULES = R"page(            body {
                background-color: var(--bg);
                color: var(--text);
                font-family: -apple-system, BlinkMacSystemFont, "Segoe UI", Roboto, sans-serif;
                margin: 0;
                padding: 24px;
            }
            .container {
                max-width: 1300px;
                margin: 0 auto;
            }
            .header {
                display: flex;
)page";
constexpr std::string_view HEADER_END = R"page(                justify-content: space-between;
                align-items: center;
                border-bottom: 1px solid var(--border);
                padding-bottom: 16px;
                margin-bottom: 24px;
            }
)page";
constexpr std::string_view BRAND_RULES = R"page(            .brand {
                font-size: 22px;
                font-weight: 800;
                color: #fff;
                letter-spacing: -0.5px;
            }
            .badge {
                background: rgba(6, 182, 212, 0.15);
                border: 1px solid var(--cyan);
                color: var(--cyan);
                padding: 4px 10px;
                border-radius: 9999px;
                font-size: 12px;
                font-weight: 600;
            }
)page";

constexpr std::string_view DASHBOARD_HEAD = R"page(<!DOCTYPE html>
<html lang="en">
    <head>
        <meta charset="UTF-8">
        <title>Quillon Market & Retail Intelligence | Varnel AI Labs</title>
        <style>
            :root {
                --bg: #06090e;
                --panel: #0d121c;
                --border: #1e2638;
                --emerald: #10b981;
                --gold: #e5a93c;
                --cyan: #06b6d4;
                --rose: #f43f5e;
                --text: #e2e8f0;
                --muted: #94a3b8;
            }
)page";
constexpr std::string_view DASHBOARD_REST = R"page(            .stats-grid {
                display: grid;
                grid-template-columns: repeat(4, 1fr);
                gap: 16px;
                margin-bottom: 24px;
            }
            .card {
                background: var(--panel);
                border: 1px solid var(--border);
                border-radius: 12px;
                padding: 18px;
            }
            .card-label {
                font-size: 13px;
                color: var(--muted);
                text-transform: uppercase;
                font-weight: 600;
            }
            .card-val {
                font-size: 26px;
                font-weight: 800;
                margin-top: 6px;
                color: #fff;
            }
            .card-sub {
                font-size: 12px;
                color: var(--cyan);
                margin-top: 4px;
            }
            table {
                width: 100%;
                border-collapse: collapse;
                background: var(--panel);
                border: 1px solid var(--border);
                border-radius: 12px;
                overflow: hidden;
                margin-top: 16px;
            }
            th, td {
                padding: 14px 16px;
                text-align: left;
                border-bottom: 1px solid var(--border);
                font-size: 14px;
            }
            th {
                background: rgba(30, 38, 56, 0.4);
                color: var(--muted);
                font-weight: 600;
            }
            .btn-alert {
                background: var(--cyan);
                color: #06090e;
                border: none;
                padding: 6px 12px;
                border-radius: 6px;
                font-weight: 700;
                cursor: pointer;
                font-size: 12px;
            }
            .btn-alert:hover {
                opacity: 0.9;
            }
        </style>
    </head>
    <body>
        <div class="container">
            <div class="header">
                <div>
                    <div class="brand">🛒 QUILLON MARKET & RETAIL INTELLIGENCE</div>
                    <div style="font-size: 13px; color: var(--muted); margin-top: 4px;">Competitor Price Tracker, Review Defect Miner & Jan Aushadhi Arbitrage | 0 Cloud Bills</div>
                </div>
                <span class="badge">TIER 3 QUILLON NODE</span>
            </div>
            <div class="stats-grid">
                <div class="card">
                    <div class="card-label">Tracked SKUs</div>
                    <div class="card-val" style="color: var(--cyan);">2 Active</div>
                    <div class="card-sub">Amazon.in & Flipkart</div>
                </div>
                <div class="card">
                    <div class="card-label">Price Discrepancy</div>
                    <div class="card-val" style="color: var(--rose);">-11.54%</div>
                    <div class="card-sub">Auto-Reprice Triggered</div>
                </div>
                <div class="card">
                    <div class="card-label">Medicine Arbitrage</div>
                    <div class="card-val" style="color: var(--emerald);">71.57% Off</div>
                    <div class="card-sub">Augmentin vs Jan Aushadhi</div>
                </div>
                <div class="card">
                    <div class="card-label">RAM Consumption</div>
                    <div class="card-val">11.2 MB</div>
                    <div class="card-sub">Air-Gapped E-Commerce Engine</div>
                </div>
            </div>
            <table>
                <thead>
                    <tr>
                        <th>SKU / ASIN</th>
                        <th>Product Title</th>
                        <th>Platform</th>
                        <th>Our Price</th>
                        <th>Competitor Price</th>
                        <th>Delta</th>
                        <th>Actions</th>
                    </tr>
                </thead>
                <tbody>
                    <tr>
                        <td><strong style="color: var(--cyan);">B09G9FPHY6</strong></td>
                        <td>Noise ColorFit Pulse Grand Smart Watch</td>
                        <td>Amazon.in</td>
                        <td>₹1,299.00</td>
                        <td><strong style="color: var(--rose);">₹1,149.00</strong></td>
                        <td><span style="color: var(--rose); font-weight: bold;">-11.54%</span></td>
                        <td><button class="btn-alert" onclick="testReprice()">Trigger Reprice</button></td>
                    </tr>
                    <tr>
                        <td><strong style="color: var(--cyan);">SKU-BOAT-141</strong></td>
                        <td>boAt Airdopes 141 ANC TWS Earbuds</td>
                        <td>Flipkart</td>
                        <td>₹1,399.00</td>
                        <td><strong style="color: var(--rose);">₹1,349.00</strong></td>
                        <td><span style="color: var(--rose); font-weight: bold;">-3.57%</span></td>
                        <td><button class="btn-alert" onclick="testReprice()">Trigger Reprice</button></td>
                    </tr>
                </tbody>
            </table>
        </div>
        <script>
            async function testReprice() {
                try {
                    const response = await fetch('/api/reprice', { method: 'POST' });
                    const result = await response.json();
                    alert('✅ Competitor Price Drop Alert Dispatched in ' + result.latency_micros + ' µs!');
                } catch (error) {
                    alert('Error: ' + error);
                }
            }
        </script>
    </body>
</html>)page";

constexpr Piece DASHBOARD_PIECES[] = {
    {DASHBOARD_HEAD}, {BODY_RULES}, {HEADER_END}, {BRAND_RULES}, {DASHBOARD_REST}};

// The catalogue page. Its rows come from GET "/api/products", a page at a time: the search is
// sent as "q" on every key typed, the order as "sort" (a click on a column's head sorts by it, a
// second click the other way), and the response's "X-Total-Count" gives the count of matches.
// Every request goes through `latest`, which draws only the latest answer of its kind, so answers
// that arrive out of order never show an older search or history. The count of the store is the
// total of an answer without a search, and the medicines line says what GET "/api/medicines"
// holds, in words when it is empty.
//
// A product's identifier is a button that opens its history under its row (one at a time), read
// from GET "/api/history" for the days chosen: an SVG chart of both series over the window the
// answer states, with the prices below the floor and above the ceiling shaded as bands and the
// window's alerts ringed (the SVG namespace is the template's own <svg>'s, so the page names no
// address), the summaries and the suggested price in the API's words, and Export CSV, which
// writes the shown points from the answer already drawn with the market view's rule: RFC 4180
// with CRLF, text a spreadsheet would run (=, +, -, @, tab or CR first) after a ', numbers as
// numbers. The alerts table draws the newest ALERT_ROWS of GET "/api/alerts" (the route answers
// every alert of its window). Colours follow the system's light or dark scheme.
constexpr std::string_view CATALOGUE_HEAD = R"page(<!DOCTYPE html>
<html lang="en">
<head>
    <meta charset="UTF-8">
    <meta name="viewport" content="width=device-width, initial-scale=1">
    <title>Quillon Market & Retail Intelligence | Varnel AI Labs</title>
    <style>
        :root {
            color-scheme: dark;
            --bg: #06090e;
            --panel: #0d121c;
            --border: #1e2638;
            --cyan: #06b6d4;
            --rose: #f43f5e;
            --emerald: #10b981;
            --gold: #e5a93c;
            --text: #e2e8f0;
            --muted: #94a3b8;
        }
)page";
constexpr std::string_view CATALOGUE_HEADER_WRAP = R"page(            flex-wrap: wrap;
            gap: 8px;
)page";
constexpr std::string_view CATALOGUE_REST = R"page(        .toolbar {
            display: flex;
            flex-wrap: wrap;
            gap: 12px;
            align-items: center;
        }
        input, select, .pager button, .history button {
            background: var(--panel);
            color: var(--text);
            border: 1px solid var(--border);
            border-radius: 6px;
            padding: 8px 12px;
            font-size: 14px;
        }
        input {
            flex: 1 1 240px;
        }
        table {
            width: 100%;
            border-collapse: collapse;
            background: var(--panel);
            border: 1px solid var(--border);
            margin-top: 16px;
        }
        th, td {
            padding: 10px 12px;
            text-align: left;
            border-bottom: 1px solid var(--border);
            font-size: 14px;
            overflow-wrap: anywhere;
        }
        th {
            background: rgba(30, 38, 56, 0.4);
        }
        th button, button.sku {
            background: none;
            border: none;
            padding: 0;
            color: var(--muted);
            font: inherit;
            font-weight: 600;
            cursor: pointer;
        }
        th[aria-sort="ascending"] button::after {
            content: " \25B2" / "";
        }
        th[aria-sort="descending"] button::after {
            content: " \25BC" / "";
        }
        .sku {
            color: var(--cyan);
            font-weight: 700;
        }
        .below, .alert {
            color: var(--rose);
            stroke: var(--rose);
        }
        .above {
            color: var(--emerald);
        }
        .pager {
            display: flex;
            gap: 12px;
            align-items: center;
            margin-top: 12px;
            color: var(--muted);
        }
        .pager button:disabled, .history button:disabled {
            opacity: 0.4;
        }
        .history { display: grid; grid-template-columns: repeat(auto-fit, minmax(400px, 1fr)); gap: 12px 24px; }
        .history .toolbar { grid-column: 1 / -1; }
        h3 { font-size: 13px; color: var(--muted); margin: 8px 0 4px; }
        svg { width: 100%; height: auto; }
        svg text { fill: var(--muted); font-size: 11px; }
        .grid { stroke: var(--border); }
        .band { fill: var(--muted); opacity: 0.2; }
        polyline, .alert { fill: none; stroke-width: 2; }
        circle { fill: var(--panel); }
        .ours { color: var(--cyan); stroke: var(--cyan); }
        .competitor { color: var(--gold); stroke: var(--gold); }
        @media (prefers-color-scheme: light) {
            :root {
                color-scheme: light;
                --bg: #f8fafc;
                --panel: #fff;
                --border: #cbd5e1;
                --cyan: #0e7490;
                --rose: #be123c;
                --emerald: #047857;
                --gold: #b45309;
                --text: #0f172a;
                --muted: #475569;
            }
            .brand {
                color: var(--text);
            }
        }
    </style>
</head>
<body>
    <div class="container">
        <div class="header">
            <div>
                <div class="brand">🛒 QUILLON MARKET & RETAIL INTELLIGENCE</div>
                <div style="font-size: 13px; color: var(--muted); margin-top: 4px;">Competitor Price Tracker | 0 Cloud Bills</div>
            </div>
            <span class="badge" id="count" role="status">…</span>
        </div>
        <div class="toolbar">
            <label for="search">Search</label>
            <input id="search" type="search" autocomplete="off" placeholder="Title, SKU / ASIN or platform">
        </div>
        <table>
            <thead>
                <tr>
                    <th data-sort="sku_asin"><button type="button">SKU / ASIN</button></th>
                    <th data-sort="title"><button type="button">Product Title</button></th>
                    <th data-sort="platform"><button type="button">Platform</button></th>
                    <th data-sort="current_price_inr"><button type="button">Our Price</button></th>
                    <th data-sort="competitor_price_inr"><button type="button">Competitor Price</button></th>
                    <th data-sort="price_delta_percent"><button type="button">Delta</button></th>
                    <th data-sort="price_gap"><button type="button">Gap</button></th>
                    <th data-sort="stock_status"><button type="button">Stock</button></th>
                </tr>
            </thead>
            <tbody id="rows"></tbody>
        </table>
        <div class="pager">
            <button type="button" id="previous">Previous</button>
            <span id="range">Loading…</span>
            <button type="button" id="next">Next</button>
        </div>
        <p id="medicines" role="status"></p>
        <h2>Alerts</h2>
        <p id="alerts-window" role="status">Loading…</p>
        <table>
            <thead>
                <tr><th>Time (IST)</th><th>Alert</th><th>Product</th><th>Platform</th><th>Competitor</th><th>Ours</th><th>Gap</th></tr>
            </thead>
            <tbody id="alerts"></tbody>
        </table>
    </div>
    <template id="history">
        <div class="history" id="open-history">
            <div class="toolbar">
                <label>Days <select class="days"><option>30</option><option selected>90</option><option>180</option></select></label>
                <button type="button" class="export" disabled>Export CSV</button>
                <span class="status" role="status">Loading…</span>
            </div>
            <div>
                <svg viewBox="0 0 640 240" role="img" aria-label="Price history"></svg>
                <span class="ours">● ours</span> <span class="competitor">● competitor</span> ▒ outside floor, ceiling <span class="alert">○ alert</span>
            </div>
            <div class="facts"></div>
        </div>
    </template>
    <script>
        const PAGE_ROWS = 50;
        const ALERT_ROWS = 20;
        const KINDS = { DROP: 'Below us', RISE: 'Back above us', ALL_TIME_LOW: 'All-time low' };
        const state = { q: '', sort: '', offset: 0, total: 0 };
        const tickets = {};
        let opened = null;
        const $ = (id) => document.getElementById(id);
        const count = (n) => n.toLocaleString('en-IN');
        const money = (n) => typeof n === 'number'
            ? '₹' + n.toLocaleString('en-IN', { minimumFractionDigits: 2, maximumFractionDigits: 2 })
            : '—';
        const india = (utc, time) => new Date(utc).toLocaleString('en-IN', { timeZone: 'Asia/Kolkata',
            day: 'numeric', month: 'short', year: 'numeric', ...(time && { hour: '2-digit', minute: '2-digit' }) });
        const known = (p) => typeof p.competitor_price_inr === 'number' && p.competitor_price_inr > 0
            && typeof p.price_delta_percent === 'number';
        function cell(text, className, tag = 'td') {
            const made = document.createElement(tag);
            made.textContent = text;
            if (className) made.className = className;
            return made;
        }
        async function latest(kind, path, draw, fail) {
            const ticket = tickets[kind] = (tickets[kind] ?? 0) + 1;
            try {
                const response = await fetch(path);
                const body = await response.json();
                if (ticket !== tickets[kind]) return;
                if (!response.ok) throw new Error(body.error);
                draw(body, response);
            } catch (error) {
                if (ticket === tickets[kind]) fail(error.message);
            }
        }
        function draw(rows) {
            opened = null;
            const body = rows.map((p) => {
                const tr = document.createElement('tr');
                const delta = known(p) ? p.price_delta_percent : null;
                const side = delta === null ? '' : delta < 0 ? 'below' : 'above';
                const open = cell(p.sku_asin, 'sku', 'button');
                open.type = 'button';
                open.title = 'Price history';
                open.setAttribute('aria-expanded', 'false');
                open.onclick = () => toggle(open, p);
                tr.append(cell(''), cell(p.title), cell(p.platform),
                    cell(money(p.current_price_inr)),
                    cell(known(p) ? money(p.competitor_price_inr) : '—', side),
                    cell(delta === null ? '—' : delta.toFixed(2) + '%', side),
                    cell(delta === null ? '—' : Math.abs(delta).toFixed(2) + '%'),
                    cell(p.stock_status));
                tr.firstChild.append(open);
                return tr;
            });
            $('rows').replaceChildren(...body);
            const first = rows.length ? state.offset + 1 : 0;
            $('range').textContent = state.total === 0 ? 'No product matches'
                : `${count(first)}–${count(state.offset + rows.length)} of ${count(state.total)}`
                    + (state.q ? ' matching' : '');
            $('previous').disabled = state.offset === 0;
            $('next').disabled = state.offset + rows.length >= state.total;
        }
        function load() {
            const params = new URLSearchParams({ offset: state.offset, limit: PAGE_ROWS });
            if (state.q) params.set('q', state.q);
            if (state.sort) params.set('sort', state.sort);
            latest('rows', '/api/products?' + params, (rows, response) => {
                state.total = Number(response.headers.get('X-Total-Count'));
                if (!state.q) $('count').textContent = state.total ? count(state.total) + ' products' : 'No listings imported yet';
                draw(rows);
            }, (message) => { $('range').textContent = 'Could not load the products: ' + message; });
        }
        function toggle(button, p) {
            const again = opened?.button === button;
            opened?.button.setAttribute('aria-expanded', 'false');
            opened?.row.remove();
            opened = null;
            if (again) return;
            const row = cell('', '', 'tr');
            row.append(cell(''));
            row.firstChild.colSpan = 8;
            row.firstChild.append($('history').content.cloneNode(true));
            button.closest('tr').after(row);
            button.setAttribute('aria-expanded', 'true');
            button.setAttribute('aria-controls', 'open-history');
            opened = { button, row };
            const find = (selector) => row.querySelector(selector);
            const show = () => {
                const days = find('.days').value;
                find('.status').textContent = 'Loading…';
                find('.export').disabled = true;
                latest('history', '/api/history?' + new URLSearchParams({ sku_asin: p.sku_asin, platform: p.platform, days }), ([h]) => {
                    find('.export').onclick = () => exportCsv(h, days);
                    find('.export').disabled = false;
                    find('.status').textContent = `Last ${days} days to ${india(h.as_of_utc)}`;
                    chart(find('svg'), h);
                    facts(find('.facts'), h);
                }, (message) => { find('.status').textContent = 'Could not load the history: ' + message; });
            };
            find('.days').onchange = show;
            show();
        }
        function chart(svg, h) {
            const [W, H, L, R, T, B] = [640, 240, 84, 12, 12, 28];
            const add = (tag, attributes, text) => {
                const made = svg.appendChild(document.createElementNS(svg.namespaceURI, tag));
                for (const [name, value] of Object.entries(attributes)) made.setAttribute(name, value);
                if (text) (tag === 'text' ? made : made.appendChild(document.createElementNS(svg.namespaceURI, 'title'))).textContent = text;
            };
            svg.replaceChildren();
            const series = [['ours', 'Our price'], ['competitor', 'Competitor']].map(([name, label]) => [name, label, h[name].points]);
            const prices = series.flatMap((s) => s[2].map((q) => q.price_inr)).concat([h.floor_inr, h.ceiling_inr].filter(Number));
            if (!prices.length) return add('text', { x: L, y: H / 2 }, 'No observations');
            const [least, most] = [Math.min(...prices), Math.max(...prices)];
            const margin = (most - least || most || 10) / 10;
            const [low, high, from, to] = [Math.max(0, least - margin), most + margin, Date.parse(h.points_since_utc), Date.parse(h.as_of_utc)];
            const x = (utc) => (L + (Date.parse(utc) - from) / Math.max(to - from, 1) * (W - L - R)).toFixed(1);
            const y = (inr) => (T + (high - inr) / (high - low) * (H - T - B)).toFixed(1);
            const band = (top, bottom, text) => add('rect', { class: 'band', x: L, y: top, width: W - L - R, height: bottom - top }, text);
            if (h.floor_inr !== null) band(y(h.floor_inr), H - B, 'Floor ' + money(h.floor_inr));
            if (h.ceiling_inr !== null) band(T, y(h.ceiling_inr), 'Ceiling ' + money(h.ceiling_inr));
            for (const inr of [high, (high + low) / 2, low]) {
                add('line', { class: 'grid', x1: L, x2: W - R, y1: y(inr), y2: y(inr) });
                add('text', { x: L - 6, y: +y(inr) + 4, 'text-anchor': 'end' }, money(inr));
            }
            add('text', { x: L, y: H - 8 }, india(from));
            add('text', { x: W - R, y: H - 8, 'text-anchor': 'end' }, india(to));
            const mark = (name, r, at, inr, label) => add('circle', { class: name, r, cx: x(at), cy: y(inr) }, `${label} ${money(inr)}, ${india(at, 1)}`);
            for (const [name, label, points] of series) {
                add('polyline', { class: name, points: points.map((q) => x(q.observed_at_utc) + ',' + y(q.price_inr)).join(' ') });
                for (const q of points) mark(name, 3, q.observed_at_utc, q.price_inr, label);
            }
            for (const a of h.alerts) if (Date.parse(a.observed_at_utc) >= from) mark('alert', 8, a.observed_at_utc, a.competitor_price_inr, KINDS[a.kind]);
        }
        function facts(box, h) {
            box.replaceChildren();
            for (const [label, s] of [['Our price', h.ours], ['Competitor', h.competitor]]) {
                const windows = cell('', 'summary', 'ul');
                const low = s.all_time_low;
                windows.append(...s.windows.map((w) => cell(w.text, '', 'li')));
                box.append(cell(label, '', 'h3'), cell(low ? `All-time low ${money(low.price_inr)} on ${india(low.observed_at_utc)}` : '', '', 'p'), windows);
            }
            box.append(cell('Suggested price', '', 'h3'), cell(`${money(h.suggested_price_inr)}: ${h.suggestion_reason}`, 'suggestion', 'p'),
                cell(`Floor ${money(h.floor_inr)}, ceiling ${money(h.ceiling_inr)}`, '', 'p'));
        }
        const csv = (rows, numbers) => rows.map((row) => row.map((field, i) => {
            const safe = !numbers.includes(i) && /^[=+\-@\t\r]/.test(field) ? "'" + field : field;
            return /[",\r\n]/.test(safe) ? `"${safe.replace(/"/g, '""')}"` : safe;
        }).join(',') + '\r\n').join('');
        function exportCsv(h, days) {
            const rows = [['sku_asin', 'title', 'platform', 'series', 'observed_at_utc', 'price_inr']];
            for (const name of ['ours', 'competitor']) {
                for (const q of h[name].points) rows.push([h.sku_asin, h.title, h.platform, name, q.observed_at_utc, q.price_inr]);
            }
            const link = document.createElement('a');
            link.download = `${h.sku_asin}-${h.platform}-${days}-days.csv`.replace(/[^\w.-]+/g, '_');
            link.href = URL.createObjectURL(new Blob([csv(rows, [5])], { type: 'text/csv' }));
            link.click();
            setTimeout(() => URL.revokeObjectURL(link.href), 60000);
        }
        $('search').addEventListener('input', (event) => {
            state.q = event.target.value;
            state.offset = 0;
            load();
        });
        $('previous').addEventListener('click', () => {
            state.offset = Math.max(0, state.offset - PAGE_ROWS);
            load();
        });
        $('next').addEventListener('click', () => {
            state.offset += PAGE_ROWS;
            load();
        });
        for (const th of document.querySelectorAll('th[data-sort]')) {
            th.querySelector('button').addEventListener('click', () => {
                const key = th.dataset.sort;
                state.sort = state.sort === key ? '-' + key : key;
                state.offset = 0;
                for (const other of document.querySelectorAll('th[data-sort]')) other.removeAttribute('aria-sort');
                th.setAttribute('aria-sort', state.sort.startsWith('-') ? 'descending' : 'ascending');
                load();
            });
        }
        latest('medicines', '/api/medicines', (medicines) => {
            $('medicines').textContent = medicines.length
                ? count(medicines.length) + ' medicines matched to Jan Aushadhi generics'
                : 'No medicines imported yet';
        }, (message) => { $('medicines').textContent = 'Could not load the medicines: ' + message; });
        latest('alerts', '/api/alerts', (body) => {
            const shown = body.alerts.slice(0, ALERT_ROWS);
            $('alerts-window').textContent = (body.alerts.length ? count(body.alerts.length) : 'No alerts') + ' in the ' + body.window
                + (shown.length < body.alerts.length ? `, the newest ${shown.length} shown` : '');
            $('alerts').replaceChildren(...shown.map((a) => {
                const tr = cell('', '', 'tr');
                tr.append(cell(india(a.observed_at_utc, 1)), cell(KINDS[a.kind], a.kind === 'RISE' ? 'above' : 'below'),
                    cell(`${a.title} (${a.sku_asin})`), cell(a.platform), cell(money(a.competitor_price_inr)),
                    cell(money(a.our_price_inr)), cell(a.gap_percent === null ? '—' : a.gap_percent.toFixed(2) + '%'));
                return tr;
            }));
        }, (message) => { $('alerts-window').textContent = 'Could not load the alerts: ' + message; });
        load();
    </script>
</body>
</html>)page";

constexpr Piece CATALOGUE_PIECES[] = {{CATALOGUE_HEAD}, {BODY_RULES, 4},  {CATALOGUE_HEADER_WRAP},
                                      {HEADER_END, 4},  {BRAND_RULES, 4}, {CATALOGUE_REST}};

}  // namespace

constexpr std::string_view DASHBOARD_PAGE(JOINED<DASHBOARD_PIECES>.data(),
                                          JOINED<DASHBOARD_PIECES>.size());
constexpr std::string_view CATALOGUE_PAGE(JOINED<CATALOGUE_PIECES>.data(),
                                          JOINED<CATALOGUE_PIECES>.size());

}  // namespace qmr::ui
