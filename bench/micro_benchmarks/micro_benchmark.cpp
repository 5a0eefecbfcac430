// Micro benchmarks of the operations the program states figures about: the product search, the
// price-drop alert, the dashboard's routing of each route and the tool server's line handler.
// Each checks once that it measures a real answer, so a broken build cannot report a fast nothing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include "engine/market_engine.hpp"
#include "mcp/tool_server.hpp"
#include "ui/request.hpp"

namespace {

using qmr::engine::EngineHandle;
using qmr::engine::MarketEngine;

const EngineHandle& engine() {
  static const EngineHandle instance = MarketEngine::create();
  return instance;
}

void require(bool condition, std::string_view what) {
  if (condition) return;
  std::cerr << "micro_benchmark: " << what << '\n';
  std::exit(1);
}

void SearchProducts(benchmark::State& state, std::string query, std::size_t expected) {
  require(engine()->search_products(query).size() == expected, "unexpected search result");
  for (auto _ : state) benchmark::DoNotOptimize(engine()->search_products(query));
}
BENCHMARK_CAPTURE(SearchProducts, noise, std::string("noise"), 1);
BENCHMARK_CAPTURE(SearchProducts, asin, std::string("B09G9FPHY6"), 1);
BENCHMARK_CAPTURE(SearchProducts, empty, std::string(""), 2);
BENCHMARK_CAPTURE(SearchProducts, unicode_miss, std::string("İPHONE ₹"), 0);

void DispatchPriceAlert(benchmark::State& state) {
  require(engine()->dispatch_price_alert(qmr::ui::REPRICE_WEBHOOK_TARGET).ok(), "alert failed");
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine()->dispatch_price_alert(qmr::ui::REPRICE_WEBHOOK_TARGET));
  }
}
BENCHMARK(DispatchPriceAlert);

void RouteRequest(benchmark::State& state, std::string method, std::string path,
                  std::string_view status) {
  require(qmr::ui::route_request(method, path, engine()).status == status, "unexpected status");
  for (auto _ : state) benchmark::DoNotOptimize(qmr::ui::route_request(method, path, engine()));
}
BENCHMARK_CAPTURE(RouteRequest, page, std::string("GET"), std::string("/"), "200 OK");
BENCHMARK_CAPTURE(RouteRequest, status, std::string("GET"), std::string("/api/status"), "200 OK");
BENCHMARK_CAPTURE(RouteRequest, products, std::string("GET"), std::string("/api/products"),
                  "200 OK");
BENCHMARK_CAPTURE(RouteRequest, medicines, std::string("GET"), std::string("/api/medicines"),
                  "200 OK");
BENCHMARK_CAPTURE(RouteRequest, reprice, std::string("POST"), std::string("/api/reprice"),
                  "200 OK");
BENCHMARK_CAPTURE(RouteRequest, not_found, std::string("GET"), std::string("/favicon.ico"),
                  "404 NOT FOUND");

// One read of a browser's request, through to the framed response.
void AnswerFirstRead(benchmark::State& state) {
  const std::string request =
      "GET /api/products HTTP/1.1\r\nHost: 127.0.0.1:7577\r\nUser-Agent: bench\r\nAccept: "
      "*/*\r\n\r\n";
  const qmr::ui::FixedResponses fixed(engine());
  std::string built;
  require(qmr::ui::answer_first_read(request, engine(), fixed, nullptr, built).response != nullptr,
          "no response");
  for (auto _ : state) {
    benchmark::DoNotOptimize(qmr::ui::answer_first_read(request, engine(), fixed, nullptr, built));
  }
}
BENCHMARK(AnswerFirstRead);

// One request line through the handler the tool server makes once for its run, into the
// response buffer it keeps from line to line.
void HandleLine(benchmark::State& state, std::string line, std::string_view expected_start) {
  qmr::mcp::LineHandler handler(engine());
  std::string response;
  require(handler.answer(line, response) && response.starts_with(expected_start),
          "unexpected response line");
  for (auto _ : state) {
    response.clear();
    benchmark::DoNotOptimize(handler.answer(line, response));
  }
}
BENCHMARK_CAPTURE(
    HandleLine, tools_call_search,
    std::string(
        R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"noise"}}})"),
    R"({"id":7,"jsonrpc":"2.0","result":{"content":[{"text":"[{\"competitor_price_inr\":1149.0)");
// An escape in a string: the query is decoded before it is searched.
BENCHMARK_CAPTURE(
    HandleLine, tools_call_search_escaped,
    std::string(
        R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"n\u006fise"}}})"),
    R"({"id":7,"jsonrpc":"2.0","result":{"content":[{"text":"[{\"competitor_price_inr\":1149.0)");
BENCHMARK_CAPTURE(
    HandleLine, tools_call_reviews,
    std::string(
        R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"market_review_defects","arguments":{}}})"),
    R"({"id":8,"jsonrpc":"2.0","result":{"content":[{"text":"[{\"fake_review_ratio_percent\")");
BENCHMARK_CAPTURE(
    HandleLine, tools_call_medicines,
    std::string(
        R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"market_jan_aushadhi","arguments":{}}})"),
    R"({"id":9,"jsonrpc":"2.0","result":{"content":[{"text":"[{\"branded_medicine_name\")");
BENCHMARK_CAPTURE(HandleLine, tools_list,
                  std::string(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"),
                  R"({"id":2,"jsonrpc":"2.0","result":{"tools":[)");
BENCHMARK_CAPTURE(
    HandleLine, initialize,
    std::string(
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{}}})"),
    R"({"id":1,"jsonrpc":"2.0","result":{"capabilities")");
BENCHMARK_CAPTURE(HandleLine, unknown_method,
                  std::string(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"),
                  R"({"error":{"code":-32601)");

}  // namespace

BENCHMARK_MAIN();
