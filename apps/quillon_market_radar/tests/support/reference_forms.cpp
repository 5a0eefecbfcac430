#include "support/reference_forms.hpp"

#include "mcp/tool_server.hpp"

namespace qmr::engine {

json::Value to_json_value(const TrackedProduct& p) {
  return {
      {"sku_asin", p.sku_asin},
      {"title", p.title},
      {"platform", p.platform},
      {"original_price_inr", p.original_price_inr},
      {"current_price_inr", p.current_price_inr},
      {"competitor_price_inr", p.competitor_price_inr},
      {"price_delta_percent", p.price_delta_percent},
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

}  // namespace

ReferenceFields reference_fields(const json::Value& request) {
  ReferenceFields fields;
  if (!request.is_object()) return fields;
  if (request.contains("id")) {
    fields.id = json::to_compact(request.at("id"));
    fields.has_id = true;
  }
  if (request.contains("method") && request.at("method").is_string()) {
    fields.method = request.at("method").get<std::string>();
  }
  if (!request.contains("params") || !request.at("params").is_object()) return fields;
  const json::Value& params = request.at("params");
  fields.tool_name = string_member(params, "name");
  if (params.contains("arguments")) fields.query = string_member(params.at("arguments"), "query");
  return fields;
}

ReferenceFields reference_fields(const Request& request) {
  ReferenceFields fields;
  fields.id.clear();
  request.write_id(fields.id);
  fields.has_id = request.has_id;
  std::string storage;
  if (request.method) fields.method = std::string(request.method->text(storage));
  fields.tool_name = request.tool_name.text(storage);
  fields.query = request.query.text(storage);
  return fields;
}

std::optional<std::string> handle_line(std::string_view line, const engine::EngineHandle& engine) {
  std::string response;
  if (!LineHandler(engine).answer(line, response)) return std::nullopt;
  return response;
}

}  // namespace qmr::mcp
