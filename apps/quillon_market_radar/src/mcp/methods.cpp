#include "mcp/methods.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/json_writer.hpp"
#include "mcp/market_tools.hpp"
#include "version.hpp"

namespace qmr::mcp {

namespace {

constexpr std::string_view SERVER_NAME = "quillon_market_radar";

// How long a client may keep a list or the discovery result: they change only with the program.
constexpr int CACHE_TTL_MS = 3'600'000;

// The tools as listed: name, title, description; the search first, the history tool last and
// only with a store.
constexpr std::string_view TOOLS[][3] = {
    {SEARCH_TOOL, "Search Competitor Prices",
     "Search competitor prices across Amazon and Flipkart with sub-0.1ms latency."},
    {REVIEW_TOOL, "Review Defect Intelligence",
     "Extract manufacturing defect intelligence and fake review ratios."},
    {MEDICINE_TOOL, "Jan Aushadhi Generic Match",
     "Match branded medicine to 70%+ cheaper Jan Aushadhi generic equivalent."},
    {HISTORY_TOOL, "Price History",
     "Summarise a product's own and competitor price history from the seller's store: lowest, "
     "average and highest over the last 30, 90 and 180 days (IST), the all-time low, alerts, a "
     "suggested price, and the last points."},
};

// An argument of a listed tool (its row in TOOLS) with its JSON type and its description, given in
// the revisions with described tools. The search's query is always listed; the others, the
// medicine tool's query and the history tool's, only with a store.
struct Argument {
  std::size_t tool;
  std::string_view name, type, description;
};
constexpr Argument ARGUMENTS[] = {
    {0, "query", "string",
     "Keyword, ASIN or platform to look for, matched case-insensitively in the title, then the "
     "identifier, then the platform. Leave it out to list every product."},
    {2, "query", "string",
     "Brand or salt to look for, matched case-insensitively in the branded name, the salt "
     "composition and the generic's name. Leave it out to list the largest savings."},
    {3, "sku_asin", "string", "The product's seller SKU or ASIN, exactly as stored."},
    {3, "platform", "string",
     "Amazon or Flipkart; leave it out for every platform the product is on."},
    {3, "days", "integer",
     "How many days in India of points to list, from 1 to 3650; 90 when left out."},
};

// Returns true when `name` is the name of one of the tools listed. Kept out of line: inlined into
// outcome_of(), it made every tool call take about 15 instructions more.
[[gnu::noinline]] bool is_tool(const JsonString& name, bool with_store) {
  return name == SEARCH_TOOL || name == REVIEW_TOOL || name == MEDICINE_TOOL ||
         (with_store && name == HISTORY_TOOL);
}

// The tools as listed under `terms`, and with a store.
json::Value tool_catalogue(const Terms& terms, bool with_store) {
  const bool described = terms.revision->described_tools;
  json::Value tools = json::Value::array();
  for (const auto& [name, title, description] : std::span(TOOLS).first(with_store ? 4 : 3)) {
    json::Value& tool = tools.emplace_back(json::Value{
        {"name", name}, {"description", description}, {"inputSchema", {{"type", "object"}}}});
    for (const Extension& extension : EXTENSIONS) {
      if (terms.extensions.contains(extension)) {
        tool["_meta"].update(json::Value::parse(extension.tool_meta));
      }
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
  for (const Argument& argument :
       std::span(ARGUMENTS).first(with_store ? std::size(ARGUMENTS) : 1)) {
    json::Value& property =
        tools[argument.tool]["inputSchema"]["properties"][std::string(argument.name)];
    property["type"] = argument.type;
    if (described) property["description"] = argument.description;
  }
  if (with_store) {
    json::Value& schema = tools.back()["inputSchema"];
    schema["properties"]["days"]["minimum"] = 1;
    schema["properties"]["days"]["maximum"] = engine::MAX_HISTORY_DAYS;
    schema["required"] = json::Value::array({"sku_asin"});
  }
  return tools;
}

json::Value server_info() { return {{"name", SERVER_NAME}, {"version", VERSION}}; }

// The server's capabilities: the tools, and each extension declared with the resources it offers.
json::Value capabilities(ExtensionSet extensions) {
  json::Value capabilities = {{"tools", json::Value::object()}};
  for (const Extension& extension : EXTENSIONS) {
    if (!extensions.contains(extension)) continue;
    capabilities["extensions"][extension.key] = json::Value::object();
    if (!extension.resources.empty()) capabilities["resources"] = json::Value::object();
  }
  return capabilities;
}

// The _meta of a result: the server's identity.
json::Value result_meta() { return {{"io.modelcontextprotocol/serverInfo", server_info()}}; }

// The text of `resource`, with a store its store's.
std::string_view view_text(const Resource& resource, bool with_store) {
  return with_store ? *resource.store_text : *resource.text;
}

// The result of a fixed method (one whose result reads nothing of the request but, for a read,
// the address of `resource`) under `terms`.
json::Value fixed_result(std::string_view method, const Terms& terms, bool with_store,
                         const Resource* resource = nullptr) {
  const Revision& revision = *terms.revision;
  if (method == "initialize") {
    return {{"capabilities", capabilities(terms.extensions)},
            {"protocolVersion", revision.name},
            {"serverInfo", server_info()}};
  }
  if (method == "ping") return json::Value::object();
  json::Value result = json::Value::object();
  if (method == "tools/list") result["tools"] = tool_catalogue(terms, with_store);
  if (method == "resources/list") {
    result["resources"] = json::Value::array();
    for (const Extension& extension : EXTENSIONS) {
      if (!terms.extensions.contains(extension)) continue;
      for (const Resource& listed : extension.resources) {
        json::Value& entry = result["resources"].emplace_back(
            json::Value{{"_meta", json::Value::parse(listed.meta)},
                        {"description", listed.description},
                        {"mimeType", listed.mime_type},
                        {"name", listed.name},
                        {"size", view_text(listed, with_store).size()},
                        {"uri", listed.uri}});
        if (revision.described_tools) entry["title"] = listed.title;
      }
    }
  }
  if (method == "resources/read") {
    result["contents"] =
        json::Value::array({json::Value{{"_meta", json::Value::parse(resource->meta)},
                                        {"mimeType", resource->mime_type},
                                        {"text", view_text(*resource, with_store)},
                                        {"uri", resource->uri}}});
  }
  if (method == "resources/templates/list") result["resourceTemplates"] = json::Value::array();
  if (method == "prompts/list") result["prompts"] = json::Value::array();
  if (method == "server/discover") {
    result["supportedVersions"] = json::Value::parse(per_request_versions());
    result["capabilities"] = capabilities(terms.extensions);
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

// The fixed results of one revision under one set of extensions, as compact JSON text.
struct FixedTexts {
  std::vector<std::pair<std::string_view, std::string>> methods;  // by method
  bool reads = false;  // whether "resources/read" is a method, its results by address below
  std::vector<std::pair<std::string_view, std::string>> resources;
};

// Returns the fixed results of every revision, in the order of REVISIONS, under `extensions`, with
// the history tool and the medicine query listed when `with_store`.
std::vector<FixedTexts> write_texts(ExtensionSet extensions, bool with_store) {
  std::vector<FixedTexts> table;
  for (const Revision& revision : REVISIONS) {
    const Terms terms{&revision, extensions};
    FixedTexts& texts = table.emplace_back();
    std::vector<std::string_view> names(revision.fixed_methods.begin(),
                                        revision.fixed_methods.end());
    for (const Extension& extension : EXTENSIONS) {
      if (!extensions.contains(extension)) continue;
      for (const std::string_view name : extension.methods) {
        if (std::ranges::find(names, name) == names.end()) names.push_back(name);
      }
      for (const Resource& resource : extension.resources) {
        texts.resources.emplace_back(
            resource.uri,
            json::to_compact(fixed_result("resources/read", terms, with_store, &resource)));
      }
    }
    for (const std::string_view name : names) {
      texts.reads = texts.reads || name == "resources/read";
      if (name != "resources/read") {
        texts.methods.emplace_back(name, json::to_compact(fixed_result(name, terms, with_store)));
      }
    }
  }
  return table;
}

// Returns the fixed results under `terms`. Each text is written once and copied from then on. The
// texts under a set of extensions are written by the first request under that set, while the
// others under it wait, and never for a set no request is under: the view's hold its whole
// document once per revision (about 200 KB of private memory). With a store, the history tool is
// listed too: a table of its own per set. The tables written are kept for the whole run.
const FixedTexts& fixed_texts(const Terms& terms, bool with_store) {
  constexpr std::size_t TABLES = 2 << EXTENSIONS.size();
  static std::array<std::once_flag, TABLES> written;
  static auto& tables = *new std::array<std::vector<FixedTexts>, TABLES>();
  const std::size_t slot = terms.extensions.index() * 2 + (with_store ? 1 : 0);
  std::call_once(written[slot], [&] { tables[slot] = write_texts(terms.extensions, with_store); });
  return tables[slot][static_cast<std::size_t>(terms.revision - REVISIONS.data())];
}

// What any method but "tools/call" gives, kept out of line: inlined into outcome_of(), it made a
// tool call, the most common request, take about 15 instructions more.
[[gnu::noinline]] Outcome fixed_outcome(std::string_view method, const Request& request,
                                        const Terms& terms, bool with_store,
                                        const std::string*& fixed) {
  const FixedTexts& texts = fixed_texts(terms, with_store);
  // Points `fixed` to the text of `key` in `list`, if it has one.
  const auto find = [&fixed](const auto& list, const auto& key) {
    const auto found =
        std::ranges::find_if(list, [&key](const auto& row) { return key == row.first; });
    if (found != list.end()) fixed = &found->second;
    return found != list.end();
  };
  if (method == "resources/read" && texts.reads) {
    // A read of a resource of an extension the client declared, in any revision: a read of any
    // other address finds none, and one without an address is no read.
    if (!request.resource_uri) return Outcome::INVALID_PARAMS;
    return find(texts.resources, *request.resource_uri) ? Outcome::RESULT
                                                        : Outcome::UNKNOWN_RESOURCE;
  }
  return find(texts.methods, method) ? Outcome::RESULT : Outcome::METHOD_NOT_FOUND;
}

}  // namespace

const std::string& result_meta_text() {
  static const std::string TEXT = json::to_compact(result_meta());
  return TEXT;
}

const Revision* find_revision(const JsonString& name, std::optional<Era> era) {
  for (const Revision& revision : REVISIONS) {
    if ((!era || revision.era == *era) && name == revision.name) return &revision;
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

Outcome outcome_of(std::string_view method, const Request& request, const Terms& terms,
                   const std::string*& fixed, bool with_store) {
  fixed = nullptr;
  if (method == "tools/call") {
    return terms.revision->protocol_errors && !is_tool(request.tool_name, with_store)
               ? Outcome::UNKNOWN_TOOL
               : Outcome::RESULT;
  }
  return fixed_outcome(method, request, terms, with_store, fixed);
}

}  // namespace qmr::mcp
