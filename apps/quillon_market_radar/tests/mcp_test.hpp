// What the tool server's tests share: the store they ask, the answers they expect written out,
// a line answered by a handler of its own, the stdio loop run on a file, and the fixture of a test
// of each revision of the table, with its golden transcript.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/json_writer.hpp"
#include "engine/market_engine.hpp"
#include "mcp/revisions.hpp"
#include "mcp/stdio_transport.hpp"
#include "mcp/tool_server.hpp"

namespace qmr::mcp::tests {

inline constexpr std::string_view METHOD_NOT_FOUND_NULL_ID =
    R"({"error":{"code":-32601,"message":"Method not found"},"id":null,"jsonrpc":"2.0"})";

inline constexpr std::string_view INITIALIZE_RESULT =
    R"({"capabilities":{"tools":{}},"protocolVersion":"2024-11-05","serverInfo":{"name":"quillon_market_radar","version":"1.0.0"}})";

inline constexpr std::string_view TOOLS_LIST_RESULT =
    R"({"tools":[{"description":"Search competitor prices across Amazon and Flipkart with sub-0.1ms latency.","inputSchema":{"properties":{"query":{"type":"string"}},"type":"object"},"name":"market_search_products"},{"description":"Extract manufacturing defect intelligence and fake review ratios.","inputSchema":{"type":"object"},"name":"market_review_defects"},{"description":"Match branded medicine to 70%+ cheaper Jan Aushadhi generic equivalent.","inputSchema":{"type":"object"},"name":"market_jan_aushadhi"}]})";

inline constexpr std::string_view SEEDED_REVIEWS_TEXT =
    R"j([{"fake_review_ratio_percent":28.4,"manufacturer_defect_score":8.6,"product_asin":"B09G9FPHY6","top_defects":["Display flickering after 30 days (14.2%)","Charging dock magnetic pin loose (9.8%)","Inaccurate step counter algorithm (7.1%)"],"total_reviews_analyzed":4200}])j";

inline constexpr std::string_view SEEDED_MEDICINES_TEXT =
    R"j([{"branded_medicine_name":"Augmentin 625 Duo Tablet","branded_price_inr":204.0,"jan_aushadhi_generic_name":"Amoxycillin & Potassium Clavulanate Tablets IP 625mg","jan_aushadhi_price_inr":58.0,"salt_composition":"Amoxycillin (500mg) + Clavulanic Acid (125mg)","savings_percent":71.57}])j";

inline const engine::EngineHandle& seeded() {
  static const engine::EngineHandle engine = engine::MarketEngine::create();
  return engine;
}

// The seed catalogue with fixed check times, so whole tool texts can be compared.
inline engine::EngineHandle fixed_time_engine() {
  auto rows = engine::MarketEngine::seed_catalogue();
  for (auto& product : rows.products) product.last_checked_utc = "2026-12-07T13:21:01.5+00:00";
  return engine::MarketEngine::from_catalogue(std::move(rows));
}

inline std::string success_line(std::string_view id, std::string_view result) {
  return R"({"id":)" + std::string(id) + R"(,"jsonrpc":"2.0","result":)" + std::string(result) +
         "}";
}

inline std::string error_line(std::string_view id) {
  return R"({"error":{"code":-32601,"message":"Method not found"},"id":)" + std::string(id) +
         R"(,"jsonrpc":"2.0"})";
}

// "Invalid Request" about a request whose id cannot be read: without one.
inline constexpr std::string_view INVALID_WITHOUT_ID =
    R"({"error":{"code":-32600,"message":"Invalid Request"},"jsonrpc":"2.0"})";

// "Invalid Request" with the request's id.
inline std::string invalid_request(std::string_view id) {
  return R"({"error":{"code":-32600,"message":"Invalid Request"},"id":)" + std::string(id) +
         R"(,"jsonrpc":"2.0"})";
}

// Returns the answer to `line` from a handler of its own, as the first line of a run gets it, or
// nothing when it gets none.
inline std::optional<std::string> handle_line(std::string_view line,
                                              const engine::EngineHandle& engine) {
  std::string response;
  if (!LineHandler(engine).answer(line, response)) return std::nullopt;
  return response;
}

inline std::optional<std::string> answer(std::string_view line) {
  return handle_line(line, seeded());
}

// Calls a tool through the handler and returns the tool text it carries.
inline std::string tool_text(std::string_view params,
                             const engine::EngineHandle& engine = seeded()) {
  const std::string request =
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":)" + std::string(params) + "}";
  const auto line = handle_line(request, engine);
  if (!line) return "<no answer>";
  const auto response = json::Value::parse(*line);
  const auto& result = response.at("result");
  EXPECT_EQ(result.size(), 1u) << *line;
  const auto& content = result.at("content");
  EXPECT_EQ(content.size(), 1u) << *line;
  EXPECT_EQ(content.at(0).at("type"), "text") << *line;
  EXPECT_EQ(content.at(0).size(), 2u) << *line;
  return content.at(0).at("text").get<std::string>();
}

inline std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

// A file with `bytes` in it, read from its start.
class InputFile {
 public:
  explicit InputFile(std::string_view bytes) : file_(std::tmpfile()) {
    EXPECT_NE(file_, nullptr);
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file_), bytes.size());
    std::fflush(file_);
    ::lseek(fd(), 0, SEEK_SET);
  }
  ~InputFile() { std::fclose(file_); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  int fd() const { return fileno(file_); }

  // Returns everything written to the file.
  std::string contents() const {
    std::string out;
    char chunk[65536];
    ::lseek(fd(), 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd(), chunk, sizeof chunk)) > 0;) {
      out.append(chunk, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  std::FILE* file_;
};

// A run of the stdio loop: how it ended, and what it wrote.
struct Run {
  Status status;
  std::string output;
};

// Serves `input` from a file as the tool server serves standard input.
inline Run serve(std::string_view input, const engine::EngineHandle& engine = seeded()) {
  InputFile in(input);
  InputFile out("");
  Status status = serve_lines(in.fd(), out.fd(), engine);
  return {std::move(status), out.contents()};
}

inline const std::string INITIALIZE = R"({"id":1,"method":"initialize"})";
inline const std::string TOOLS_LIST = R"({"id":2,"method":"tools/list"})";

// Returns the whole contents of the file at `path`, or nothing when it cannot be read.
inline std::optional<std::string> read_file(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string contents;
  char chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
    contents.append(chunk, n);
  std::fclose(file);
  return contents;
}

// The row of the table a test of one revision is for.
class EachRevision : public testing::TestWithParam<std::size_t> {
 protected:
  const Revision& revision() const { return REVISIONS.at(GetParam()); }

  // The revision's golden transcript, its input and its output.
  std::pair<std::string, std::string> transcript() const {
    const std::string golden = QMR_GOLDEN_DIR "/" + std::string(revision().name);
    auto input = read_file(golden + ".in");
    auto output = read_file(golden + ".out");
    if (!input || !output) ADD_FAILURE() << "no transcript " << golden << ".in/.out";
    return {input.value_or(""), output.value_or("")};
  }

  // The seed store with every product's check time "T", as the transcripts were written.
  static engine::EngineHandle golden_engine() {
    auto rows = engine::MarketEngine::seed_catalogue();
    for (auto& product : rows.products) product.last_checked_utc.assign(1, 'T');
    return engine::MarketEngine::from_catalogue(std::move(rows));
  }
};

}  // namespace qmr::mcp::tests
