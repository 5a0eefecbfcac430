// Fuzzes the store's reading of a file: the encoding pass, the CSV grammar and the kind's reader,
// and for the medicine lists the reading of each name and pack into a medicine.
// Whatever the bytes, every record keeps within its bounds, starts on a later line than the one
// before, holds valid UTF-8 only (the file was either valid or decoded from Windows-1252), and a
// record with a problem holds no fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "base/text.hpp"
#include "engine/medicines.hpp"
#include "store/csv.hpp"
#include "store/readers.hpp"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qmr::store;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::istringstream whole(bytes);
  const auto facts = inspect_file(whole, "fuzz");
  if (!facts.ok()) return 0;
  require(facts.value().size == size && facts.value().sha256.size() == 64);

  // Small bounds, so that the fuzzer reaches them.
  constexpr CsvLimits LIMITS{256, 8};
  std::istringstream in(bytes);
  CsvReader reader(in, facts.value().encoding, LIMITS);
  CsvRecord record;
  std::optional<RecognisedFile> kind;
  std::size_t columns = 0;
  std::uint64_t last_line = 0;
  while (reader.next(record)) {
    require(record.line > last_line);
    last_line = record.line;
    require(record.problem.empty() || record.fields.empty());
    require(record.fields.size() <= LIMITS.max_fields);
    std::size_t bytes_kept = 0;
    for (const std::string& field : record.fields) {
      bytes_kept += field.size();
      require(qmr::text::is_valid_utf8(field));
    }
    require(bytes_kept <= LIMITS.max_record_bytes);
    if (!record.problem.empty()) continue;
    if (!kind) {
      kind = recognise(record.fields);
      if (!kind) return 0;
      columns = record.fields.size();
    } else if (record.fields.size() == columns) {
      const RowReading reading = kind->reader->read(record.fields);
      require(reading.row.has_value() || reading.issue.has_value());
      // A medicine's name and pack are read as the matcher reads them; whatever they hold, each
      // is read or refused.
      if (const auto* generic =
              reading.row ? std::get_if<GenericMedicine>(&*reading.row) : nullptr) {
        (void)qmr::engine::read_formulation(generic->generic_name);
        (void)qmr::engine::read_pack(generic->unit_size);
      }
      if (const auto* branded =
              reading.row ? std::get_if<BrandedMedicine>(&*reading.row) : nullptr) {
        (void)qmr::engine::read_formulation(branded->salt_composition, branded->name);
        (void)qmr::engine::read_pack(branded->pack);
      }
    }
  }
  require(reader.bytes_read() == size);
  return 0;
}
