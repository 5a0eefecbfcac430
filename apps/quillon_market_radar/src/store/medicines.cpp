#include "store/medicines.hpp"

namespace qmr::store {

Result<std::vector<engine::MedicineArbitrage>> load_medicine_matches(Database& database) {
  // Surgical items are never matched, so they are not read.
  auto generics = database.prepare(
      "SELECT generic_name, unit_size, mrp_paise FROM jan_aushadhi_medicines "
      "WHERE surgical = 0 ORDER BY drug_code");
  if (!generics.ok()) return generics.error();
  std::vector<engine::GenericOffer> generic_offers;
  auto generic_count =
      database.query_integer("SELECT count(*) FROM jan_aushadhi_medicines WHERE surgical = 0");
  if (!generic_count.ok()) return generic_count.error();
  generic_offers.reserve(static_cast<std::size_t>(generic_count.value()));
  for (Statement& statement = generics.value();;) {
    auto row = statement.step();
    if (!row.ok()) return row.error();
    if (!row.value()) break;
    generic_offers.push_back(engine::GenericOffer{std::string(statement.text(0)),
                                                  std::string(statement.text(1)),
                                                  statement.optional_integer(2), false});
  }
  // Branded rows are matched as they are read: only a match's texts are kept.
  engine::MedicineMatcher matcher(generic_offers);
  auto branded_count = database.query_integer("SELECT count(*) FROM branded_medicines");
  if (!branded_count.ok()) return branded_count.error();
  matcher.reserve(static_cast<std::size_t>(branded_count.value()));
  auto branded = database.prepare(
      "SELECT name, salt_composition, price_paise, pack FROM branded_medicines "
      "ORDER BY name, pack");
  if (!branded.ok()) return branded.error();
  for (Statement& statement = branded.value();;) {
    auto row = statement.step();
    if (!row.ok()) return row.error();
    if (!row.value()) break;
    matcher.add(statement.text(0), statement.text(1), statement.integer(2), statement.text(3));
  }
  return matcher.take_matches();
}

Result<engine::MedicineSelection> query_medicines(Database& database, std::string_view query) {
  auto matches = load_medicine_matches(database);
  if (!matches.ok()) return matches.error();
  return engine::select_medicines(matches.value(), query);
}

}  // namespace qmr::store
