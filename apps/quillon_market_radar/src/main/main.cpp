// quillon_market_radar: market intelligence for online sellers, on the console, in a local web
// dashboard and as a tool server for AI assistants.
#include <csignal>

#include "main/runtime.hpp"

int main(int argc, char** argv) {
  // A closed pipe, or output past the file-size limit (ulimit -f), makes a write fail with an
  // error the program reports, not a silent kill that leaves a cut line.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  return qmr::main::run_program(argc, argv);
}
