// The driver of bench/medicines.
//   medicine_match generate DIR GENERICS BRANDED
//     writes DIR/jan_aushadhi.csv and DIR/branded.csv (made-up rows in the lists' own shapes, for
//     `import`), and DIR/generic_keys.csv and DIR/branded_keys.csv: the same rows with the key of
//     each medicine (form, ingredients, strengths, dose unit) and its doses per pack, which the
//     generator knows because it wrote the names; sqlite3 joins on them.
//   medicine_match match DIR
//     opens the store in DIR, matches its branded medicines to its generics as the program does
//     and writes each match as the tool's JSON object, a line each.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "engine/records.hpp"
#include "store/medicines.hpp"
#include "store/store.hpp"

namespace {

constexpr const char* INGREDIENTS[] = {
    "Paracetamol",   "Ibuprofen",     "Amoxycillin",  "Azithromycin",  "Cetirizine",
    "Metformin",     "Atorvastatin",  "Amlodipine",   "Losartan",      "Telmisartan",
    "Pantoprazole",  "Omeprazole",    "Ranitidine",   "Ciprofloxacin", "Ofloxacin",
    "Levofloxacin",  "Doxycycline",   "Cefixime",     "Cefuroxime",    "Glimepiride",
    "Gliclazide",    "Sitagliptin",   "Metoprolol",   "Atenolol",      "Propranolol",
    "Clopidogrel",   "Aspirin",       "Rosuvastatin", "Montelukast",   "Levocetirizine",
    "Fexofenadine",  "Domperidone",   "Ondansetron",  "Diclofenac",    "Aceclofenac",
    "Tramadol",      "Gabapentin",    "Pregabalin",   "Sertraline",    "Escitalopram",
    "Fluoxetine",    "Amitriptyline", "Olanzapine",   "Risperidone",   "Haloperidol",
    "Levetiracetam", "Phenytoin",     "Valproate",    "Carbamazepine", "Lamotrigine",
    "Prednisolone",  "Methotrexate",  "Allopurinol",  "Furosemide",    "Spironolactone",
    "Hydralazine",   "Hydroxyzine",   "Clonazepam",   "Alprazolam",    "Albendazole"};
constexpr int INGREDIENT_COUNT = sizeof INGREDIENTS / sizeof INGREDIENTS[0];
constexpr int STRENGTHS_MG[] = {5, 10, 20, 40, 50, 100, 250, 500};
// Ingredients written with their salt in the generic's name only (it matches either way).
bool salted(int ingredient) { return ingredient % 4 == 1; }

enum Form { TABLET, CAPSULE, SUSPENSION, PROLONGED };

// One made-up medicine: one or two ingredients with strengths, and a form.
struct Medicine {
  int a, strength_a, b, strength_b;  // b < 0: one ingredient
  Form form;
};

Medicine medicine(std::uint64_t n) {
  Medicine m{};
  m.a = static_cast<int>(n % INGREDIENT_COUNT);
  m.strength_a = STRENGTHS_MG[(n / INGREDIENT_COUNT) % 8];
  const std::uint64_t form = (n / 7) % 20;
  m.form = form < 12 ? TABLET : form < 15 ? CAPSULE : form < 18 ? SUSPENSION : PROLONGED;
  m.b = n % 5 == 0 ? static_cast<int>((n + 7) % INGREDIENT_COUNT) : -1;
  m.strength_b = STRENGTHS_MG[(n / 3) % 8];
  return m;
}

std::string key(const Medicine& m) {
  const char* forms[] = {"tablet", "capsule", "suspension", "tablet prolonged"};
  std::string first = std::string(INGREDIENTS[m.a]) + "@" + std::to_string(m.strength_a);
  std::string text = forms[m.form];
  if (m.b >= 0) {
    std::string second = std::string(INGREDIENTS[m.b]) + "@" + std::to_string(m.strength_b);
    if (second < first) std::swap(first, second);
    text += "|" + first + "|" + second;
  } else {
    text += "|" + first;
  }
  return text;
}

std::string generic_name(const Medicine& m) {
  const std::string a = std::string(INGREDIENTS[m.a]) + (salted(m.a) ? " Hydrochloride" : "");
  const std::string sa = std::to_string(m.strength_a);
  std::string b, sb;
  if (m.b >= 0) {
    b = std::string(" and ") + INGREDIENTS[m.b];
    sb = " + " + std::to_string(m.strength_b) + " mg";
  }
  switch (m.form) {
    case TABLET:
      return a + b + " Tablets IP " + sa + " mg" + sb;
    case CAPSULE:
      return a + b + " Capsules IP " + sa + " mg" + sb;
    case SUSPENSION:
      return a + b + " Oral Suspension IP " + sa + " mg" + sb + " per 5 ml";
    case PROLONGED:
      return a + b + " Prolonged Release Tablets IP " + sa + " mg" + sb;
  }
  return {};
}

std::string composition(const Medicine& m) {
  const std::string per = m.form == SUSPENSION ? "mg/5ml)" : "mg)";
  std::string text = std::string(INGREDIENTS[m.a]) + " (" + std::to_string(m.strength_a) + per;
  if (m.b >= 0) {
    text += std::string(" + ") + INGREDIENTS[m.b] + " (" + std::to_string(m.strength_b) + per;
  }
  return text;
}

int generate(const std::string& folder, std::uint64_t generics, std::uint64_t branded) {
  std::ofstream list(folder + "/jan_aushadhi.csv", std::ios::binary);
  std::ofstream list_keys(folder + "/generic_keys.csv", std::ios::binary);
  list << "\xEF\xBB\xBFSr No,Drug Code,Generic Name,Unit Size,MRP,Group Name\r\n";
  list_keys << "key,drug_code,name,mrp_paise,doses,surgical\n";
  // About 1,000 medicines in 2,500 codes: each in two or three packs.
  const std::uint64_t distinct = generics * 2 / 5;
  std::uint64_t random = 88172645463325252ULL;
  auto next = [&random] {
    random ^= random << 13;
    random ^= random >> 7;
    random ^= random << 17;
    return random;
  };
  for (std::uint64_t g = 0; g < generics; ++g) {
    const Medicine m = medicine(g % distinct);
    const bool surgical = g % 50 == 49;
    const bool unknown = g % 33 == 32;
    const int pack_index = static_cast<int>(g / distinct % 3);
    const int tablets[] = {10, 15, 30};
    const int millilitres[] = {60, 100, 30};
    const bool liquid = m.form == SUSPENSION;
    const std::string pack = liquid ? std::to_string(millilitres[pack_index]) + " ml"
                                    : std::to_string(tablets[pack_index]) + "'s";
    const double doses = liquid ? millilitres[pack_index] / 5.0 : tablets[pack_index];
    const std::uint64_t mrp = unknown ? 0 : 500 + next() % 20000;
    const std::string name =
        surgical ? "Surgical Gauze Swab " + std::to_string(g) + " cm" : generic_name(m);
    list << g + 1 << ",JA" << g << ",\"" << name << "\"," << pack << "," << mrp / 100 << "."
         << (mrp % 100 < 10 ? "0" : "") << mrp % 100 << "," << (surgical ? "Surgical" : "Generic")
         << "\r\n";
    list_keys << '"' << key(m) << "\",JA" << g << ",\"" << name << "\"," << mrp << "," << doses
              << "," << (surgical ? 1 : 0) << "\n";
  }
  std::ofstream prices(folder + "/branded.csv", std::ios::binary);
  std::ofstream price_keys(folder + "/branded_keys.csv", std::ios::binary);
  prices << "branded_medicine_name,salt_composition,branded_price_inr,pack\n";
  price_keys << "key,name,pack,composition,price_paise,doses\n";
  for (std::uint64_t b = 0; b < branded; ++b) {
    // Four in five name a medicine of the list; the rest one it does not have.
    const Medicine m = medicine(b % 5 == 4 ? distinct + b : (b * 7) % distinct);
    const bool liquid = m.form == SUSPENSION;
    const char* forms[] = {" Tablet", " Capsule", " Suspension", " SR Tablet"};
    const std::string name = "Brand" + std::to_string(b) + forms[m.form];
    const bool packed = b % 20 != 19;
    const std::string pack = !packed ? "" : liquid ? "100 ml" : "15 tablets";
    const double doses = !packed ? 0 : liquid ? 20 : 15;
    const std::uint64_t price = 2000 + next() % 50000;
    prices << name << ",\"" << composition(m) << "\"," << price / 100 << "."
           << (price % 100 < 10 ? "0" : "") << price % 100 << "," << pack << "\n";
    price_keys << '"' << key(m) << "\",\"" << name << "\"," << pack << ",\"" << composition(m)
               << "\"," << price << "," << doses << "\n";
  }
  return list && list_keys && prices && price_keys ? 0 : 1;
}

int match(const std::string& folder) {
  auto store = qmr::store::open_store(folder);
  if (!store.ok()) {
    std::fprintf(stderr, "%s\n", store.error().message.c_str());
    return 1;
  }
  auto matches = qmr::store::load_medicine_matches(store.value());
  if (!matches.ok()) {
    std::fprintf(stderr, "%s\n", matches.error().message.c_str());
    return 1;
  }
  // A line per match, as sqlite3 writes its rows: the tool's JSON object of the record.
  std::string line;
  for (const qmr::engine::MedicineArbitrage& medicine : matches.value()) {
    line.clear();
    qmr::engine::write_sorted_object(medicine, line);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  std::fprintf(stdout, "%zu matches\n", matches.value().size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "generate") {
    return generate(args[1], std::stoull(args[2]), std::stoull(args[3]));
  }
  if (args.size() == 2 && args[0] == "match") return match(args[1]);
  std::fprintf(stderr,
               "usage: medicine_match generate DIR GENERICS BRANDED | medicine_match match DIR\n");
  return 2;
}
