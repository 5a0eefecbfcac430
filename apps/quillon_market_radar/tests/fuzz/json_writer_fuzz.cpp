// Fuzzes the compact JSON writer: any value the parser accepts, written and parsed back, is equal
// to itself, and the written text has no white space outside strings and is stable when rewritten.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/json_writer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto value = qmr::json::Value::parse(input, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return 0;

  const std::string written = qmr::json::to_compact(value);
  const auto back = qmr::json::Value::parse(written, nullptr, false);
  if (back.is_discarded() || back != value) std::abort();
  // Kinds survive too: equality alone would take 1.0 for 1.
  if (qmr::json::to_compact(back) != written) std::abort();

  bool in_string = false;
  for (std::size_t i = 0; i < written.size(); ++i) {
    const char c = written[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        std::abort();  // a raw control character inside a string
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      std::abort();
    }
  }
  return 0;
}
