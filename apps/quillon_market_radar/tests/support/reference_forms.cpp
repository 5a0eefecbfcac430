#include "support/reference_forms.hpp"

#include "mcp/methods.hpp"
#include "mcp/request_fields.hpp"
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

// The value form reads back the text form, so the two can never disagree.
std::optional<json::Value> dispatch_method(std::optional<std::string_view> method,
                                           const json::Value& /*id*/, const json::Value& request,
                                           const engine::EngineHandle& engine) {
  if (!method || !is_known_method(*method)) return std::nullopt;
  std::string id_text;
  std::string text;
  write_method_result(*method, request_fields(request, id_text), MarketTools(engine), text);
  return json::Value::parse(text);
}

std::optional<std::string> handle_line(std::string_view line, const engine::EngineHandle& engine) {
  std::string response;
  if (!LineHandler(engine).answer(line, response)) return std::nullopt;
  return response;
}

}  // namespace qmr::mcp
