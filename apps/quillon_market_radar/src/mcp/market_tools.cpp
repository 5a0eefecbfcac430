#include "mcp/market_tools.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/json_writer.hpp"
#include "base/text.hpp"
#include "engine/medicines.hpp"
#include "engine/records.hpp"
#include "mcp/json_text.hpp"
#include "mcp/methods.hpp"

namespace qmr::mcp {

namespace {

// The tool text of a search whose query is no string, for the model to correct its call.
constexpr std::string_view QUERY_NOT_A_STRING =
    "Invalid arguments: \"query\" must be a string (a keyword, an ASIN or a platform such as "
    "Flipkart); leave it out to list every product.";

// The tool text of a list tool whose list is empty: a store holds none until they are imported.
constexpr std::string_view NO_REVIEWS = "No review analyses imported yet.";
constexpr std::string_view NO_MEDICINES = "No medicines imported yet.";

// Appends the output of a list tool to `out` as one JSON string: the records' array, or `none`.
template <typename Record>
void write_list_text(const std::vector<Record>& records, std::string_view none, std::string& out) {
  std::string text;
  if (!records.empty()) engine::write_sorted_array(records, text);
  json::write_string(records.empty() ? none : text, out);
}

// Returns the days the history tool lists points for, or nothing when `days` (its text in the
// line, empty when left out) is not a whole number from 1 to MAX_HISTORY_DAYS.
std::optional<int> days_asked(std::string_view days) {
  if (days.empty()) return engine::DEFAULT_HISTORY_DAYS;
  if (!is_short_integer(days)) return std::nullopt;
  const long long value = std::stoll(std::string(days));
  if (value < 1 || value > engine::MAX_HISTORY_DAYS) return std::nullopt;
  return static_cast<int>(value);
}

// Appends the count of the points `series` lists and the last RECENT_POINTS of them, as a line.
void describe_points(std::string_view name, const engine::SeriesView& series, std::string& text) {
  const std::size_t count = series.listed_count;
  text += "    " + std::string(name) + ": " + std::to_string(count) +
          (count == 1 ? " point" : " points");
  if (count > engine::RECENT_POINTS) text += ", the last " + std::to_string(engine::RECENT_POINTS);
  if (count != 0) text += ": ";
  for (const engine::PricePoint& point : series.recent) {
    if (&point != series.recent.data()) text += ", ";
    text += engine::india_date(point.at) + " " + engine::rupees_text(point.paise);
  }
  text += '\n';
}

// Appends the text of the history tool's answer to `request` to `out` as one JSON string, and
// gives `histories` the histories as the view draws them; returns whether the call failed, the text
// then saying why. Kept out of line: inlined, it made every other tool call take more
// instructions.
[[gnu::noinline]] bool write_history(const Request& request, const engine::HistorySource& history,
                                     std::string& out, std::optional<json::Value>& histories) {
  const auto fail = [&out](const std::string& reason) {
    json::write_string(reason, out);
    return true;
  };
  std::string storage;
  const std::string sku_asin(request.sku_asin.text(storage));
  if (sku_asin.empty()) {
    return fail(
        "Invalid arguments: \"sku_asin\" must be a product's seller SKU or ASIN, as a string.");
  }
  const std::optional<int> days = days_asked(request.days);
  if (!days) {
    return fail("Invalid arguments: \"days\" must be a whole number from 1 to " +
                std::to_string(engine::MAX_HISTORY_DAYS) + ".");
  }
  std::optional<std::string> platform;
  if (!request.platform.raw().empty()) platform = std::string(request.platform.text(storage));
  const std::int64_t now = history.now();
  auto read = history.read(sku_asin, platform, now, *days);
  if (!read.ok()) return fail("The store could not be read: " + read.error().message);
  if (read.value().empty()) {
    return fail("No price history of '" + sku_asin + "'" + (platform ? " on " + *platform : "") +
                " in the store.");
  }
  std::string text;
  histories.emplace(json::Value::array());
  for (const engine::HistoryView& product : read.value()) {
    if (!text.empty()) text += '\n';
    text += engine::describe_history(product, history.settings.suggestion);
    text += "  points of the last " + std::to_string(*days) + " days (" +
            engine::india_date(product.points_from) + " to " + engine::india_date(now) +
            ", IST):\n";
    describe_points("our price", product.ours, text);
    describe_points("competitor", product.competitor, text);
    // The alerts' dispatch records only repeat the alerts in the words of a message.
    json::Value& drawn =
        histories->emplace_back(engine::history_json(product, "", history.settings.suggestion));
    for (json::Value& alert : drawn["alerts"]) alert.erase("dispatch");
  }
  json::write_string(text, out);
  return false;
}

// Appends the products of `engine` at `positions` as the compact text of a JSON array, each record
// with its "alert" from `history` first (its members stay in sorted order). Returns false, writing
// nothing, when there are no alerts to give: no history, or a store that cannot be read.
bool write_products_with_alerts(const engine::MarketEngine& engine,
                                const std::vector<std::size_t>& positions,
                                const engine::HistorySource* history, std::string& out) {
  if (!history || !history->read_alerts_of || positions.empty()) return false;
  const std::vector<engine::TrackedProduct> products = engine.products_at(positions);
  std::vector<engine::ProductOnPlatform> asked;
  for (const engine::TrackedProduct& product : products) {
    asked.emplace_back(product.sku_asin, product.platform);
  }
  const std::int64_t now = history->now();
  const std::int64_t since =
      engine::india_midnight(engine::india_day(now) - engine::ALERT_WINDOW_DAYS + 1);
  auto read = history->read_alerts_of(asked, now, since);
  if (!read.ok()) return false;
  std::string record;
  json::write_array(products, out, [&](const engine::TrackedProduct& product, std::string& text) {
    const auto found = std::ranges::find_if(read.value(), [&](const engine::ProductAlerts& of) {
      return of.sku_asin == product.sku_asin && of.platform == product.platform;
    });
    // The latest alert of the window, or null.
    text += R"({"alert":)";
    json::write_compact(found == read.value().end() || found->alerts.empty()
                            ? json::Value(nullptr)
                            : engine::alert_json(found->alerts.back()),
                        text);
    text += ',';
    record.clear();
    engine::write_sorted_object(product, record);
    text.append(record, 1);
  });
  return true;
}

// Returns the positions of the products the search for `query` finds in `engine`.
std::vector<std::size_t> find_products(const engine::MarketEngine& engine,
                                       const JsonString& query) {
  std::string storage;
  // The store lowers the whole query beside the line, and the lower case of a long one may be
  // half as long again ("İ" becomes "i̇"). So a long query is first lowered PART_SIZE bytes at a
  // time from the line, no further than it takes to see that it is longer than every field a
  // search compares lower-cased: then it matches none.
  // (Lower-casing is per character here but for a final sigma, whose two forms are as long, so the
  // pieces' lengths add up to the whole's.)
  if (query.raw().size() > PART_SIZE) {
    std::size_t lowered = 0;
    for (std::size_t offset = 0; offset != query.raw().size();) {
      lowered += text::to_lower(query.part(offset, PART_SIZE).text(storage)).size();
      if (lowered > engine.longest_search_key()) return {};
    }
  }
  return engine.find_products(query.text(storage));
}

}  // namespace

MarketTools::MarketTools(engine::EngineHandle engine) : engine_(std::move(engine)) {
  write_list_text(engine_->list_review_intel(), NO_REVIEWS, reviews_);
  std::vector<engine::MedicineArbitrage> medicines = engine_->list_medicines();
  if (engine_->medicine_queries()) {
    medicine_keys_ = engine::medicine_search_keys(medicines);
    medicine_rows_ = std::move(medicines);
  } else {
    write_list_text(medicines, NO_MEDICINES, medicines_);
  }
}

const std::vector<std::string>& MarketTools::product_texts() const {
  std::call_once(product_texts_written_, [this] {
    if (engine_->product_count() > KEPT_PRODUCT_TEXTS) return;
    for (const engine::TrackedProduct& product : engine_->list_products()) {
      std::string text;
      engine::write_sorted_object(product, text);
      // Inside the tool text a record's text is escaped once more, without quotation marks.
      std::string quoted;
      json::write_string(text, quoted);
      product_texts_.push_back(quoted.substr(1, quoted.size() - 2));
    }
  });
  return product_texts_;
}

void MarketTools::write_result(const Request& request, const Revision& revision, std::string& out,
                               const engine::HistorySource* history) const {
  // One text content holding the tool's output as one JSON string (the compact text of an array of
  // records, or of an error for a name that is no tool), or in a revision with protocol errors a
  // text the model can act on when the query is no string, marked as a failed call.
  using namespace std::string_view_literals;
  out += '{';
  if (revision.result_meta) {
    out.append(R"("_meta":)"sv).append(result_meta_text()).append(","sv);
  }
  out += R"("content":[{"text":)"sv;
  const JsonString& name = request.tool_name;
  bool failed = revision.protocol_errors && request.query_not_a_string && name == SEARCH_TOOL;
  // The line on the matches beyond those listed (engine::LISTED_PRODUCTS_CAP with the largest
  // price gap; engine::MEDICINE_ANSWER_LIMIT), for a text content of its own.
  std::string more;
  std::optional<json::Value> histories;  // the history tool's data, when it answers
  if (failed) {
    json::write_string(QUERY_NOT_A_STRING, out);
  } else if (history && name == HISTORY_TOOL) {
    failed = write_history(request, *history, out, histories);
  } else if (name == SEARCH_TOOL) {
    std::vector<std::size_t> positions = find_products(*engine_, request.query);
    if (positions.size() > engine::LISTED_PRODUCTS_CAP) {
      // A host takes a result of limited size: the products most worth a look come first.
      more = engine::more_matches_line(positions.size());
      positions = engine_->largest_price_gaps(std::move(positions), engine::LISTED_PRODUCTS_CAP);
    }
    std::string text;
    if (write_products_with_alerts(*engine_, positions, history, text)) {
      json::write_string(text, out);
    } else if (const auto& kept = product_texts(); !kept.empty()) {
      // The brackets and commas between the records need no escaping.
      out += "\"[";
      std::string_view separator;
      for (const std::size_t position : positions) {
        out.append(std::exchange(separator, ",")).append(kept[position]);
      }
      out += "]\"";
    } else {
      engine::write_sorted_array(engine_->products_at(positions), text);
      json::write_string(text, out);
    }
  } else if (name == MEDICINE_TOOL && engine_->medicine_queries()) {
    engine::MedicineSelection selection;
    if (!medicine_rows_.empty()) {
      std::string storage;
      selection =
          engine::select_medicines(medicine_rows_, medicine_keys_, request.query.text(storage));
    }
    write_list_text(selection.medicines,
                    medicine_rows_.empty() ? NO_MEDICINES : engine::NO_EXACT_MATCH, out);
    if (selection.more != 0) more = engine::more_medicines_line(selection);
  } else if (name == REVIEW_TOOL || name == MEDICINE_TOOL) {
    // The two list tools take no arguments: whatever is passed, they return every stored record.
    out += name == REVIEW_TOOL ? reviews_ : medicines_;
  } else {
    // {"error":"Tool '<name>' not found"} as a JSON string, the name escaped twice and written
    // straight from the line: a long one is never copied on its way.
    out += R"("{\"error\":\"Tool ')";
    name.append_escaped(out, 2);
    out += R"(' not found\"}")";
  }
  out += R"(,"type":"text"})"sv;
  if (!more.empty()) {
    out += R"(,{"text":)"sv;
    json::write_string(more, out);
    out += R"(,"type":"text"})"sv;
  }
  out += ']';
  if (failed) out += R"(,"isError":true)"sv;
  if (revision.result_meta) out += R"(,"resultType":"complete")"sv;
  if (histories && revision.structured_content) {
    out += R"(,"structuredContent":{"histories":)"sv;
    json::write_compact(*histories, out);
    out += '}';
  }
  out += '}';
}

}  // namespace qmr::mcp
