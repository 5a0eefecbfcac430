#include "engine/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/result.hpp"

namespace qmr::console {

bool decide_colour(const char* clicolor_force, const char* no_color, const char* clicolor,
                   bool stdout_is_terminal) {
  if (clicolor_force != nullptr && std::strcmp(clicolor_force, "0") != 0) return true;
  if (no_color != nullptr) return false;
  if (clicolor != nullptr && std::strcmp(clicolor, "0") == 0) return false;
  return stdout_is_terminal;
}

bool colour_enabled() {
  static const bool enabled = decide_colour(std::getenv("CLICOLOR_FORCE"), std::getenv("NO_COLOR"),
                                            std::getenv("CLICOLOR"), ::isatty(STDOUT_FILENO) == 1);
  return enabled;
}

std::string paint(std::string_view text, Colour colour, bool bold) {
  if (!colour_enabled()) return std::string(text);
  std::string out = bold ? "\x1b[1;" : "\x1b[";
  out += std::to_string(static_cast<int>(colour));
  out += 'm';
  out += text;
  out += "\x1b[0m";
  return out;
}

void print_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line += text;
  line += '\n';
  // One write per line, straight to the descriptor: no stdio buffer can hold a line back.
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int cause = n < 0 ? errno : EIO;
      fatal("failed printing to stdout: " + std::string(std::strerror(cause)));
    }
    written += static_cast<std::size_t>(n);
  }
}

void print_line(std::string_view text, Colour colour, bool bold) {
  print_line(paint(text, colour, bold));
}

}  // namespace qmr::console
