// An empty ICU common-data archive, linked into the stand-alone program in place of the system's
// 31 MB one. The program uses only what libicuuc carries compiled in: root-locale lower-casing,
// the White_Space property and the UTF-8 macros. A lookup of anything else (a locale's resources,
// character names, the NFKC data) finds no entry and fails with U_MISSING_RESOURCE_ERROR or
// U_FILE_ACCESS_ERROR; the code-point test in tests/ compares this build with one on the full
// archive.
#include <unicode/udata.h>
#include <unicode/utypes.h>

#include <cstddef>
#include <cstdint>

namespace {

// The layout ICU checks at the start of a common-data archive: the size of this header, two magic
// bytes, the data description, padding up to the header size, then the table of contents.
struct EmptyCommonData {
  std::uint16_t header_size;
  std::uint8_t magic1;
  std::uint8_t magic2;
  UDataInfo info;
  std::uint8_t padding[8];
  std::uint32_t entry_count;
};

constexpr std::uint16_t HEADER_SIZE = 32;
static_assert(offsetof(EmptyCommonData, entry_count) == HEADER_SIZE);

}  // namespace

// The archive's entry point under the name libicuuc looks for (icudt72_dat for ICU 72).
extern "C" alignas(16) const EmptyCommonData U_ICUDATA_ENTRY_POINT = {
    HEADER_SIZE,
    0xda,
    0x27,
    {
        sizeof(UDataInfo),
        0,
        U_IS_BIG_ENDIAN,
        U_CHARSET_FAMILY,
        sizeof(UChar),
        0,
        {'C', 'm', 'n', 'D'},  // a common-data archive with an offset table of contents
        {1, 0, 0, 0},
        {0, 0, 0, 0},
    },
    {},
    0,  // no entries
};
