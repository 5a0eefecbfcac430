// Fuzzes the tool server's line handling against the JSON library's own parser: a line is
// accepted exactly when the library parses it and it nests at most 127 levels, the oracle's value
// is the library's value with the same number kinds, the request reader accepts exactly the lines
// the oracle accepts and gives every field as the parsed value has it (the id and the version in
// _meta written as the writer writes the parsed values), notifications get no answer, and every
// answer is one JSON-RPC line; the same bytes posted over HTTP get one of the transport's statuses
// and, but for a 202, one JSON-RPC object.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/market_engine.hpp"
#include "mcp/http_transport.hpp"
#include "mcp/request_reader.hpp"
#include "mcp/tool_server.hpp"
#include "support/json_line.hpp"
#include "support/reference_forms.hpp"

namespace {

std::size_t depth_of(const qmr::json::Value& value) {
  if (!value.is_structured()) return 0;
  std::size_t deepest = 0;
  for (const auto& element : value) deepest = std::max(deepest, depth_of(element));
  return deepest + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One handler for the whole run, as the tool server keeps one.
  static qmr::mcp::LineHandler handler(qmr::engine::MarketEngine::create());
  const std::string_view line(reinterpret_cast<const char*>(data), size);

  const auto parsed = qmr::mcp::parse_json_line(line);
  const auto expected = parsed ? std::optional(qmr::mcp::reference_fields(*parsed))
                               : std::optional<qmr::mcp::ReferenceFields>();
  const auto read = qmr::mcp::read_request(line);
  if (read.has_value() != parsed.has_value()) std::abort();
  if (read && qmr::mcp::reference_fields(*read) != *expected) std::abort();

  std::optional<std::string> answer;
  if (std::string text; handler.answer(line, text)) answer = std::move(text);

  static const auto endpoint = qmr::mcp::http_endpoint(qmr::engine::MarketEngine::create());
  const auto reply = endpoint({line, std::nullopt, std::nullopt, std::nullopt});
  if (reply.status != 200 && reply.status != 202 && reply.status != 400 && reply.status != 404) {
    std::abort();
  }
  if ((reply.status == 202) != reply.body.empty()) std::abort();
  if (!reply.body.empty()) {
    const auto posted = qmr::json::Value::parse(reply.body, nullptr, false);
    if (posted.is_discarded() || posted.value("jsonrpc", "") != "2.0" ||
        posted.contains("result") == posted.contains("error")) {
      std::abort();
    }
  }
  const bool notification = expected && !expected->has_id && expected->method;
  if (answer.has_value() != (parsed && !notification)) std::abort();

  // The library stops at a NUL and skips a leading byte-order mark; those lines must be refused.
  if (line.find('\0') != std::string_view::npos || line.starts_with("\xEF\xBB\xBF")) {
    if (parsed) std::abort();
    return 0;
  }
  const auto reference = qmr::json::Value::parse(line, nullptr, /*allow_exceptions=*/false);
  const bool acceptable =
      !reference.is_discarded() && depth_of(reference) <= qmr::mcp::MAX_NESTING_DEPTH;
  if (parsed.has_value() != acceptable) std::abort();
  if (!parsed) return 0;
  if (expected->has_id != (parsed->is_object() && parsed->contains("id"))) std::abort();
  if (*parsed != reference || qmr::json::to_compact(*parsed) != qmr::json::to_compact(reference)) {
    std::abort();
  }

  if (!answer) return 0;
  if (answer->find('\n') != std::string::npos) std::abort();
  const auto response = qmr::json::Value::parse(*answer, nullptr, false);
  if (response.is_discarded() || response.value("jsonrpc", "") != "2.0") std::abort();
  const bool has_id = parsed->is_object() && parsed->contains("id");
  if (!response.contains("id")) {
    // Only the later revisions' Invalid Request, for a request without a string or integer id.
    if (expected->id_is_string_or_integer || response.at("error").at("code") != -32600) {
      std::abort();
    }
  } else if (response.at("id") != (has_id ? parsed->at("id") : qmr::json::Value())) {
    std::abort();
  }
  if (response.contains("result") == response.contains("error")) std::abort();
  return 0;
}
