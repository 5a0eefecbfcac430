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

}  // namespace qmr::ui

namespace qmr::ui {

// The store's page: the demo page's look, with figures and rows read from the API when it loads,
// every text set as text (never as markup), and a list with nothing in it said in words.
constexpr std::string_view STORE_PAGE = R"page(<!DOCTYPE html>
<html lang="en">
    <head>
        <meta charset="UTF-8">
        <title>Quillon Market & Retail Intelligence | Varnel AI Labs</title>
        <style>
            body { background: #06090e; color: #e2e8f0; margin: 0; padding: 24px;
                font-family: -apple-system, BlinkMacSystemFont, "Segoe UI", Roboto, sans-serif; }
            .container { max-width: 1300px; margin: 0 auto; }
            .brand { font-size: 22px; font-weight: 800; color: #fff; margin-bottom: 24px; }
            .stats-grid { display: grid; grid-template-columns: repeat(3, 1fr); gap: 16px; }
            .card { background: #0d121c; border: 1px solid #1e2638; border-radius: 12px; padding: 18px; }
            .card-label { font-size: 13px; color: #94a3b8; text-transform: uppercase; font-weight: 600; }
            .card-val { font-size: 22px; font-weight: 800; margin-top: 6px; color: #fff; }
            table { width: 100%; border-collapse: collapse; background: #0d121c; margin-top: 16px; }
            th, td { padding: 12px 16px; text-align: left; border-bottom: 1px solid #1e2638; font-size: 14px; }
            th { color: #94a3b8; }
        </style>
    </head>
    <body>
        <div class="container">
            <div class="brand">🛒 QUILLON MARKET & RETAIL INTELLIGENCE</div>
            <div class="stats-grid">
                <div class="card"><div class="card-label">Tracked SKUs</div><div class="card-val" id="tracked">…</div></div>
                <div class="card"><div class="card-label">Largest Price Gap</div><div class="card-val" id="gap">…</div></div>
                <div class="card"><div class="card-label">Medicine Arbitrage</div><div class="card-val" id="medicines">…</div></div>
            </div>
            <table>
                <thead>
                    <tr><th>SKU / ASIN</th><th>Product Title</th><th>Platform</th><th>Our Price</th><th>Competitor Price</th><th>Delta</th><th>Stock</th></tr>
                </thead>
                <tbody id="products"></tbody>
            </table>
        </div>
        <script>
            const money = (rupees) => rupees === null ? 'none'
                : '₹' + rupees.toLocaleString('en-IN', { minimumFractionDigits: 2, maximumFractionDigits: 2 });
            const percent = (delta) => delta === null ? 'none' : delta.toFixed(2) + '%';
            const show = (id, text) => { document.getElementById(id).textContent = text; };
            async function load() {
                const products = await (await fetch('/api/products')).json();
                const medicines = await (await fetch('/api/medicines')).json();
                show('tracked', products.length ? products.length + ' Active' : 'No listings imported yet');
                const gaps = products.filter((p) => p.price_delta_percent !== null);
                show('gap', gaps.length ? percent(gaps.reduce((a, b) =>
                    Math.abs(b.price_delta_percent) > Math.abs(a.price_delta_percent) ? b : a).price_delta_percent)
                    : 'No competitor prices imported yet');
                show('medicines', medicines.length ? medicines.length + ' Matched' : 'No medicines imported yet');
                const body = document.getElementById('products');
                for (const p of products) {
                    const row = body.insertRow();
                    for (const text of [p.sku_asin, p.title, p.platform, money(p.current_price_inr),
                        money(p.competitor_price_inr), percent(p.price_delta_percent), p.stock_status]) {
                        row.insertCell().textContent = text;
                    }
                }
            }
            load().catch((error) => show('tracked', 'Error: ' + error));
        </script>
    </body>
</html>)page";

}  // namespace qmr::ui
