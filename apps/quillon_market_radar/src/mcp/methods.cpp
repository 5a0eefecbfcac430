#include "mcp/methods.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "base/json_writer.hpp"
#include "base/text.hpp"
#include "engine/records.hpp"
#include "mcp/app_view.hpp"
#include "version.hpp"

namespace qmr::mcp {

namespace {

constexpr std::string_view SERVER_NAME = "quillon_market_radar";

// How long a client may keep a list or the discovery result: they change only with the program.
constexpr int CACHE_TTL_MS = 3'600'000;

constexpr std::string_view QUERY_DESCRIPTION =
    "Keyword, ASIN or platform to look for, matched case-insensitively in the title, then the "
    "identifier, then the platform. Leave it out to list every product.";
// The tool text of a search whose query is no string, for the model to correct its call.
constexpr std::string_view QUERY_NOT_A_STRING =
    "Invalid arguments: \"query\" must be a string (a keyword, an ASIN or a platform such as "
    "Flipkart); leave it out to list every product.";

constexpr std::string_view SEARCH_TOOL = "market_search_products";
constexpr std::string_view REVIEW_TOOL = "market_review_defects";
constexpr std::string_view MEDICINE_TOOL = "market_jan_aushadhi";

// The tools as listed: name, title, description; the search first.
constexpr std::string_view TOOLS[][3] = {
    {SEARCH_TOOL, "Search Competitor Prices",
     "Search competitor prices across Amazon and Flipkart with sub-0.1ms latency."},
    {REVIEW_TOOL, "Review Defect Intelligence",
     "Extract manufacturing defect intelligence and fake review ratios."},
    {MEDICINE_TOOL, "Jan Aushadhi Generic Match",
     "Match branded medicine to 70%+ cheaper Jan Aushadhi generic equivalent."},
};

// The view as a resource: how it is listed, and its name, title and description there.
constexpr std::string_view VIEW_NAME = "market_view";
constexpr std::string_view VIEW_TITLE = "Market view";
constexpr std::string_view VIEW_DESCRIPTION =
    "The market tools' answers laid out: products in a table with a bar per price gap, review "
    "defects and a medicine's saving as bars; search, Refresh and Export CSV where the host "
    "allows them.";

// The view's settings for a host, on its listing and on what is read: a border, since the view
// paints a background of its own.
json::Value view_settings() { return {{"ui", {{"prefersBorder", true}}}}; }

json::Value tool_catalogue(bool described, bool view) {
  json::Value tools = json::Value::array();
  for (const auto& [name, title, description] : TOOLS) {
    json::Value& tool = tools.emplace_back(json::Value{
        {"name", name}, {"description", description}, {"inputSchema", {{"type", "object"}}}});
    if (view) {
      // Every tool's answer is shown in the view; hosts of 2025 read the flat key only.
      tool["_meta"]["ui"]["resourceUri"] = APP_VIEW_URI;
      tool["_meta"]["ui/resourceUri"] = APP_VIEW_URI;
    }
    if (!described) continue;
    // Several model APIs refuse an object schema without "properties".
    tool["inputSchema"]["properties"] = json::Value::object();
    tool["title"] = title;
    // The tools only read the local store: hosts may run them without asking.
    tool["annotations"] = {{"readOnlyHint", true},
                           {"destructiveHint", false},
                           {"idempotentHint", true},
                           {"openWorldHint", false}};
  }
  json::Value& query = tools[0]["inputSchema"]["properties"]["query"];
  query["type"] = "string";
  if (described) query["description"] = QUERY_DESCRIPTION;
  return tools;
}

json::Value server_info() { return {{"name", SERVER_NAME}, {"version", VERSION}}; }

// The server's capabilities; with the view, the UI extension (which has no settings on the
// server's side) and the resources the view is read from.
json::Value capabilities(bool view) {
  json::Value capabilities = {{"tools", json::Value::object()}};
  if (view) {
    capabilities["extensions"]["io.modelcontextprotocol/ui"] = json::Value::object();
    capabilities["resources"] = json::Value::object();
  }
  return capabilities;
}

// The _meta of a result: the server's identity.
json::Value result_meta() { return {{"io.modelcontextprotocol/serverInfo", server_info()}}; }

// The result of a fixed method (one whose result reads nothing of the request) under `revision`,
// with or without the view.
json::Value fixed_result(std::string_view method, const Revision& revision, bool view) {
  if (method == "initialize") {
    return {{"capabilities", capabilities(view)},
            {"protocolVersion", revision.name},
            {"serverInfo", server_info()}};
  }
  if (method == "ping") return json::Value::object();
  json::Value result = json::Value::object();
  if (method == "tools/list") result["tools"] = tool_catalogue(revision.described_tools, view);
  if (method == "resources/list") result["resources"] = json::Value::array();
  if (method == "resources/list" && view) {
    json::Value resource = {{"_meta", view_settings()},       {"description", VIEW_DESCRIPTION},
                            {"mimeType", APP_VIEW_MIME_TYPE}, {"name", VIEW_NAME},
                            {"size", APP_VIEW_HTML.size()},   {"uri", APP_VIEW_URI}};
    if (revision.described_tools) resource["title"] = VIEW_TITLE;
    result["resources"].push_back(std::move(resource));
  }
  if (method == "resources/read") {
    result["contents"] = json::Value::array({json::Value{{"_meta", view_settings()},
                                                         {"mimeType", APP_VIEW_MIME_TYPE},
                                                         {"text", APP_VIEW_HTML},
                                                         {"uri", APP_VIEW_URI}}});
  }
  if (method == "resources/templates/list") result["resourceTemplates"] = json::Value::array();
  if (method == "prompts/list") result["prompts"] = json::Value::array();
  if (method == "server/discover") {
    result["supportedVersions"] = json::Value::parse(per_request_versions());
    result["capabilities"] = capabilities(view);
  }
  if (revision.result_meta) {
    // A list or the discovery result also says its type, and how long and by whom it may be cached.
    result["_meta"] = result_meta();
    result["resultType"] = "complete";
    result["ttlMs"] = CACHE_TTL_MS;
    result["cacheScope"] = "public";
  }
  return result;
}

// Returns the fixed result of `method` under `revision`, with or without the view, as compact JSON
// text, or nothing when there is no such fixed method. Each text is written once and copied from
// then on. The texts with the view hold its whole document once per revision (about 200 KB of
// private memory): they are written when a client first declares it, never for the others.
const std::string* fixed_text(std::string_view method, const Revision& revision, bool view) {
  // A row of texts per revision, in the order of REVISIONS.
  using FixedTexts = std::vector<std::vector<std::pair<std::string_view, std::string>>>;
  const auto write_texts = [](bool with_view) {
    FixedTexts texts;
    for (const Revision& row_revision : REVISIONS) {
      std::vector<std::string_view> names(row_revision.fixed_methods.begin(),
                                          row_revision.fixed_methods.end());
      for (const std::string_view name : VIEW_METHODS) {
        if (with_view && std::ranges::find(names, name) == names.end()) names.push_back(name);
      }
      auto& row = texts.emplace_back();
      for (const std::string_view name : names) {
        row.emplace_back(name, json::to_compact(fixed_result(name, row_revision, with_view)));
      }
    }
    return texts;
  };
  static const FixedTexts WITHOUT_VIEW = write_texts(false);
  const FixedTexts* texts = &WITHOUT_VIEW;
  if (view) {
    static const FixedTexts WITH_VIEW = write_texts(true);
    texts = &WITH_VIEW;
  }
  for (const auto& [name, text] :
       (*texts)[static_cast<std::size_t>(&revision - REVISIONS.data())]) {
    if (name == method) return &text;
  }
  return nullptr;
}

}  // namespace

MarketTools::MarketTools(engine::EngineHandle engine) : engine_(std::move(engine)) {
  for (const auto& product : engine_->list_products()) {
    std::string text;
    engine::write_sorted_object(product, text);
    longest_product_ = std::max(longest_product_, text::to_lower(text).size());
    // Inside the tool text a record's text is escaped once more, without quotation marks.
    std::string quoted;
    json::write_string(text, quoted);
    products_.push_back(quoted.substr(1, quoted.size() - 2));
  }
  std::string text;
  engine::write_sorted_array(engine_->list_review_intel(), text);
  json::write_string(text, reviews_);
  text.clear();
  engine::write_sorted_array(engine_->list_medicines(), text);
  json::write_string(text, medicines_);
}

void MarketTools::write_tool_text(const JsonString& name, const JsonString& query,
                                  std::string& out) const {
  if (name == SEARCH_TOOL) {
    // The brackets and commas between the records need no escaping.
    out += "\"[";
    std::string_view separator;
    for (const std::size_t position : find(query)) {
      out.append(std::exchange(separator, ",")).append(products_.at(position));
    }
    out += "]\"";
    return;
  }
  // The two list tools take no arguments: whatever is passed, they return every stored record.
  if (name == REVIEW_TOOL || name == MEDICINE_TOOL) {
    out += name == REVIEW_TOOL ? reviews_ : medicines_;
    return;
  }
  // {"error":"Tool '<name>' not found"} as a JSON string, the name escaped twice and written
  // straight from the line: a long one is never copied on its way.
  out += R"("{\"error\":\"Tool ')";
  name.append_escaped(out, 2);
  out += R"(' not found\"}")";
}

std::vector<std::size_t> MarketTools::find(const JsonString& query) const {
  std::string storage;
  // The store lowers the whole query beside the line, and the lower case of a long one may be
  // half as long again ("İ" becomes "i̇"). So a long query is first lowered PART_SIZE bytes at a
  // time from the line, no further than it takes to see that it is longer than any product's whole
  // text lower-cased, which holds every field a search compares: then it matches none.
  // (Lower-casing is per character here but for a final sigma, whose two forms are as long, so the
  // pieces' lengths add up to the whole's.)
  if (query.raw().size() > PART_SIZE) {
    std::size_t lowered = 0;
    for (std::size_t offset = 0; offset != query.raw().size();) {
      lowered += text::to_lower(query.part(offset, PART_SIZE).text(storage)).size();
      if (lowered > longest_product_) return {};
    }
  }
  return engine_->find_products(query.text(storage));
}

const Revision* find_revision(Era era, const JsonString& name) {
  for (const Revision& revision : REVISIONS) {
    if (revision.era == era && name == revision.name) return &revision;
  }
  return nullptr;
}

const std::string& per_request_versions() {
  static const std::string NAMES = [] {
    json::Value names = json::Value::array();
    for (const Revision& revision : REVISIONS) {
      if (revision.era == Era::PER_REQUEST) names.push_back(revision.name);
    }
    return json::to_compact(names);
  }();
  return NAMES;
}

Outcome outcome_of(std::string_view method, const Request& request, const Revision& revision,
                   bool view, const std::string*& fixed) {
  fixed = nullptr;
  if (method == "tools/call") {
    const JsonString& name = request.tool_name;
    const bool is_tool = name == SEARCH_TOOL || name == REVIEW_TOOL || name == MEDICINE_TOOL;
    return revision.protocol_errors && !is_tool ? Outcome::UNKNOWN_TOOL : Outcome::RESULT;
  }
  // The view is the one resource, read in every revision by a client that declared it: a read of
  // any other address finds none.
  if (view && method == "resources/read" && request.resource_uri != APP_VIEW_URI) {
    return Outcome::UNKNOWN_RESOURCE;
  }
  fixed = fixed_text(method, revision, view);
  return fixed ? Outcome::RESULT : Outcome::METHOD_NOT_FOUND;
}

void MarketTools::write_result(const Request& request, const Revision& revision,
                               std::string& out) const {
  // One text content holding the tool's output, or in a revision with protocol errors a text the
  // model can act on when the query is no string, marked as a failed call.
  using namespace std::string_view_literals;
  out += '{';
  if (revision.result_meta) {
    static const std::string META = json::to_compact(result_meta());
    out.append(R"("_meta":)"sv).append(META).append(","sv);
  }
  out += R"("content":[{"text":)"sv;
  const bool invalid_query =
      revision.protocol_errors && request.query_not_a_string && request.tool_name == SEARCH_TOOL;
  if (invalid_query) {
    json::write_string(QUERY_NOT_A_STRING, out);
  } else {
    write_tool_text(request.tool_name, request.query, out);
  }
  out += R"(,"type":"text"}])"sv;
  if (invalid_query) out += R"(,"isError":true)"sv;
  if (revision.result_meta) out += R"(,"resultType":"complete")"sv;
  out += '}';
}

}  // namespace qmr::mcp
