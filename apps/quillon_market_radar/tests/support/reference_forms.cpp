#include "support/reference_forms.hpp"

#include <algorithm>

namespace qmr::engine {

namespace {

// An unknown figure is null.
json::Value figure(const std::optional<double>& value) {
  return value ? json::Value(*value) : json::Value(nullptr);
}

}  // namespace

std::string encode_products_compact(const std::vector<TrackedProduct>& products) {
  std::string out;
  json::write_array(products, out, write_compact_object);
  return out;
}

json::Value to_json_value(const TrackedProduct& p) {
  return {
      {"sku_asin", p.sku_asin},
      {"title", p.title},
      {"platform", p.platform},
      {"original_price_inr", figure(p.original_price_inr)},
      {"current_price_inr", figure(p.current_price_inr)},
      {"competitor_price_inr", figure(p.competitor_price_inr)},
      {"price_delta_percent", figure(p.price_delta_percent)},
      {"stock_status", p.stock_status},
      {"last_checked_utc", p.last_checked_utc},
  };
}

json::Value to_json_value(const ReviewIntel& r) {
  return {
      {"product_asin", r.product_asin},
      {"total_reviews_analyzed", r.total_reviews_analyzed},
      {"fake_review_ratio_percent", r.fake_review_ratio_percent},
      {"top_defects", r.top_defects},
      {"manufacturer_defect_score", r.manufacturer_defect_score},
  };
}

json::Value to_json_value(const MedicineArbitrage& m) {
  return {
      {"branded_medicine_name", m.branded_medicine_name},
      {"branded_price_inr", m.branded_price_inr},
      {"salt_composition", m.salt_composition},
      {"jan_aushadhi_generic_name", m.jan_aushadhi_generic_name},
      {"jan_aushadhi_price_inr", m.jan_aushadhi_price_inr},
      {"savings_percent", m.savings_percent},
  };
}

}  // namespace qmr::engine

namespace qmr::mcp {

namespace {

// The string member `key` of `value`, or "" when `value` is no object or the member is missing or
// not a string.
std::string string_member(const json::Value& value, const char* key) {
  if (!value.is_object() || !value.contains(key) || !value.at(key).is_string()) return {};
  return value.at(key).get<std::string>();
}

// The extensions the client capabilities `capabilities` declare: those with their media type
// among the "mimeTypes" of their key in "extensions".
ExtensionSet declared(const json::Value& capabilities) {
  ExtensionSet set;
  for (std::size_t row = 0; row != EXTENSIONS.size(); ++row) {
    const json::Value* at = &capabilities;
    for (const std::string_view key :
         {std::string_view("extensions"), EXTENSIONS[row].key, std::string_view("mimeTypes")}) {
      at = at && at->is_object() && at->contains(key) ? &at->at(key) : nullptr;
    }
    if (at && at->is_array() && std::any_of(at->begin(), at->end(), [row](const json::Value& type) {
          return type.is_string() && type.get<std::string>() == EXTENSIONS[row].media_type;
        })) {
      set.insert(row);
    }
  }
  return set;
}

}  // namespace

ReferenceFields reference_fields(const json::Value& request) {
  ReferenceFields fields;
  if (!request.is_object()) return fields;
  fields.is_object = true;
  fields.has_result_or_error = request.contains("result") || request.contains("error");
  if (request.contains("id")) {
    const json::Value& id = request.at("id");
    fields.id = json::to_compact(id);
    fields.has_id = true;
    fields.id_is_string_or_integer = id.is_string() || id.is_number_integer();
  }
  if (request.contains("method") && request.at("method").is_string()) {
    fields.method = request.at("method").get<std::string>();
  }
  if (!request.contains("params") || !request.at("params").is_object()) return fields;
  const json::Value& params = request.at("params");
  fields.tool_name = string_member(params, "name");
  fields.handshake_version = string_member(params, "protocolVersion");
  if (params.contains("uri") && params.at("uri").is_string()) {
    fields.resource_uri = params.at("uri").get<std::string>();
  }
  if (params.contains("capabilities")) fields.declared = declared(params.at("capabilities"));
  if (params.contains("arguments")) {
    const json::Value& arguments = params.at("arguments");
    fields.query = string_member(arguments, "query");
    fields.query_not_a_string =
        arguments.is_object() && arguments.contains("query") && !arguments.at("query").is_string();
  }
  if (!params.contains("_meta") || !params.at("_meta").is_object()) return fields;
  const json::Value& meta = params.at("_meta");
  constexpr const char* VERSION = "io.modelcontextprotocol/protocolVersion";
  if (meta.contains(VERSION)) {
    const json::Value& version = meta.at(VERSION);
    fields.meta_version_value = json::to_compact(version);
    if (version.is_string()) fields.meta_version = version.get<std::string>();
  }
  constexpr const char* CAPABILITIES = "io.modelcontextprotocol/clientCapabilities";
  if (meta.contains(CAPABILITIES)) fields.meta_declared = declared(meta.at(CAPABILITIES));
  return fields;
}

ReferenceFields reference_fields(const Request& request) {
  ReferenceFields fields;
  fields.id.clear();
  write_canonical(request.id, fields.id);
  fields.is_object = request.is_object;
  fields.has_id = request.has_id;
  fields.id_is_string_or_integer = request.id_is_string_or_integer;
  std::string storage;
  if (request.method) fields.method = std::string(request.method->text(storage));
  fields.has_result_or_error = request.has_result_or_error;
  fields.tool_name = request.tool_name.text(storage);
  fields.query = request.query.text(storage);
  fields.query_not_a_string = request.query_not_a_string;
  fields.handshake_version = request.handshake_version.text(storage);
  if (!request.meta_version_value.empty()) {
    write_canonical(request.meta_version_value, fields.meta_version_value.emplace());
  }
  if (request.meta_version) fields.meta_version = std::string(request.meta_version->text(storage));
  if (request.resource_uri) fields.resource_uri = std::string(request.resource_uri->text(storage));
  fields.declared = request.declared;
  fields.meta_declared = request.meta_declared;
  return fields;
}

}  // namespace qmr::mcp
