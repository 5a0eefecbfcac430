// The medicines of the store as the engine matches them: the Jan Aushadhi list and the seller's
// branded prices read from market.db, each branded medicine matched to the generic that is truly
// the same (engine/medicines.hpp), and the answer to a query of a brand or a salt.
#pragma once

#include <string_view>
#include <vector>

#include "base/result.hpp"
#include "engine/medicines.hpp"
#include "engine/records.hpp"
#include "store/sqlite.hpp"

namespace qmr::store {

/// Returns every branded medicine of `database` matched to its Jan Aushadhi generic, largest
/// saving first; an empty list when there is none. An error of the store is returned.
[[nodiscard]] Result<std::vector<engine::MedicineArbitrage>> load_medicine_matches(
    Database& database);

/// Returns the answer to `query` (a brand or a salt; empty for all): at most
/// engine::MEDICINE_ANSWER_LIMIT matches, largest saving first, and how many more matched.
[[nodiscard]] Result<engine::MedicineSelection> query_medicines(Database& database,
                                                                std::string_view query);

}  // namespace qmr::store
