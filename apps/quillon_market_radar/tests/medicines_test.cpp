// The matching of branded medicines to Jan Aushadhi generics: names read into ingredients,
// strengths, dose units and forms; packs; the look-alikes that must never match; the savings.
#include "engine/medicines.hpp"

#include <gtest/gtest.h>

namespace qmr::engine {
namespace {

// Returns `formulation` as "form | name[salt] AMOUNT/PER | ..." or the reason it was refused.
std::string described(const Result<Formulation>& formulation) {
  if (!formulation.ok()) return "refused: " + formulation.error().message;
  constexpr std::string_view UNIT[] = {"mcg",  "IU",   "units", "ml", "%",
                                       "%w/w", "%w/v", "%v/v",  "x"};
  const auto amount = [&](const Amount& a) {
    std::string number = std::to_string(a.millionths / 1'000'000);
    if (a.millionths % 1'000'000 != 0) (number += '.') += std::to_string(a.millionths % 1'000'000);
    return number += UNIT[static_cast<int>(a.measure)];
  };
  std::string text = formulation.value().form;
  for (const Ingredient& i : formulation.value().ingredients) {
    ((text += " | ") += i.name) += i.salts.empty() ? "" : "[" + i.salts + "]";
    (text += ' ') += amount(i.strength);
    if (i.per) (text += '/') += amount(*i.per);
  }
  return text;
}

TEST(ReadFormulation, IngredientsStrengthsDoseUnitsAndForms) {
  // {composition, name, what is read}
  const std::array<std::string_view, 3> cases[] = {
      {"Paracetamol Tablets IP 500 mg", "", "tablet | paracetamol 500000mcg/1x"},
      {"Acetaminophen (500MG)", "Crocin Advance Tablet", "tablet | paracetamol 500000mcg/1x"},
      {"Amoxycillin and Potassium Clavulanate Tablets I.P. 500 mg + 125 mg", "",
       "tablet | amoxicillin 500000mcg/1x | clavulanate[potassium] 125000mcg/1x"},
      {"Amoxycillin (500mg) + Clavulanic Acid (125mg)", "Augmentin 625 Duo Tablet",
       "tablet | amoxicillin 500000mcg/1x | clavulanate 125000mcg/1x"},
      {"Diclofenac Sodium (50 Mg) + Paracetamol (325 Mg) Tablets", "",
       "tablet | diclofenac[sodium] 50000mcg/1x | paracetamol 325000mcg/1x"},
      {"Paracetamol Oral Suspension IP 250 mg per 5 ml", "",
       "suspension | paracetamol 250000mcg/5ml"},
      {"Cetirizine Dihydrochloride Syrup 5mg/5mL", "",
       "syrup | cetirizine[dihydrochloride] 5000mcg/5ml"},
      {"Amoxycillin 200 mg + Clavulanic Acid 28.5 mg per 5 ml", "Moxikind-CV Dry Syrup",
       "dry syrup | amoxicillin 200000mcg/5ml | clavulanate 28500mcg/5ml"},
      {"Each 5 ml contains Amoxycillin Trihydrate 125 mg Dry Syrup", "",
       "dry syrup | amoxicillin 125000mcg/5ml"},
      {"Metformin HCl (SR) Tablets IP 500 mg", "",
       "tablet prolonged-release | metformin[hydrochloride] 500000mcg/1x"},
      {"Glimepiride 1mg + Metformin 500mg Extended-Release Tablets", "",
       "tablet prolonged-release | glimepiride 1000mcg/1x | metformin 500000mcg/1x"},
      {"Clotrimazole Cream IP 1% w/w", "", "cream | clotrimazole 1%w/w"},
      {"Ofloxacin (0.3% w/v)", "Zanocin Eye Drops", "eye drops | ofloxacin 0.300000%w/v"},
      {"Vitamin D3 (60000 IU)", "Uprise-D3 60K Capsule", "capsule | cholecalciferol 60000IU/1x"},
      {"Levothyroxine Sodium Tablets IP 50 \u00B5g", "", "tablet | levothyroxine[sodium] 50mcg/1x"},
      {"Ceftriaxone (1 g)", "Monocef 1gm Injection", "injection | ceftriaxone 1000000mcg/1x"},
      {"Ondansetron Injection IP 2 mg/ml", "", "injection | ondansetron 2000mcg/1ml"},
      {"Amlodipine Besylate eq. to Amlodipine 5 mg Tablets", "",
       "tablet | amlodipine[besylate] 5000mcg/1x"},
      {"Ferrous Sulphate .5 mg Tablets", "", "tablet | ferrous[sulfate] 500mcg/1x"},
      {"Calcium Carbonate 500 mg + Vitamin D3 250 IU Tablets", "",
       "tablet | calcium carbonate 500000mcg/1x | cholecalciferol 250IU/1x"},
      {"Co-trimoxazole Tablets 480 mg", "", "tablet | cotrimoxazole 480000mcg/1x"},
      {"Salbutamol 100 mcg/dose", "Asthalin Inhaler", "inhaler | salbutamol 100mcg/1x"},
      // What cannot be read without a guess is refused.
      {"Amoxycillin & Potassium Clavulanate Tablets IP 625mg", "",
       "refused: 2 ingredients with 1 strengths"},
      {"Paracetamol 500 mg", "", "refused: no form named"},
      {"Paracetamol 500 Tablets", "", "refused: a number without a unit of strength: 500"},
      {"Human Insulin 30/70 Injection", "", "refused: a number without a unit of strength: 30"},
      {"Cetirizine 5 mg", "Cetzine Syrup", "refused: a strength not given per a dose unit"},
      {"Paracetamol 500 mg Tablets", "Calpol Syrup", "refused: more than one form named"},
      {"Tablets 500 mg", "", "refused: no active ingredient"},
      {"Paracetamol 500 mg + Acetaminophen 500 mg Tablets", "",
       "refused: an ingredient named twice"},
      {"Paracetamol mg Tablets", "", "refused: a unit without a number: mg"},
      {"Amoxycillin 500 mg Clavulanic Acid Potassium 125 mg Lactobacillus Tablets", "",
       "refused: 3 ingredients with 2 strengths"},
      {"Paracetamol 125 mg/5 puffs Syrup", "", "refused: a dose unit this program does not read"},
  };
  for (const auto& [composition, name, expected] : cases) {
    EXPECT_EQ(described(read_formulation(composition, name)), expected) << composition;
  }
}

TEST(ReadPack, UnitSizesAndBrandedPacks) {
  const std::pair<std::string_view, std::string_view> cases[] = {{"10's", "10x"},
                                                                 {"10 'S", "10x"},
                                                                 {"30s", "30x"},
                                                                 {"1s", "1x"},
                                                                 {"60 ml", "60ml"},
                                                                 {"100ML Bottle", "100ml"},
                                                                 {"15 gm", "15000000mcg"},
                                                                 {"5 L", "5000ml"},
                                                                 {"strip of 15 tablets", "15x"},
                                                                 {"10 x 10", "100x"},
                                                                 {"1x10", "10x"},
                                                                 {"1 vial", "1x"},
                                                                 {"10 softgels", "none"},
                                                                 {"1 Pair", "none"},
                                                                 {"", "none"},
                                                                 {"one strip", "none"},
                                                                 {"10 ml x 2", "none"},
                                                                 {"10 capsules", "10x"}};
  for (const auto& [text, expected] : cases) {
    const auto pack = read_pack(text);
    std::string got = "none";
    if (pack) {
      constexpr std::string_view UNIT[] = {"mcg", "IU", "units", "ml", "%", "", "", "", "x"};
      got = std::to_string(pack->millionths / 1'000'000) +
            std::string(UNIT[static_cast<int>(pack->measure)]);
    }
    EXPECT_EQ(got, expected) << text;
  }
}

// Each row: a generic's name, and a branded composition and name that are the same medicine
// (true) or must never be taken for it (false).
struct Pair {
  std::string_view generic;
  std::string_view composition;
  std::string_view name;
  bool same;
};

constexpr Pair PAIRS[] = {
    // Golden matches: spellings, salts named on one side, units, the order of the strengths.
    {"Amoxycillin and Potassium Clavulanate Tablets IP 500 mg + 125 mg",
     "Amoxycillin (500mg) + Clavulanic Acid (125mg)", "Augmentin 625 Duo Tablet", true},
    {"Paracetamol Tablets IP 650 mg", "Paracetamol (650mg)", "Dolo 650 Tablet", true},
    {"Metformin Hydrochloride Sustained Release Tablets IP 500 mg", "Metformin (500mg)",
     "Glycomet SR 500 Tablet", true},
    {"Cetirizine Dihydrochloride Syrup 5 mg per 5 ml", "Cetirizine (5mg/5ml)", "Cetzine Syrup",
     true},
    {"Telmisartan 40 mg and Hydrochlorothiazide 12.5 mg Tablets IP",
     "Hydrochlorothiazide (12.5mg) + Telmisartan (40mg)", "Telma H Tablet", true},
    {"Clotrimazole Cream IP 1% w/w", "Clotrimazole (1% w/w)", "Candid Cream", true},
    {"Levothyroxine Sodium Tablets IP 50 mcg", "Levothyroxine (50\u00B5g)", "Eltroxin Tablet",
     true},
    {"Ceftriaxone Injection IP 1 g", "Ceftriaxone (1000mg)", "Monocef 1gm Injection", true},
    {"Cholecalciferol Capsules 60000 IU", "Vitamin D3 (60000 IU)", "Uprise-D3 60K Capsule", true},
    // Look-alike names of different medicines.
    {"Hydralazine Tablets IP 25 mg", "Hydroxyzine (25mg)", "Atarax 25 Tablet", false},
    {"Clonidine Tablets IP 0.5 mg", "Clonazepam (0.5mg)", "Rivotril Tablet", false},
    {"Chlorpromazine Tablets IP 100 mg", "Chlorpropamide (100mg)", "Diabinese Tablet", false},
    {"Glipizide Tablets IP 5 mg", "Gliclazide (5mg)", "Glizid Tablet", false},
    {"Metformin Tablets IP 500 mg", "Metronidazole (500mg)", "Flagyl Tablet", false},
    {"Lamotrigine Tablets IP 100 mg", "Lamivudine (100mg)", "Lamivir Tablet", false},
    {"Prednisolone Tablets IP 5 mg", "Prednisone (5mg)", "Predone Tablet", false},
    {"Carbamazepine Tablets IP 300 mg", "Oxcarbazepine (300mg)", "Oxetol Tablet", false},
    {"Tramadol Capsules IP 50 mg", "Trazodone (50mg)", "Trazonil Capsule", false},
    {"Sulfasalazine Tablets 500 mg", "Sulfadiazine (500mg)", "Sulfadiazine Tablet", false},
    {"Amlodipine Tablets IP 5 mg", "Amiloride (5mg)", "Amilo Tablet", false},
    {"Risperidone Tablets IP 1 mg", "Ropinirole (1mg)", "Ropark Tablet", false},
    {"Amitriptyline Tablets IP 25 mg", "Nortriptyline (25mg)", "Sensival Tablet", false},
    {"Cefuroxime Axetil Tablets IP 500 mg", "Cefotaxime (500mg)", "Taxim Tablet", false},
    {"Isosorbide Mononitrate Tablets IP 10 mg", "Isosorbide Dinitrate (10mg)", "Sorbitrate Tablet",
     false},
    {"Glimepiride Tablets IP 2 mg", "Glipizide (2mg)", "Glynase Tablet", false},
    // One substance, another salt.
    {"Diclofenac Sodium Tablets IP 50 mg", "Diclofenac Potassium (50mg)", "Voveran K Tablet",
     false},
    {"Fluticasone Propionate Nasal Spray 50 mcg/dose", "Fluticasone Furoate (50mcg/dose)",
     "Avamys Nasal Spray", false},
    // The same drug at another strength, unit or dose unit.
    {"Atorvastatin Tablets IP 10 mg", "Atorvastatin (20mg)", "Lipitor Tablet", false},
    {"Cyanocobalamin Tablets 500 mcg", "Cyanocobalamin (500mg)", "Cobadex Tablet", false},
    {"Paracetamol Oral Suspension IP 125 mg/5 ml", "Paracetamol (250mg/5ml)", "Calpol Suspension",
     false},
    {"Paracetamol Paediatric Drops 125 mg/ml", "Paracetamol (125mg/5ml)", "Calpol Oral Drops",
     false},
    {"Clotrimazole Cream IP 1% w/w", "Clotrimazole (2% w/w)", "Candid Cream", false},
    // The same drug in another form or release.
    {"Paracetamol Tablets IP 500 mg", "Paracetamol (500mg)", "Pacimol Capsule", false},
    {"Metformin Tablets IP 500 mg", "Metformin (500mg)", "Glycomet SR Tablet", false},
    {"Metformin SR Tablets IP 500 mg", "Metformin (500mg)", "Glycomet CR Tablet", false},
    {"Cetirizine Syrup 5 mg/5 ml", "Cetirizine (5mg/5ml)", "Okacet Suspension", false},
    {"Ofloxacin Eye Drops 0.3% w/v", "Ofloxacin (0.3% w/v)", "Exocin Ear Drops", false},
    {"Amoxycillin Tablets 250 mg", "Amoxycillin (250mg)", "Mox DT Tablet", false},
    // One ingredient more or less.
    {"Amoxycillin Capsules IP 500 mg", "Amoxycillin (500mg) + Clavulanic Acid (125mg)",
     "Augmentin Capsule", false},
    {"Paracetamol 325 mg + Diclofenac Sodium 50 mg Tablets", "Diclofenac (50mg)", "Voveran Tablet",
     false},
};

TEST(SameMedicine, GoldenMatchesAndEveryLookAlikeRefused) {
  for (const Pair& pair : PAIRS) {
    const auto generic = read_formulation(pair.generic);
    const auto branded = read_formulation(pair.composition, pair.name);
    // Both are read: a pair is refused for what it is, not for a name left unread.
    ASSERT_TRUE(generic.ok()) << pair.generic << ": " << generic.error().message;
    ASSERT_TRUE(branded.ok()) << pair.composition << ": " << branded.error().message;
    EXPECT_EQ(same_medicine(generic.value(), branded.value()), pair.same)
        << pair.generic << " / " << pair.composition << " " << pair.name;
    EXPECT_EQ(same_medicine(branded.value(), generic.value()), pair.same) << pair.generic;
  }
}

TEST(MatchMedicines, CheapestPackPerDoseUnknownPricesSurgicalItemsAndTheAnswer) {
  const std::vector<GenericOffer> generics = {
      {"Paracetamol Tablets IP 650 mg", "15's", 1800, false},  // 1.20 a tablet
      {"Paracetamol Tablets IP 650 mg", "10's", 1000, false},  // 1.00 a tablet: taken
      {"Amoxycillin and Potassium Clavulanate Tablets IP 500 mg + 125 mg", "10's", 5800, false},
      {"Cetirizine Dihydrochloride Syrup 5 mg per 5 ml", "60 ml", std::nullopt, false},
      {"Cetirizine Dihydrochloride Syrup 5 mg per 5 ml", "30 ml", 900, false},
      {"Hydralazine Tablets IP 25 mg", "10's", 500, false},
      {"Povidone Iodine Solution 5% w/v", "100 ml", 2000, true},
      {"Atorvastatin Tablets IP 10 mg", "10's", std::nullopt, false},
      {"Azithromycin Tablets IP 500 mg", "a box", 3000, false},
  };
  const std::vector<BrandedOffer> branded = {
      {"Dolo 650 Tablet", "Paracetamol (650mg)", 3091, "15 tablets"},
      {"Augmentin 625 Duo Tablet", "Amoxycillin (500mg) + Clavulanic Acid (125mg)", 20400,
       "10 tablets"},
      {"Cetzine Syrup", "Cetirizine (5mg/5ml)", 4500, "60 ml"},
      {"Atarax 25 Tablet", "Hydroxyzine (25mg)", 8000, "15 tablets"},
      {"Betadine Solution", "Povidone Iodine (5% w/v)", 10000, "100 ml"},
      {"Lipitor Tablet", "Atorvastatin (10mg)", 20000, "10 tablets"},
      {"Azithral 500 Tablet", "Azithromycin (500mg)", 12000, "5 tablets"},
      {"Calpol Tablet", "Paracetamol (650mg)", 2000, ""},
  };
  const auto matches = match_medicines(generics, branded);
  EXPECT_EQ(
      encode_medicines_compact(matches),
      R"j([{"branded_medicine_name":"Augmentin 625 Duo Tablet (10 tablets)","branded_price_inr":204.0,)j"
      R"j("salt_composition":"Amoxycillin (500mg) + Clavulanic Acid (125mg)","jan_aushadhi_generic_name":)j"
      R"j("Amoxycillin and Potassium Clavulanate Tablets IP 500 mg + 125 mg","jan_aushadhi_price_inr":58.0,)j"
      R"j("savings_percent":71.57},{"branded_medicine_name":"Cetzine Syrup (60 ml)","branded_price_inr":45.0,)j"
      R"j("salt_composition":"Cetirizine (5mg/5ml)","jan_aushadhi_generic_name":"Cetirizine )j"
      R"j(Dihydrochloride Syrup 5 mg per 5 ml","jan_aushadhi_price_inr":18.0,"savings_percent":60.0},)j"
      R"j({"branded_medicine_name":"Dolo 650 Tablet (15 tablets)","branded_price_inr":30.91,)j"
      R"j("salt_composition":"Paracetamol (650mg)","jan_aushadhi_generic_name":"Paracetamol Tablets )j"
      R"j(IP 650 mg","jan_aushadhi_price_inr":15.0,"savings_percent":51.47}])j");

  const std::tuple<std::string_view, std::size_t, std::string_view, std::size_t> queries[] = {
      {"", 50,
       "Augmentin 625 Duo Tablet (10 tablets)|Cetzine Syrup (60 ml)|Dolo 650 Tablet (15 "
       "tablets)|",
       0},
      {"", 1, "Augmentin 625 Duo Tablet (10 tablets)|", 2},
      {"PARACETAMOL", 50, "Dolo 650 Tablet (15 tablets)|", 0},
      {"cetzine", 50, "Cetzine Syrup (60 ml)|", 0},
      {"hydroxyzine", 50, "", 0},
  };
  for (const auto& [query, limit, names, more] : queries) {
    const MedicineSelection selection = select_medicines(matches, query, limit);
    std::string got;
    for (const MedicineArbitrage& m : selection.medicines) got += m.branded_medicine_name + "|";
    EXPECT_EQ(got, names) << query;
    EXPECT_EQ(selection.more, more) << query;
  }
}

}  // namespace
}  // namespace qmr::engine
