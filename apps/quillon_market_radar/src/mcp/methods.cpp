#include "mcp/methods.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
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

// The tools as listed under `terms`; with a store, the history tool too and the medicine tool's
// query.
json::Value tool_catalogue(const Terms& terms, bool with_store) {
  const bool described = terms.revision->described_tools;
  json::Value tools = json::Value::array();
  std::vector<const std::string_view*> listed;
  for (const auto& tool : TOOLS) listed.push_back(tool);
  if (with_store) listed.push_back(HISTORY_TOOL_ENTRY);
  for (const std::string_view* entry : listed) {
    const std::string_view name = entry[0], title = entry[1], description = entry[2];
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
  json::Value& query = tools[0]["inputSchema"]["properties"]["query"];
  query["type"] = "string";
  if (described) query["description"] = QUERY_DESCRIPTION;
  if (with_store) {
    json::Value& medicine = tools[2]["inputSchema"]["properties"]["query"];
    medicine["type"] = "string";
    if (described) medicine["description"] = MEDICINE_QUERY_DESCRIPTION;
    json::Value& schema = tools.back()["inputSchema"];
    const std::pair<std::string_view, std::string_view> arguments[] = {
        {"sku_asin", SKU_ASIN_DESCRIPTION},
        {"platform", PLATFORM_DESCRIPTION},
        {"days", DAYS_DESCRIPTION}};
    for (const auto& [name, text] : arguments) {
      json::Value& argument = schema["properties"][std::string(name)];
      argument["type"] = name == "days" ? "integer" : "string";
      if (described) argument["description"] = text;
    }
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
    std::vector<std::string_view> names(revision.fixed_methods.begin(),
                                        revision.fixed_methods.end());
    for (const Extension& extension : EXTENSIONS) {
      if (!extensions.contains(extension)) continue;
      for (const std::string_view name : extension.methods) {
        if (std::ranges::find(names, name) == names.end()) names.push_back(name);
      }
    }
    FixedTexts& texts = table.emplace_back();
    for (const std::string_view name : names) {
      if (name == "resources/read") {
        texts.reads = true;
        continue;
      }
      texts.methods.emplace_back(name, json::to_compact(fixed_result(name, terms, with_store)));
    }
    for (const Extension& extension : EXTENSIONS) {
      if (!texts.reads || !extensions.contains(extension)) continue;
      for (const Resource& resource : extension.resources) {
        texts.resources.emplace_back(
            resource.uri,
            json::to_compact(fixed_result("resources/read", terms, with_store, &resource)));
      }
    }
  }
  return table;
}

// Returns the fixed results under `terms`. Each text is written once and copied from then on. The
// texts under a set of extensions are written when a client first declares that set, never for
// the others: the view's hold its whole document once per revision (about 200 KB of private
// memory).
const FixedTexts& fixed_texts(const Terms& terms, bool with_store) {
  const auto row = static_cast<std::size_t>(terms.revision - REVISIONS.data());
  static const std::vector<FixedTexts> WITHOUT_EXTENSIONS = write_texts(ExtensionSet(), false);
  if (terms.extensions.empty() && !with_store) return WITHOUT_EXTENSIONS[row];
  // Any other set is written by the first request under it, while the others wait; the tables
  // written are kept for the whole run.
  // With a store, the history tool is listed too: a table of its own per set.
  static std::array<std::atomic<const std::vector<FixedTexts>*>, 2 << EXTENSIONS.size()> written{};
  std::atomic<const std::vector<FixedTexts>*>& slot =
      written[terms.extensions.index() * 2 + (with_store ? 1 : 0)];
  const std::vector<FixedTexts>* table = slot.load(std::memory_order_acquire);
  if (table == nullptr) {
    static std::mutex writing;
    const std::lock_guard lock(writing);
    table = slot.load(std::memory_order_relaxed);
    if (table == nullptr) {
      table = new std::vector<FixedTexts>(write_texts(terms.extensions, with_store));
      slot.store(table, std::memory_order_release);
    }
  }
  return (*table)[row];
}

// What any method but "tools/call" gives, kept out of line: inlined into outcome_of(), it made a
// tool call, the most common request, take about 15 instructions more.
[[gnu::noinline]] Outcome fixed_outcome(std::string_view method, const Request& request,
                                        const Terms& terms, bool with_store,
                                        const std::string*& fixed) {
  const FixedTexts& texts = fixed_texts(terms, with_store);
  if (method == "resources/read" && texts.reads) {
    // A read of a resource of an extension the client declared, in any revision: a read of any
    // other address finds none, and one without an address is no read.
    if (!request.resource_uri) return Outcome::INVALID_PARAMS;
    for (const auto& [uri, text] : texts.resources) {
      if (*request.resource_uri == uri) {
        fixed = &text;
        return Outcome::RESULT;
      }
    }
    return Outcome::UNKNOWN_RESOURCE;
  }
  for (const auto& [name, text] : texts.methods) {
    if (name == method) {
      fixed = &text;
      return Outcome::RESULT;
    }
  }
  return Outcome::METHOD_NOT_FOUND;
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
