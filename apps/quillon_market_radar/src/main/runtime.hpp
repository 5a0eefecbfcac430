// Process entry: the multi-threaded runtime, the store, the command line and the dispatch.
#pragma once

namespace qmr::main {

/// Runs the program with the process arguments and returns its exit status: 0 on success, 1 after
/// a command's error ("Error: " on standard error), 2 for a rejected command line.
[[nodiscard]] int run_program(int argc, char** argv);

}  // namespace qmr::main
