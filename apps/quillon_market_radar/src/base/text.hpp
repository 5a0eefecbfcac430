// Unicode text helpers shared by the engine, the dashboard and the tool server: lower-casing with
// the full Unicode mapping, UTF-8 validation and lossy decoding, and white-space splitting.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qmr::text {

/// Returns `text` lower-cased with the full Unicode mapping of the root locale, whatever the
/// process locale is ("İ" becomes "i̇", a word-final "Σ" becomes "ς"). Invalid UTF-8 is kept.
[[nodiscard]] std::string to_lower(std::string_view text);
/// Appends `text` lower-cased as to_lower does to `out`.
void append_lower(std::string_view text, std::string& out);

/// Returns whether `text` lower-cased as to_lower does holds `lowered`, a text lower-cased
/// already; ASCII is compared in place, without a copy.
[[nodiscard]] bool lowered_contains(std::string_view text, std::string_view lowered);

/// Returns true when `bytes` is well-formed UTF-8 (no surrogates, no overlong forms).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

/// Returns `bytes` decoded as UTF-8 with every maximal invalid subpart, and an incomplete sequence
/// at the end, replaced by one U+FFFD.
[[nodiscard]] std::string decode_utf8_lossy(std::string_view bytes);

/// Returns the tokens of valid UTF-8 `text` separated by runs of Unicode white space, at most
/// `max_tokens` of them; leading and trailing white space give no empty tokens.
[[nodiscard]] std::vector<std::string_view> split_white_space(std::string_view text,
                                                              std::size_t max_tokens);

}  // namespace qmr::text
