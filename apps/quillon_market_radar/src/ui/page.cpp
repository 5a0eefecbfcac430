#include "ui/page.hpp"

namespace qmr::ui {

// The raw literal keeps the page readable as HTML; its line ends are LF and it stops right after
// the closing tag, since the response carries its exact byte count.
constexpr std::string_view DASHBOARD_PAGE = R"page(<!DOCTYPE html>
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
            body {
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
                justify-content: space-between;
                align-items: center;
                border-bottom: 1px solid var(--border);
                padding-bottom: 16px;
                margin-bottom: 24px;
            }
            .brand {
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
            .stats-grid {
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

// The catalogue page. Its rows come from GET "/api/products", a page at a time: the search is
// sent as "q" on every key typed, the order as "sort" (a click on a column's head sorts by it, a
// second click the other way), and the response's "X-Total-Count" gives the count of matches.
// Only the latest request's answer is drawn, so answers that arrive out of order never show an
// older search. The count of the store is the total of an answer without a search, and the
// medicines line says what GET "/api/medicines" holds, in words when it is empty.
constexpr std::string_view CATALOGUE_PAGE = R"page(<!DOCTYPE html>
<html lang="en">
<head>
    <meta charset="UTF-8">
    <meta name="viewport" content="width=device-width, initial-scale=1">
    <title>Quillon Market & Retail Intelligence | Varnel AI Labs</title>
    <style>
        :root {
            --bg: #06090e;
            --panel: #0d121c;
            --border: #1e2638;
            --cyan: #06b6d4;
            --rose: #f43f5e;
            --emerald: #10b981;
            --text: #e2e8f0;
            --muted: #94a3b8;
        }
        body {
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
            flex-wrap: wrap;
            gap: 8px;
            justify-content: space-between;
            align-items: center;
            border-bottom: 1px solid var(--border);
            padding-bottom: 16px;
            margin-bottom: 24px;
        }
        .brand {
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
        .toolbar {
            display: flex;
            flex-wrap: wrap;
            gap: 12px;
            align-items: center;
        }
        input, .pager button {
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
        th button {
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
        .below {
            color: var(--rose);
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
        .pager button:disabled {
            opacity: 0.4;
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
    </div>
    <script>
        const PAGE_ROWS = 50;
        const state = { q: '', sort: '', offset: 0, total: 0 };
        let latest = 0;
        const $ = (id) => document.getElementById(id);
        const count = (n) => n.toLocaleString('en-IN');
        const money = (n) => typeof n === 'number'
            ? '₹' + n.toLocaleString('en-IN', { minimumFractionDigits: 2, maximumFractionDigits: 2 })
            : '—';
        const known = (p) => typeof p.competitor_price_inr === 'number' && p.competitor_price_inr > 0
            && typeof p.price_delta_percent === 'number';
        function cell(text, className) {
            const td = document.createElement('td');
            td.textContent = text;
            if (className) td.className = className;
            return td;
        }
        function draw(rows) {
            const body = rows.map((p) => {
                const tr = document.createElement('tr');
                const delta = known(p) ? p.price_delta_percent : null;
                const side = delta === null ? '' : delta < 0 ? 'below' : 'above';
                tr.append(cell(p.sku_asin, 'sku'), cell(p.title), cell(p.platform),
                    cell(money(p.current_price_inr)),
                    cell(known(p) ? money(p.competitor_price_inr) : '—', side),
                    cell(delta === null ? '—' : delta.toFixed(2) + '%', side),
                    cell(delta === null ? '—' : Math.abs(delta).toFixed(2) + '%'),
                    cell(p.stock_status));
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
        async function load() {
            const ticket = ++latest;
            const params = new URLSearchParams({ offset: state.offset, limit: PAGE_ROWS });
            if (state.q) params.set('q', state.q);
            if (state.sort) params.set('sort', state.sort);
            try {
                const response = await fetch('/api/products?' + params);
                const rows = await response.json();
                if (ticket !== latest) return;
                if (!response.ok) throw new Error(rows.error);
                state.total = Number(response.headers.get('X-Total-Count'));
                if (!state.q) $('count').textContent = state.total ? count(state.total) + ' products' : 'No listings imported yet';
                draw(rows);
            } catch (error) {
                if (ticket === latest) $('range').textContent = 'Could not load the products: ' + error.message;
            }
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
        fetch('/api/medicines').then((response) => response.json()).then((medicines) => {
            $('medicines').textContent = medicines.length
                ? count(medicines.length) + ' medicines matched to Jan Aushadhi generics'
                : 'No medicines imported yet';
        }).catch((error) => { $('medicines').textContent = 'Could not load the medicines: ' + error.message; });
        load();
    </script>
</body>
</html>)page";

}  // namespace qmr::ui
