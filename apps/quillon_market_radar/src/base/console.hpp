// Console output: ANSI colouring decided once per process from the environment, and line writes
// that reach standard output at once (also into a pipe). A failed write stops the process.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qmr::console {

enum class Colour { BLACK = 30, RED, GREEN, YELLOW, BLUE, MAGENTA, CYAN, WHITE };

/// Returns whether console output is coloured, from the environment's values (null when unset)
/// and whether standard output is a terminal: CLICOLOR_FORCE set and not "0" turns colour on;
/// otherwise NO_COLOR (any value) turns it off; otherwise it is on when CLICOLOR is unset or not
/// "0" and standard output is a terminal. `paint` decides once for the process.
[[nodiscard]] bool decide_colour(const char* clicolor_force, const char* no_color,
                                 const char* clicolor, bool stdout_is_terminal);

/// Returns `text` wrapped in the select-graphic-rendition sequence for the colour and weight and
/// the reset sequence, or `text` itself when colouring is off.
[[nodiscard]] std::string paint(std::string_view text, Colour colour, bool bold);

/// Writes `text` as it is to standard output at once, waiting while a non-blocking standard output
/// is full; stops the process with a message on standard error when the write fails (a closed
/// pipe, a full device or the file-size limit included).
void print_text(std::string_view text);

/// Writes `text`, painted as a whole when a colour is given, and a line break to standard output
/// in one write, as `print_text` does.
void print_line(std::string_view text, std::optional<Colour> colour = {}, bool bold = false);

/// Writes `text` as it is to standard error, waiting while a non-blocking standard error is full;
/// a failure is ignored, since there is nowhere left to report it.
void print_error(std::string_view text);

}  // namespace qmr::console
