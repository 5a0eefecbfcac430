#include "mcp/methods.hpp"

#include <string>

#include "engine/records.hpp"

namespace qmr::mcp {

namespace {

constexpr std::string_view PROTOCOL_VERSION = "2024-11-05";
constexpr std::string_view SERVER_NAME = "quillon_market_radar";
constexpr std::string_view SERVER_VERSION = "1.0.0";

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

// Returns the string member `key` of `value`, or "" when `value` is no object or the member is
// missing or not a string.
std::string_view string_member(const json::Value& value, std::string_view key) {
  if (!value.is_object()) return {};
  const auto found = value.find(key);
  if (found == value.end() || !found->is_string()) return {};
  return found->get_ref<const std::string&>();
}

// Appends the "tools/call" result: one text content holding the tool's output.
void write_call_result(const json::Value& request, const engine::EngineHandle& engine,
                       std::string& out) {
  // Missing params count as an empty object; params of another type carry no name or arguments.
  static const json::Value NO_MEMBERS = json::Value::object();
  const auto params_member = request.is_object() ? request.find("params") : request.end();
  const json::Value& params = params_member == request.end() ? NO_MEMBERS : *params_member;
  const std::string_view name = string_member(params, "name");
  const json::Value* arguments = &NO_MEMBERS;
  if (params.is_object()) {
    if (const auto found = params.find("arguments"); found != params.end()) arguments = &*found;
  }
  std::string text;
  text.reserve(1024);
  write_tool_output(name, *arguments, engine, text);
  out += R"({"content":[{"text":)";
  json::write_string(text, out);
  out += R"(,"type":"text"}]})";
}

}  // namespace

json::Value server_description() {
  json::Value capabilities = json::Value::object();
  capabilities["tools"] = json::Value::object();
  json::Value server_info = json::Value::object();
  server_info["name"] = SERVER_NAME;
  server_info["version"] = SERVER_VERSION;

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

bool is_known_method(std::string_view method) {
  return method == "initialize" || method == "tools/list" || method == "tools/call";
}

void write_method_result(std::string_view method, const json::Value& request,
                         const engine::EngineHandle& engine, std::string& out) {
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
  } else if (method == "tools/call") {
    write_call_result(request, engine, out);
  }
}

void write_tool_output(std::string_view name, const json::Value& arguments,
                       const engine::EngineHandle& engine, std::string& out) {
  if (name == SEARCH_TOOL) {
    // A query that is not a string searches for "", which matches every product.
    engine::write_sorted_array(engine->search_products(string_member(arguments, "query")), out);
    return;
  }
  // The two list tools take no arguments: whatever is passed, they return every stored record.
  if (name == REVIEW_TOOL) {
    engine::write_sorted_array(engine->list_review_intel(), out);
    return;
  }
  if (name == MEDICINE_TOOL) {
    engine::write_sorted_array(engine->list_medicines(), out);
    return;
  }
  out += R"({"error":)";
  json::write_string("Tool '" + std::string(name) + "' not found", out);
  out += '}';
}

// The value form reads back the text form, so the two can never disagree.
std::optional<json::Value> dispatch_method(std::optional<std::string_view> method,
                                           const json::Value& /*id*/, const json::Value& request,
                                           const engine::EngineHandle& engine) {
  if (!method || !is_known_method(*method)) return std::nullopt;
  std::string text;
  write_method_result(*method, request, engine, text);
  return json::Value::parse(text);
}

}  // namespace qmr::mcp
