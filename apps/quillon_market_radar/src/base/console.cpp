#include "base/console.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/descriptor_io.hpp"
#include "base/platform.hpp"
#include "base/result.hpp"

namespace qmr::console {

bool decide_colour(const char* clicolor_force, const char* no_color, const char* clicolor,
                   bool stdout_is_terminal) {
  if (clicolor_force != nullptr && std::strcmp(clicolor_force, "0") != 0) return true;
  if (no_color != nullptr) return false;
  if (clicolor != nullptr && std::strcmp(clicolor, "0") == 0) return false;
  return stdout_is_terminal;
}

std::string paint(std::string_view text, Colour colour, bool bold) {
  static const bool enabled =
      decide_colour(std::getenv("CLICOLOR_FORCE"), std::getenv("NO_COLOR"), std::getenv("CLICOLOR"),
                    platform::stdout_is_colour_terminal());
  if (!enabled) return std::string(text);
  return (bold ? "\x1b[1;" : "\x1b[") + std::to_string(static_cast<int>(colour)) + 'm' +
         std::string(text) + "\x1b[0m";
}

void print_text(std::string_view text) {
  // Straight to the descriptor: no stdio buffer can hold a line back.
  if (const int cause = descriptor_io::write_all(STDOUT_FILENO, text); cause != 0) {
    fatal("failed printing to stdout: " + std::string(std::strerror(cause)));
  }
}

void print_line(std::string_view text, std::optional<Colour> colour, bool bold) {
  std::string line = colour ? paint(text, *colour, bold) : std::string(text);
  line += '\n';
  // One write per line: a reader on a pipe gets each line whole and at once.
  print_text(line);
}

void print_error(std::string_view text) {
  static_cast<void>(descriptor_io::write_all(STDERR_FILENO, text));
}

}  // namespace qmr::console
