// Which branded medicine is truly the same as a Jan Aushadhi generic. A name or composition is read
// into its active ingredients, each with a strength per dose unit, and its form; two medicines
// match only when all of these are equal, and a text that cannot be read without a guess matches
// nothing. Savings are compared per unit dose, whatever the packs; the answer to a query is the
// largest savings first, capped, with a count of the rest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.hpp"
#include "engine/records.hpp"

namespace qmr::engine {

/// What an amount measures; amounts of two measures are never equal.
enum class Measure : std::uint8_t {
  MASS,                 // micrograms
  INTERNATIONAL_UNITS,  // IU
  UNITS,                // "units" (heparin, insulin), not taken for IU
  VOLUME,               // millilitres
  PERCENT,              // % without a basis
  PERCENT_W_W,
  PERCENT_W_V,
  PERCENT_V_V,
  COUNT,  // tablets, capsules, vials, doses
};

/// An amount in millionths of its measure's base unit (500 mg is 500,000 micrograms, stored
/// 500,000,000,000), so that every spelling of one strength is one integer.
struct Amount {
  std::int64_t millionths = 0;
  Measure measure = Measure::COUNT;
  friend bool operator==(const Amount&, const Amount&) = default;
};

/// One active ingredient at its strength.
struct Ingredient {
  std::string name;   // spelling-normalised, without its salt: "amoxicillin"
  std::string salts;  // the salt named with it ("potassium"), "" when none is
  Amount strength;
  std::optional<Amount> per;  // the dose unit (one tablet, 5 ml); none for a percentage
};

/// A medicine as read from its name: its ingredients (ordered by name) and its form with its
/// release or use ("tablet", "tablet prolonged-release", "eye drops").
struct Formulation {
  std::vector<Ingredient> ingredients;
  std::string form;
};

/// Returns the medicine described by `composition` (its ingredients and strengths, and perhaps
/// its form) and `name` (searched for the form only: a brand's own words are passed over), or
/// why it cannot be read without a guess: no ingredient, no form, two forms, a number without a
/// unit, as many strengths as ingredients but not in an order that pairs them.
[[nodiscard]] Result<Formulation> read_formulation(std::string_view composition,
                                                   std::string_view name = {});

/// Returns whether `a` and `b` are the same medicine: the same ingredients, each of the same
/// strength per the same dose unit, and the same form. A salt named on both sides must be the
/// same; one named on one side only is the usual form the other writes without it.
[[nodiscard]] bool same_medicine(const Formulation& a, const Formulation& b);

/// Returns the pack `text` describes ("10's", "30s", "1s", "60 ml", "15 gm", "strip of 15
/// tablets", "10 x 10"), or none when it describes none.
[[nodiscard]] std::optional<Amount> read_pack(std::string_view text);

/// A product of the Jan Aushadhi list, as matched.
struct GenericOffer {
  std::string name;
  std::string unit_size;
  std::optional<std::int64_t> mrp_paise;  // none: unknown, never used in a saving
  bool surgical = false;                  // never matched
};

/// A row of the seller's branded price list, as matched.
struct BrandedOffer {
  std::string name;
  std::string salt_composition;
  std::int64_t price_paise = 0;
  std::string pack;  // "" when not given: no price per dose, so no saving
};

/// Matches branded medicines, one at a time, to the generics it was made with: what
/// match_medicines does, for rows read one by one (a store's), whose texts are copied only when
/// they match.
class MedicineMatcher {
 public:
  /// Reads `generics`; surgical items, unknown prices and unread names or packs are left out.
  explicit MedicineMatcher(const std::vector<GenericOffer>& generics);
  ~MedicineMatcher();
  MedicineMatcher(MedicineMatcher&&) noexcept;
  MedicineMatcher& operator=(MedicineMatcher&&) noexcept;

  /// Makes room for the matches of `branded_rows` more rows at once, so that ten thousand are not
  /// copied from one ever larger buffer to the next.
  void reserve(std::size_t branded_rows);
  /// Takes one branded medicine; one without a pack, or without an exact match, adds nothing.
  void add(std::string_view name, std::string_view salt_composition, std::int64_t price_paise,
           std::string_view pack);
  /// Returns the matches taken so far as match_medicines does, and forgets them.
  [[nodiscard]] std::vector<MedicineArbitrage> take_matches();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// Returns each branded offer that has an exact generic match with a known price, largest saving
/// first (then by name). Among the generic's packs the cheapest per dose is taken. The record's
/// `branded_medicine_name` is the name with its pack in parentheses, `jan_aushadhi_price_inr` the
/// generic's price for as many doses as the branded pack holds (to the paisa), and
/// `savings_percent` the saving per dose to two decimals.
[[nodiscard]] std::vector<MedicineArbitrage> match_medicines(
    const std::vector<GenericOffer>& generics, const std::vector<BrandedOffer>& branded);

/// What the answer says, and all it says, when a query has no exact match.
inline constexpr std::string_view NO_EXACT_MATCH = "no exact Jan Aushadhi match";

/// The most matches one answer holds.
inline constexpr std::size_t MEDICINE_ANSWER_LIMIT = 50;

/// The matches an answer shows, and how many more matched the query.
struct MedicineSelection {
  std::vector<MedicineArbitrage> medicines;
  std::size_t more = 0;
};

/// Returns the line that follows an answer of `selection` with more matches than it shows: how
/// many more matched and how to narrow the query. No line break.
[[nodiscard]] std::string more_medicines_line(const MedicineSelection& selection);

/// Returns the first `limit` of `matches` (already in answer order) whose brand, composition or
/// generic name contains `query`, compared lower-cased with the full Unicode mapping (an empty
/// query takes all), and the count of the rest. No medicine: the answer is NO_EXACT_MATCH.
[[nodiscard]] MedicineSelection select_medicines(const std::vector<MedicineArbitrage>& matches,
                                                 std::string_view query,
                                                 std::size_t limit = MEDICINE_ANSWER_LIMIT);

/// The texts of a match a query is compared with (brand, composition, generic name), lower-cased.
using MedicineSearchKeys = std::array<std::string, 3>;

/// Returns the search keys of each of `matches`, at the same positions: made once for matches
/// that never change, so that a query lowers only itself.
[[nodiscard]] std::vector<MedicineSearchKeys> medicine_search_keys(
    const std::vector<MedicineArbitrage>& matches);

/// Returns what select_medicines returns, comparing `query` with `keys` made from `matches` by
/// medicine_search_keys.
[[nodiscard]] MedicineSelection select_medicines(const std::vector<MedicineArbitrage>& matches,
                                                 const std::vector<MedicineSearchKeys>& keys,
                                                 std::string_view query,
                                                 std::size_t limit = MEDICINE_ANSWER_LIMIT);

}  // namespace qmr::engine
