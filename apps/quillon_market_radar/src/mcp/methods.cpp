#include "mcp/methods.hpp"

#include <string>
#include <utility>

#include "engine/records.hpp"
#include "version.hpp"

namespace qmr::mcp {

namespace {

constexpr std::string_view PROTOCOL_VERSION = "2024-11-05";
constexpr std::string_view SERVER_NAME = "quillon_market_radar";

constexpr std::string_view SEARCH_TOOL = "market_search_products";
constexpr std::string_view REVIEW_TOOL = "market_review_defects";
constexpr std::string_view MEDICINE_TOOL = "market_jan_aushadhi";

constexpr std::string_view SEARCH_DESCRIPTION =
    "Search competitor prices across Amazon and Flipkart with sub-0.1ms latency.";
constexpr std::string_view REVIEW_DESCRIPTION =
    "Extract manufacturing defect intelligence and fake review ratios.";
constexpr std::string_view MEDICINE_DESCRIPTION =
    "Match branded medicine to 70%+ cheaper Jan Aushadhi generic equivalent.";

json::Value tool(std::string_view name, std::string_view description, json::Value input_schema) {
  json::Value entry = json::Value::object();
  entry["name"] = name;
  entry["description"] = description;
  entry["inputSchema"] = std::move(input_schema);
  return entry;
}

json::Value object_schema() {
  json::Value schema = json::Value::object();
  schema["type"] = "object";
  return schema;
}

// Returns the contents of the JSON string `text` would be written as, without its quotation
// marks: what a record's text becomes inside the tool text, where it is escaped once more.
std::string escaped(std::string_view text) {
  std::string quoted;
  json::write_string(text, quoted);
  return quoted.substr(1, quoted.size() - 2);
}

}  // namespace

json::Value server_description() {
  json::Value capabilities = json::Value::object();
  capabilities["tools"] = json::Value::object();
  json::Value server_info = json::Value::object();
  server_info["name"] = SERVER_NAME;
  server_info["version"] = VERSION;

  json::Value description = json::Value::object();
  description["capabilities"] = std::move(capabilities);
  description["protocolVersion"] = PROTOCOL_VERSION;
  description["serverInfo"] = std::move(server_info);
  return description;
}

json::Value tool_catalogue() {
  json::Value query_property = json::Value::object();
  query_property["type"] = "string";
  json::Value search_schema = object_schema();
  search_schema["properties"]["query"] = std::move(query_property);

  json::Value tools = json::Value::array();
  tools.push_back(tool(SEARCH_TOOL, SEARCH_DESCRIPTION, std::move(search_schema)));
  tools.push_back(tool(REVIEW_TOOL, REVIEW_DESCRIPTION, object_schema()));
  tools.push_back(tool(MEDICINE_TOOL, MEDICINE_DESCRIPTION, object_schema()));
  return tools;
}

MarketTools::MarketTools(engine::EngineHandle engine) : engine_(std::move(engine)) {
  for (const auto& product : engine_->list_products()) {
    std::string text;
    engine::write_sorted_object(product, text);
    products_.push_back(escaped(text));
  }
  std::string text;
  engine::write_sorted_array(engine_->list_review_intel(), text);
  json::write_string(text, reviews_);
  text.clear();
  engine::write_sorted_array(engine_->list_medicines(), text);
  json::write_string(text, medicines_);
}

void MarketTools::write_tool_text(const JsonString& name, std::string_view query,
                                  std::string& out) const {
  if (name == SEARCH_TOOL) {
    // The brackets and commas between the records need no escaping.
    out += "\"[";
    bool first = true;
    for (const std::size_t position : engine_->find_products(query)) {
      if (!first) out += ',';
      first = false;
      out += products_.at(position);
    }
    out += "]\"";
    return;
  }
  // The two list tools take no arguments: whatever is passed, they return every stored record.
  if (name == REVIEW_TOOL) {
    out += reviews_;
    return;
  }
  if (name == MEDICINE_TOOL) {
    out += medicines_;
    return;
  }
  // {"error":"Tool '<name>' not found"} as a JSON string, the name escaped twice and written
  // straight from the line: a long one is never copied on its way.
  out += R"("{\"error\":\"Tool ')";
  name.append_escaped(out, 2);
  out += R"(' not found\"}")";
}

bool is_known_method(std::string_view method) {
  return method == "initialize" || method == "tools/list" || method == "tools/call" ||
         method == "ping";
}

void write_method_result(std::string_view method, const Request& request, const MarketTools& tools,
                         std::string& out) {
  // The two fixed answers are written once and copied from then on.
  if (method == "initialize") {
    static const std::string DESCRIPTION = json::to_compact(server_description());
    out += DESCRIPTION;
  } else if (method == "tools/list") {
    static const std::string TOOLS = [] {
      json::Value result = json::Value::object();
      result["tools"] = tool_catalogue();
      return json::to_compact(result);
    }();
    out += TOOLS;
  } else if (method == "ping") {
    // The keep-alive: an empty result, whatever the params.
    out += "{}";
  } else if (method == "tools/call") {
    // One text content holding the tool's output.
    out += R"({"content":[{"text":)";
    std::string decoded;
    tools.write_tool_text(request.tool_name, request.query.text(decoded), out);
    out += R"(,"type":"text"}]})";
  }
}

}  // namespace qmr::mcp
