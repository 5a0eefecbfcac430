#include "engine/medicines.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "base/text.hpp"

namespace qmr::engine {

namespace {

constexpr std::int64_t MILLION = 1'000'000;

// What a word, or a run of words, of a medicine's name is.
enum class Role : std::uint8_t {
  FORM,        // a dosage form: tablet, syrup, eye drops
  MODIFIER,    // how the form releases or is used: prolonged-release, dispersible
  NOISE,       // a word that says nothing of the medicine (IP, film coated, oral), or only joins
               // its parts: "and" between two ingredients, "per 5 ml" after a strength
  EQUIVALENT,  // "eq. to": the next ingredient is what the one before it is written as
  EACH,        // "each 5 ml contains": the dose unit of every strength
};

// A word or a run of words with its role; a FORM says whether a strength written without a dose
// unit is per one unit of it (a tablet, a vial) or must say its dose unit (a syrup: per 5 ml).
struct Phrase {
  std::string_view words;
  Role role;
  std::string_view canonical;
  bool per_unit = false;
};

// The forms, release modifiers and noise of Indian medicine names, each meaning with its spellings
// (separated by "|"). Release modifiers that mean the same release share a canonical name;
// different releases never match (SR is not CR is not MR). "Duo", "Forte", "DS" are a brand's
// words: they say nothing the strengths do not.
struct PhraseGroup {
  Role role;
  std::string_view canonical;
  bool per_unit;
  std::string_view spellings;
};
constexpr PhraseGroup PHRASES[] = {
    {Role::FORM, "tablet", true, "tablet|tablets|tab|tabs"},
    {Role::FORM, "capsule", true, "capsule|capsules|cap|caps|softgel"},
    {Role::FORM, "injection", true,
     "injection|injections|inj|for injection|powder for injection|solution for injection"},
    {Role::FORM, "infusion", false, "infusion"},
    {Role::FORM, "syrup", false, "syrup"},
    {Role::FORM, "dry syrup", false, "dry syrup|for oral suspension|powder for oral suspension"},
    {Role::FORM, "suspension", false, "suspension|oral suspension"},
    {Role::FORM, "solution", false, "solution"},
    {Role::FORM, "oral solution", false, "oral solution|liquid|oral liquid"},
    {Role::FORM, "elixir", false, "elixir"},
    {Role::FORM, "linctus", false, "linctus"},
    {Role::FORM, "drops", false, "drops"},
    {Role::FORM, "oral drops", false, "oral drops|paediatric drops|pediatric drops"},
    {Role::FORM, "eye drops", false, "eye drops|eye drop|ophthalmic solution"},
    {Role::FORM, "ear drops", false, "ear drops"},
    {Role::FORM, "eye/ear drops", false, "eye ear drops|eye and ear drops"},
    {Role::FORM, "nasal drops", false, "nasal drops"},
    {Role::FORM, "nasal spray", false, "nasal spray"},
    {Role::FORM, "spray", false, "spray"},
    {Role::FORM, "cream", false, "cream"},
    {Role::FORM, "ointment", false, "ointment|oint"},
    {Role::FORM, "eye ointment", false, "eye ointment"},
    {Role::FORM, "gel", false, "gel"},
    {Role::FORM, "oral gel", false, "oral gel"},
    {Role::FORM, "lotion", false, "lotion"},
    {Role::FORM, "powder", false, "powder"},
    {Role::FORM, "dusting powder", false, "dusting powder"},
    {Role::FORM, "granules", false, "granules"},
    {Role::FORM, "sachet", true, "sachet|sachets"},
    {Role::FORM, "suppository", true, "suppository|suppositories"},
    {Role::FORM, "pessary", true, "pessary"},
    {Role::FORM, "inhaler", false, "inhaler"},
    {Role::FORM, "inhalation capsule", true, "rotacap|rotacaps"},
    {Role::FORM, "respules", false, "respules"},
    {Role::FORM, "lozenge", true, "lozenge|lozenges"},
    {Role::FORM, "patch", true, "patch"},
    {Role::FORM, "mouthwash", false, "mouthwash"},
    {Role::FORM, "gargle", false, "gargle"},
    {Role::FORM, "shampoo", false, "shampoo"},
    {Role::FORM, "soap", false, "soap"},
    {Role::MODIFIER, "prolonged-release", false,
     "sr|er|xr|xl|pr|sustained release|extended release|prolonged release"},
    {Role::MODIFIER, "controlled-release", false, "cr|controlled release"},
    {Role::MODIFIER, "modified-release", false, "mr|modified release"},
    {Role::MODIFIER, "gastro-resistant", false,
     "dr|ec|delayed release|enteric coated|gastro resistant|gastroresistant"},
    {Role::MODIFIER, "dispersible", false, "dt|dispersible"},
    {Role::MODIFIER, "orodispersible", false, "md|odt|mouth dissolving|orally disintegrating"},
    {Role::MODIFIER, "chewable", false, "chewable"},
    {Role::MODIFIER, "effervescent", false, "effervescent"},
    {Role::MODIFIER, "vaginal", false, "vaginal"},
    {Role::NOISE, "", false, "ip|bp|usp|oral|film coated|coated|uncoated|contains|duo|forte"},
    {Role::NOISE, "", false, "and|with|plus|per|in"},
    {Role::NOISE, "", false, "vial|vials|ampoule|bottle|tube|strip|of|for"},
    {Role::EQUIVALENT, "", false, "eq to|equivalent to"},
    {Role::EACH, "", false, "each"},
};

// A unit of strength or of a dose: its measure, how many millionths of the base unit one of it
// is, and its spellings (separated by "|"). Counted units (a tablet, a dose) are for dose units and
// packs only; "s" is the count of "10's" and "30s".
struct Unit {
  Measure measure;
  std::int64_t scale;
  std::string_view spellings;
};

constexpr Unit UNITS[] = {
    {Measure::MASS, 1000 * MILLION, "mg|milligram|milligrams"},
    {Measure::MASS, 1000 * 1000 * MILLION, "g|gm|gms|gram|grams"},
    {Measure::MASS, MILLION, "mcg|ug|microgram|micrograms"},
    {Measure::INTERNATIONAL_UNITS, MILLION, "iu"},
    {Measure::UNITS, MILLION, "units"},
    {Measure::VOLUME, MILLION, "ml|millilitre|milliliter"},
    {Measure::VOLUME, 1000 * MILLION, "l|litre"},
    {Measure::COUNT, MILLION,
     "s|tablet|tablets|tab|tabs|capsule|capsules|cap|caps|dose|doses|vial|vials|ampoule|ampoules|"
     "amp|sachet|sachets|no|nos|pcs|puff|actuation|suppository|suppositories"},
};

// Spellings of one substance taken as one: British and Indian Pharmacopoeia spellings, the
// international name for its US one (acetaminophen is paracetamol, albuterol salbutamol), and a
// salt's short forms. A name and its anion ("clavulanic acid", "clavulanate") are one
// ingredient; the salt beside it is told apart below.
struct Spelling {
  std::string_view from;
  std::string_view to;
};
constexpr Spelling SPELLINGS[] = {
    {"amoxycillin", "amoxicillin"},
    {"acetaminophen", "paracetamol"},
    {"albuterol", "salbutamol"},
    {"frusemide", "furosemide"},
    {"lignocaine", "lidocaine"},
    {"glyburide", "glibenclamide"},
    {"rifampin", "rifampicin"},
    {"cephalexin", "cefalexin"},
    {"cephadroxil", "cefadroxil"},
    {"hcl", "hydrochloride"},
    {"hbr", "hydrobromide"},
    {"besilate", "besylate"},
    {"mesilate", "mesylate"},
    {"aluminium", "aluminum"},
    {"clavulanic acid", "clavulanate"},
    {"clavulanic", "clavulanate"},
    {"vitamin d3", "cholecalciferol"},
    {"vit d3", "cholecalciferol"},
    {"co trimoxazole", "cotrimoxazole"},
};

// The salts an ingredient is written with; a name made only of salt words is a substance of its
// own (calcium carbonate, sodium chloride). Water of crystallisation is no salt and is dropped.
constexpr std::string_view SALTS[] = {
    "hydrochloride", "dihydrochloride", "hydrobromide", "sodium",     "disodium", "potassium",
    "dipotassium",   "calcium",         "magnesium",    "aluminum",   "besylate", "maleate",
    "mesylate",      "succinate",       "tartrate",     "bitartrate", "citrate",  "fumarate",
    "sulfate",       "phosphate",       "acetate",      "bromide",    "chloride", "propionate",
    "dipropionate",  "furoate",         "valerate",     "hyclate",    "lactate",  "gluconate",
    "carbonate",     "tosylate",        "oxalate",      "nitrate",    "pamoate",  "embonate",
    "tromethamine",  "trometamol"};
constexpr std::string_view HYDRATES[] = {"hydrate",     "monohydrate",   "dihydrate", "trihydrate",
                                         "hemihydrate", "sesquihydrate", "anhydrous"};

template <std::size_t N>
bool among(const std::string_view (&words)[N], std::string_view word) {
  return std::find(std::begin(words), std::end(words), word) != std::end(words);
}

// Calls `take` with each of the spellings `spellings` separates by "|".
template <class Take>
void for_each_spelling(std::string_view spellings, const Take& take) {
  for (;;) {
    const std::size_t bar = spellings.find('|');
    take(spellings.substr(0, bar));
    if (bar == std::string_view::npos) return;
    spellings.remove_prefix(bar + 1);
  }
}

const Unit* unit_named(std::string_view word) {
  static const auto* const table = [] {
    auto* map = new std::unordered_map<std::string_view, const Unit*>();
    for (const Unit& unit : UNITS) {
      for_each_spelling(unit.spellings,
                        [&](std::string_view spelling) { map->emplace(spelling, &unit); });
    }
    return map;
  }();
  const auto found = table->find(word);
  return found == table->end() ? nullptr : found->second;
}

// The phrases by their first word, longest first.
const std::unordered_map<std::string_view, std::vector<Phrase>>& phrases_by_first_word() {
  static const auto* const table = [] {
    auto* map = new std::unordered_map<std::string_view, std::vector<Phrase>>();
    for (const PhraseGroup& group : PHRASES) {
      for_each_spelling(group.spellings, [&](std::string_view words) {
        (*map)[words.substr(0, words.find(' '))].push_back(
            {words, group.role, group.canonical, group.per_unit});
      });
    }
    for (auto& [first, list] : *map) {
      std::stable_sort(list.begin(), list.end(), [](const Phrase& a, const Phrase& b) {
        return a.words.size() > b.words.size();
      });
    }
    return map;
  }();
  return *table;
}

enum class Kind : std::uint8_t { WORD, NUMBER, SEPARATOR, SLASH, PERCENT };

struct Token {
  Kind kind;
  std::string_view text;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return c >= 'a' && c <= 'z'; }
bool is_alnum(char c) { return is_digit(c) || is_letter(c); }

// Returns `text` in the few characters the reading below knows: ASCII lower case, "µ" and "μ" as
// "u", other non-ASCII as a space; a point kept only between digits ("12.5"), else dropped
// between letters ("I.P." is "ip") or a space; a hyphen dropped between a letter and a digit
// ("B-12"), else a space ("extended-release"); apostrophes dropped ("10's" is "10s").
void clean(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const char next = i + 1 < text.size() ? text[i + 1] : ' ';
    const char before = out.empty() ? ' ' : out.back();
    if ((byte == 0xC2 && next == '\xB5') || (byte == 0xCE && next == '\xBC')) {
      out += 'u';
      ++i;
    } else if (byte >= 0x80) {
      out += ' ';
    } else if (byte >= 'A' && byte <= 'Z') {
      out += static_cast<char>(byte - 'A' + 'a');
    } else if (byte == '.') {
      const char lower_next = static_cast<char>(next >= 'A' && next <= 'Z' ? next + 32 : next);
      if (is_digit(before) && is_digit(next)) {
        out += '.';
      } else if (is_digit(next) && !is_alnum(before)) {
        out += "0.";  // ".5 mg" is half a milligram, not 5
      } else if (!(is_letter(before) && is_letter(lower_next))) {
        out += ' ';
      }
    } else if (byte == '-') {
      if (!is_letter(before) || !is_digit(next)) out += ' ';
    } else if (byte != '\'') {
      out += static_cast<char>(byte);
    }
  }
}

// Returns the tokens of a cleaned text: words (a letter, then letters and digits: "b12"),
// numbers ("12.5", ended by a letter: "500mg" is two tokens), separators (+ & , ;), "/" and "%".
void tokenize(std::string_view text, std::vector<Token>& tokens) {
  tokens.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    const std::size_t start = i;
    if (is_letter(c)) {
      while (i < text.size() && is_alnum(text[i])) ++i;
      tokens.push_back({Kind::WORD, text.substr(start, i - start)});
    } else if (is_digit(c)) {
      while (i < text.size() && (is_digit(text[i]) || text[i] == '.')) ++i;
      tokens.push_back({Kind::NUMBER, text.substr(start, i - start)});
    } else {
      ++i;
      if (c == '+' || c == '&' || c == ',' || c == ';') {
        tokens.push_back({Kind::SEPARATOR, text.substr(start, 1)});
      } else if (c == '/') {
        tokens.push_back({Kind::SLASH, text.substr(start, 1)});
      } else if (c == '%') {
        tokens.push_back({Kind::PERCENT, text.substr(start, 1)});
      }
    }
  }
}

// Returns the millionths of a number's text, or none for one with two points, more than six
// decimals or too many digits.
std::optional<std::int64_t> millionths_of(std::string_view text) {
  std::int64_t whole = 0;
  std::int64_t fraction = 0;
  std::int64_t scale = MILLION;
  bool point = false;
  std::size_t digits = 0;
  for (const char c : text) {
    if (c == '.') {
      if (point) return std::nullopt;
      point = true;
    } else if (!point) {
      if (++digits > 9) return std::nullopt;
      whole = whole * 10 + (c - '0');
    } else {
      if (scale == 1) return std::nullopt;
      scale /= 10;
      fraction += (c - '0') * scale;
    }
  }
  return whole * MILLION + fraction;
}

// Returns whether the words of `phrase` (a space between two) are the words from `at` on of the
// `count` that `word(i)` gives.
template <class Word>
bool words_match(std::string_view phrase, std::size_t at, std::size_t count, const Word& word) {
  for (std::size_t i = at; i < count; ++i) {
    const std::string_view text = word(i);
    if (!phrase.starts_with(text)) return false;
    if (phrase.size() == text.size()) return true;
    if (phrase[text.size()] != ' ') return false;
    phrase.remove_prefix(text.size() + 1);
  }
  return false;
}

// Returns the phrase of PHRASES that begins at tokens[at], the longest, or null. A phrase's words
// are letters, which only a word's token holds.
const Phrase* phrase_at(const std::vector<Token>& tokens, std::size_t at) {
  const auto& table = phrases_by_first_word();
  const auto found = table.find(tokens[at].text);
  if (found == table.end()) return nullptr;
  for (const Phrase& phrase : found->second) {
    if (words_match(phrase.words, at, tokens.size(),
                    [&tokens](std::size_t i) { return tokens[i].text; })) {
      return &phrase;
    }
  }
  return nullptr;
}

std::size_t word_count(std::string_view words) {
  return static_cast<std::size_t>(std::count(words.begin(), words.end(), ' ')) + 1;
}

// Returns `count` millionths of `unit` as an amount of its base unit, or none when too large.
// Every unit is a whole number of base units, so the product is exact.
std::optional<Amount> scaled(std::int64_t count, const Unit& unit) {
  const std::int64_t base_units = unit.scale / MILLION;
  if (count > INT64_MAX / base_units) return std::nullopt;
  return Amount{count * base_units, unit.measure};
}

// An amount with its unit: a strength, a dose unit or a pack, read at tokens[at]; `at` is moved
// past it. None, with `at` unmoved, when no number and unit are there.
std::optional<Amount> amount_at(const std::vector<Token>& tokens, std::size_t& at,
                                bool number_optional) {
  std::size_t i = at;
  std::int64_t count = MILLION;
  if (i < tokens.size() && tokens[i].kind == Kind::NUMBER) {
    const auto value = millionths_of(tokens[i].text);
    if (!value) return std::nullopt;
    count = *value;
    ++i;
  } else if (!number_optional) {
    return std::nullopt;
  }
  if (i >= tokens.size()) return std::nullopt;
  if (tokens[i].kind == Kind::PERCENT) {
    Measure measure = Measure::PERCENT;
    ++i;
    // A basis: w/w, w/v or v/v.
    if (i + 2 < tokens.size() && tokens[i].kind == Kind::WORD &&
        tokens[i + 1].kind == Kind::SLASH && tokens[i + 2].kind == Kind::WORD) {
      const std::string_view of = tokens[i].text;
      const std::string_view in = tokens[i + 2].text;
      if (of == "w" && in == "w") measure = Measure::PERCENT_W_W;
      if (of == "w" && in == "v") measure = Measure::PERCENT_W_V;
      if (of == "v" && in == "v") measure = Measure::PERCENT_V_V;
      if (measure != Measure::PERCENT) i += 3;
    }
    at = i;
    return Amount{count, measure};
  }
  if (tokens[i].kind != Kind::WORD) return std::nullopt;
  const Unit* unit = unit_named(tokens[i].text);
  if (unit == nullptr) return std::nullopt;
  const auto amount = scaled(count, *unit);
  if (!amount) return std::nullopt;
  at = i + 1;
  return amount;
}

// A name of one ingredient or a strength, in the order the text writes them.
struct Item {
  bool is_name = false;
  std::vector<std::string_view> words;  // a name
  Amount strength;
  std::optional<Amount> per;
};

// Returns `word` as SPELLINGS spells it alone.
std::string spelled_word(std::string_view word) {
  for (const Spelling& spelling : SPELLINGS) {
    if (spelling.from == word) return std::string(spelling.to);
  }
  std::string spelled(word);
  if (spelled.rfind("sulph", 0) == 0) spelled.replace(0, 5, "sulf");  // sulphate, sulphadiazine
  return spelled;
}

// Appends each of `words` to `out`, a space between two.
void append_words(std::string& out, const std::vector<std::string_view>& words) {
  for (const std::string_view word : words) {
    if (!out.empty()) out += ' ';
    out += word;
  }
}

// Returns `words` as one ingredient's name and salt (see SPELLINGS, SALTS, HYDRATES).
Ingredient ingredient_of(const std::vector<std::string_view>& words) {
  std::vector<std::string> spelled;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const Spelling* spelling = std::ranges::find_if(SPELLINGS, [&](const Spelling& candidate) {
      return words_match(candidate.from, i, words.size(),
                         [&words](std::size_t at) { return words[at]; });
    });
    if (spelling != std::end(SPELLINGS)) {
      spelled.emplace_back(spelling->to);
      i += word_count(spelling->from) - 1;
      continue;
    }
    std::string word = spelled_word(words[i]);
    if (!among(HYDRATES, word)) spelled.push_back(std::move(word));
  }
  Ingredient ingredient;
  std::vector<std::string_view> salts;
  std::vector<std::string_view> others;
  for (const std::string& word : spelled) (among(SALTS, word) ? salts : others).push_back(word);
  if (others.empty()) {
    append_words(ingredient.name, salts);
  } else {
    append_words(ingredient.name, others);
    std::ranges::sort(salts);
    append_words(ingredient.salts, salts);
  }
  return ingredient;
}

// What reading one medicine found so far; its names are views of the cleaned texts it holds.
struct Reading {
  std::string composition;
  std::string name;
  std::vector<Item> items;
  std::vector<std::string_view> forms;
  std::vector<std::string_view> modifiers;
  bool form_per_unit = false;
  std::optional<Amount> each;
  std::string problem;
};

// Reads `text` into `reading`: every part of it when `whole`, else only its form and modifiers
// (a brand's name, whose own words are passed over).
void read_text(const std::string& cleaned, bool whole, Reading& reading) {
  std::vector<Token> tokens;
  tokenize(cleaned, tokens);
  std::vector<std::string_view> name;
  bool replace_next = false;
  const auto add_once = [](std::vector<std::string_view>& words, std::string_view word) {
    if (std::ranges::find(words, word) == words.end()) words.push_back(word);
  };
  auto end_name = [&] {
    if (name.empty()) return;
    // "Amlodipine Besylate eq. to Amlodipine": the second name, with the salt of the first.
    if (replace_next && !reading.items.empty() && reading.items.back().is_name) {
      for (const std::string_view word : reading.items.back().words) {
        if (among(SALTS, spelled_word(word))) name.push_back(word);
      }
      reading.items.pop_back();
    }
    replace_next = false;
    Item item;
    item.is_name = true;
    item.words = std::move(name);
    reading.items.push_back(std::move(item));
    name.clear();
  };
  for (std::size_t i = 0; i < tokens.size() && reading.problem.empty();) {
    const Token& token = tokens[i];
    if (token.kind == Kind::WORD) {
      if (const Phrase* phrase = phrase_at(tokens, i)) {
        end_name();
        i += word_count(phrase->words);
        switch (phrase->role) {
          case Role::FORM:
            add_once(reading.forms, phrase->canonical);
            reading.form_per_unit = phrase->per_unit;
            break;
          case Role::MODIFIER:
            add_once(reading.modifiers, phrase->canonical);
            break;
          case Role::EQUIVALENT:
            replace_next = whole;
            break;
          case Role::EACH:
            if (auto per = amount_at(tokens, i, false); per && whole) reading.each = per;
            break;
          case Role::NOISE:
            break;
        }
        continue;
      }
      if (whole) {
        // A unit word of two letters or more: "L-Carnitine" and "Vitamin E" are names.
        const Unit* unit = unit_named(token.text);
        if (unit != nullptr && unit->measure != Measure::COUNT && token.text.size() > 1) {
          reading.problem = "a unit without a number: " + std::string(token.text);
        }
        name.push_back(token.text);
      }
      ++i;
    } else if (token.kind == Kind::NUMBER && whole) {
      end_name();
      auto strength = amount_at(tokens, i, false);
      if (!strength || strength->measure == Measure::COUNT) {
        reading.problem = "a number without a unit of strength: " + std::string(token.text);
        break;
      }
      Item item;
      item.strength = *strength;
      // A dose unit: "/5 ml", "per ml", "in 5 ml", "per tablet".
      if (i < tokens.size() &&
          (tokens[i].kind == Kind::SLASH ||
           (tokens[i].kind == Kind::WORD && (tokens[i].text == "per" || tokens[i].text == "in")))) {
        ++i;
        std::size_t at = i;
        item.per = amount_at(tokens, at, true);
        if (!item.per) {
          reading.problem = "a dose unit this program does not read";
          break;
        }
        i = at;
      }
      reading.items.push_back(std::move(item));
    } else {
      if (token.kind != Kind::WORD) end_name();
      if (whole && token.kind == Kind::PERCENT) reading.problem = "a % without a number";
      ++i;
    }
  }
  end_name();
}

bool is_percent(Measure measure) {
  return measure == Measure::PERCENT || measure == Measure::PERCENT_W_W ||
         measure == Measure::PERCENT_W_V || measure == Measure::PERCENT_V_V;
}

bool same_ingredient(const Ingredient& a, const Ingredient& b) {
  return a.name == b.name && a.strength == b.strength && a.per == b.per &&
         (a.salts.empty() || b.salts.empty() || a.salts == b.salts);
}

// Returns a key that two formulations share when they may be the same medicine: the form and
// each ingredient's name, strength and dose unit (salts are compared after).
std::string key_of(const Formulation& formulation) {
  std::string key = formulation.form;
  for (const Ingredient& ingredient : formulation.ingredients) {
    key += '|';
    key += ingredient.name;
    key += '@';
    key += std::to_string(ingredient.strength.millionths);
    key += static_cast<char>('A' + static_cast<int>(ingredient.strength.measure));
    if (ingredient.per) {
      key += '/';
      key += std::to_string(ingredient.per->millionths);
      key += static_cast<char>('A' + static_cast<int>(ingredient.per->measure));
    }
  }
  return key;
}

// Returns how many doses of `formulation` a pack holds (more than 0), or none when there is no
// pack or it is not measured as its dose unit is (tablets against millilitres).
std::optional<double> doses_in(const Formulation& formulation, const std::optional<Amount>& pack) {
  const std::optional<Amount>& per = formulation.ingredients.front().per;
  for (const Ingredient& ingredient : formulation.ingredients) {
    if (ingredient.per != per) return std::nullopt;
  }
  if (!pack || pack->millionths <= 0) return std::nullopt;
  if (per) {
    if (per->measure != pack->measure || per->millionths <= 0) return std::nullopt;
    return static_cast<double>(pack->millionths) / static_cast<double>(per->millionths);
  }
  // A percentage: the dose unit is a gram or a millilitre of the pack.
  if (pack->measure == Measure::MASS) return static_cast<double>(pack->millionths) / 1e12;
  if (pack->measure == Measure::VOLUME) return static_cast<double>(pack->millionths) / 1e6;
  return std::nullopt;
}

double round2(double value) { return std::round(value * 100.0) / 100.0; }

// Buffers reused from one name to the next, so that reading ten thousand names allocates little.
struct Scratch {
  std::string cleaned;
  std::vector<Token> tokens;
  std::vector<std::string_view> found;
  std::string key;
};

// Returns the forms and modifiers `name` names, sorted and joined, in `scratch.key` after what
// it holds: all a brand's name adds to a reading.
void append_name_signature(std::string_view name, Scratch& scratch) {
  if (name.empty()) return;
  clean(name, scratch.cleaned);
  tokenize(scratch.cleaned, scratch.tokens);
  scratch.found.clear();
  for (std::size_t i = 0; i < scratch.tokens.size();) {
    const Phrase* phrase =
        scratch.tokens[i].kind == Kind::WORD ? phrase_at(scratch.tokens, i) : nullptr;
    i += phrase == nullptr ? 1 : word_count(phrase->words);
    if (phrase != nullptr && (phrase->role == Role::FORM || phrase->role == Role::MODIFIER)) {
      scratch.found.push_back(phrase->canonical);
    }
  }
  std::sort(scratch.found.begin(), scratch.found.end());
  for (const std::string_view word : scratch.found) (scratch.key += word) += ';';
}

std::optional<Amount> read_pack(std::string_view text, Scratch& scratch) {
  clean(text, scratch.cleaned);
  tokenize(scratch.cleaned, scratch.tokens);
  const std::vector<Token>& tokens = scratch.tokens;
  static constexpr std::string_view CONTAINERS[] = {"strip", "pack", "bottle", "box", "tube",
                                                    "jar",   "of",   "a",      "x"};
  std::size_t i = 0;
  while (i < tokens.size() && tokens[i].kind == Kind::WORD && among(CONTAINERS, tokens[i].text)) {
    ++i;
  }
  if (i >= tokens.size() || tokens[i].kind != Kind::NUMBER) return std::nullopt;
  auto count = millionths_of(tokens[i].text);
  if (!count) return std::nullopt;
  ++i;
  // "10 x 10": ten strips of ten ("x10" is one word).
  std::string_view times_text;
  if (i < tokens.size() && tokens[i].kind == Kind::WORD && tokens[i].text.size() > 1 &&
      tokens[i].text[0] == 'x' && is_digit(tokens[i].text[1])) {
    times_text = tokens[i++].text.substr(1);
  } else if (i + 1 < tokens.size() && tokens[i].kind == Kind::WORD && tokens[i].text == "x" &&
             tokens[i + 1].kind == Kind::NUMBER) {
    times_text = tokens[i + 1].text;
    i += 2;
  }
  if (!times_text.empty()) {
    const auto times = millionths_of(times_text);
    if (!times || *times % MILLION != 0 || *times == 0 || *count > INT64_MAX / (*times / MILLION)) {
      return std::nullopt;
    }
    count = *count * (*times / MILLION);
  }
  Amount pack{*count, Measure::COUNT};
  if (i < tokens.size() && tokens[i].kind == Kind::WORD) {
    if (const Unit* unit = unit_named(tokens[i].text)) {
      const auto amount = scaled(*count, *unit);
      if (!amount) return std::nullopt;
      pack = *amount;
      ++i;
    } else if (const Phrase* phrase = phrase_at(tokens, i);
               phrase != nullptr && phrase->role == Role::FORM && phrase->per_unit) {
      i += word_count(phrase->words);  // "15 softgels", "10 rotacaps"
    }
  }
  while (i < tokens.size() && tokens[i].kind == Kind::WORD && among(CONTAINERS, tokens[i].text)) {
    ++i;
  }
  if (i != tokens.size() || pack.millionths <= 0) return std::nullopt;
  return pack;
}

}  // namespace

Result<Formulation> read_formulation(std::string_view composition, std::string_view name) {
  Reading reading;
  clean(composition, reading.composition);
  clean(name, reading.name);
  read_text(reading.composition, true, reading);
  if (!reading.problem.empty()) return Error{reading.problem};
  read_text(reading.name, false, reading);
  if (reading.forms.empty()) return Error{"no form named"};
  if (reading.forms.size() > 1) return Error{"more than one form named"};

  std::vector<const Item*> names;
  std::vector<Item*> strengths;
  for (Item& item : reading.items) {
    if (item.is_name) {
      names.push_back(&item);
    } else {
      strengths.push_back(&item);
    }
  }
  if (names.empty()) return Error{"no active ingredient"};
  if (names.size() != strengths.size()) {
    return Error{std::to_string(names.size()) + " ingredients with " +
                 std::to_string(strengths.size()) + " strengths"};
  }
  // Each name followed by its strength, or every name and then every strength in that order.
  bool interleaved = true;
  bool grouped = true;
  for (std::size_t i = 0; i < reading.items.size(); ++i) {
    interleaved = interleaved && reading.items[i].is_name == (i % 2 == 0);
    grouped = grouped && reading.items[i].is_name == (i < names.size());
  }
  if (!interleaved && !grouped) return Error{"strengths not in an order that pairs them"};

  // A strength without a dose unit takes the next one written ("A 200 mg + B 28.5 mg per 5 ml"),
  // else the one of "each 5 ml", else one unit of a form counted in units.
  std::optional<Amount> following;
  for (auto it = strengths.rbegin(); it != strengths.rend(); ++it) {
    if ((*it)->per) following = (*it)->per;
    if (!(*it)->per && !is_percent((*it)->strength.measure)) {
      (*it)->per = following ? following : reading.each;
      if (!(*it)->per && reading.form_per_unit) (*it)->per = Amount{MILLION, Measure::COUNT};
      if (!(*it)->per) return Error{"a strength not given per a dose unit"};
    }
  }

  Formulation formulation;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Ingredient ingredient = ingredient_of(names[i]->words);
    if (ingredient.name.empty()) return Error{"an ingredient without a name"};
    ingredient.strength = strengths[i]->strength;
    ingredient.per = strengths[i]->per;
    formulation.ingredients.push_back(std::move(ingredient));
  }
  std::ranges::sort(formulation.ingredients, {}, &Ingredient::name);
  if (std::ranges::adjacent_find(formulation.ingredients, {}, &Ingredient::name) !=
      formulation.ingredients.end()) {
    return Error{"an ingredient named twice"};
  }
  formulation.form = reading.forms.front();
  std::ranges::sort(reading.modifiers);
  append_words(formulation.form, reading.modifiers);
  return formulation;
}

bool same_medicine(const Formulation& a, const Formulation& b) {
  return a.form == b.form && std::ranges::equal(a.ingredients, b.ingredients, same_ingredient);
}

std::optional<Amount> read_pack(std::string_view text) {
  Scratch scratch;
  return read_pack(text, scratch);
}

// What the matcher holds: the readings of the texts met so far, the generics by their key, and
// the records of the matches so far.
struct MedicineMatcher::State {
  // One reading per distinct text: the list names a medicine once per pack, and many brands
  // share one composition. A brand's name adds only its forms, so its signature stands for it.
  struct Known {
    std::optional<Formulation> formulation;  // none: refused
    std::string key;
  };
  struct Candidate {
    const Formulation* formulation;
    double paise_per_dose;
    std::string name;
  };
  std::unordered_map<std::string, Known> readings;
  std::unordered_map<std::string_view, std::vector<Candidate>> by_key;
  std::vector<MedicineArbitrage> matches;  // in the order of adding
  Scratch scratch;

  const Known& known(std::string_view composition, std::string_view name) {
    scratch.key.assign(composition);
    scratch.key += '\x1f';
    append_name_signature(name, scratch);
    if (const auto entry = readings.find(scratch.key); entry != readings.end()) {
      return entry->second;
    }
    Known& entry = readings[scratch.key];
    auto formulation = read_formulation(composition, name);
    if (formulation.ok()) {
      entry.key = key_of(formulation.value());
      entry.formulation = std::move(formulation.value());
    }
    return entry;
  }
};

MedicineMatcher::MedicineMatcher(const std::vector<GenericOffer>& generics)
    : state_(std::make_unique<State>()) {
  for (const GenericOffer& generic : generics) {
    if (generic.surgical || !generic.mrp_paise) continue;
    const State::Known& medicine = state_->known(generic.name, {});
    if (!medicine.formulation) continue;
    const auto doses =
        doses_in(*medicine.formulation, read_pack(generic.unit_size, state_->scratch));
    if (!doses) continue;
    // A vector of the candidates of one key grows, but the formulations they point to are the
    // map's, whose nodes stay where they are.
    state_->by_key[medicine.key].push_back(State::Candidate{
        &*medicine.formulation, static_cast<double>(*generic.mrp_paise) / *doses, generic.name});
  }
}

MedicineMatcher::~MedicineMatcher() = default;
MedicineMatcher::MedicineMatcher(MedicineMatcher&&) noexcept = default;
MedicineMatcher& MedicineMatcher::operator=(MedicineMatcher&&) noexcept = default;

void MedicineMatcher::reserve(std::size_t branded_rows) {
  state_->matches.reserve(state_->matches.size() + branded_rows);
}

void MedicineMatcher::add(std::string_view name, std::string_view salt_composition,
                          std::int64_t price_paise, std::string_view pack) {
  if (pack.empty() || price_paise <= 0) return;
  const State::Known& medicine = state_->known(salt_composition, name);
  if (!medicine.formulation) return;
  const auto same_key = state_->by_key.find(medicine.key);
  if (same_key == state_->by_key.end()) return;
  const auto doses = doses_in(*medicine.formulation, read_pack(pack, state_->scratch));
  if (!doses) return;
  const State::Candidate* best = nullptr;
  for (const State::Candidate& candidate : same_key->second) {
    if (!same_medicine(*candidate.formulation, *medicine.formulation)) continue;
    if (best == nullptr || candidate.paise_per_dose < best->paise_per_dose) best = &candidate;
  }
  if (best == nullptr) return;
  const double branded_per_dose = static_cast<double>(price_paise) / *doses;
  MedicineArbitrage& match = state_->matches.emplace_back();
  match.branded_medicine_name.reserve(name.size() + pack.size() + 3);
  ((((match.branded_medicine_name += name) += " (") += pack) += ')');
  match.branded_price_inr = static_cast<double>(price_paise) / 100.0;
  match.salt_composition = salt_composition;
  match.jan_aushadhi_generic_name = best->name;
  match.jan_aushadhi_price_inr = std::round(best->paise_per_dose * *doses) / 100.0;
  match.savings_percent = round2((1.0 - best->paise_per_dose / branded_per_dose) * 100.0);
}

std::vector<MedicineArbitrage> MedicineMatcher::take_matches() {
  std::vector<MedicineArbitrage>& matches = state_->matches;
  // A total order (the order of adding last), so no stable sort's buffer is needed; the records
  // are then put in that order where they are, rather than moved into a second vector.
  std::vector<std::size_t> order(matches.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&matches](std::size_t a, std::size_t b) {
    const MedicineArbitrage& first = matches[a];
    const MedicineArbitrage& second = matches[b];
    if (first.savings_percent != second.savings_percent) {
      return first.savings_percent > second.savings_percent;
    }
    const int names = first.branded_medicine_name.compare(second.branded_medicine_name);
    return names != 0 ? names < 0 : a < b;
  });
  // Position k takes the record at order[k]: each cycle of the permutation is followed once.
  for (std::size_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) continue;
    MedicineArbitrage held = std::move(matches[start]);
    std::size_t at = start;
    while (order[at] != start) {
      const std::size_t from = order[at];
      matches[at] = std::move(matches[from]);
      order[at] = at;
      at = from;
    }
    matches[at] = std::move(held);
    order[at] = at;
  }
  return std::exchange(matches, {});
}

std::vector<MedicineArbitrage> match_medicines(const std::vector<GenericOffer>& generics,
                                               const std::vector<BrandedOffer>& branded) {
  MedicineMatcher matcher(generics);
  matcher.reserve(branded.size());
  for (const BrandedOffer& offer : branded) {
    matcher.add(offer.name, offer.salt_composition, offer.price_paise, offer.pack);
  }
  return matcher.take_matches();
}

std::string more_medicines_line(const MedicineSelection& selection) {
  const std::size_t shown = selection.medicines.size();
  return std::to_string(selection.more) + " more of " + std::to_string(shown + selection.more) +
         " matching medicines not listed: these are the " + std::to_string(shown) +
         " with the largest saving. Narrow the query (a brand or a salt) to see the others.";
}

MedicineSelection select_medicines(const std::vector<MedicineArbitrage>& matches,
                                   std::string_view query, std::size_t limit) {
  return select_medicines(matches, medicine_search_keys(matches), query, limit);
}

std::vector<MedicineSearchKeys> medicine_search_keys(
    const std::vector<MedicineArbitrage>& matches) {
  std::vector<MedicineSearchKeys> keys;
  keys.reserve(matches.size());
  for (const MedicineArbitrage& match : matches) {
    keys.push_back({text::to_lower(match.branded_medicine_name),
                    text::to_lower(match.salt_composition),
                    text::to_lower(match.jan_aushadhi_generic_name)});
  }
  return keys;
}

MedicineSelection select_medicines(const std::vector<MedicineArbitrage>& matches,
                                   const std::vector<MedicineSearchKeys>& keys,
                                   std::string_view query, std::size_t limit) {
  MedicineSelection selection;
  const std::string needle = text::to_lower(query);
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const bool found = needle.empty() || std::ranges::any_of(keys[i], [&](const std::string& key) {
                         return key.find(needle) != std::string::npos;
                       });
    if (!found) continue;
    if (selection.medicines.size() < limit) {
      selection.medicines.push_back(matches[i]);
    } else {
      ++selection.more;
    }
  }
  return selection;
}

}  // namespace qmr::engine
