// The runtime's loops when a thread finds no memory for its stack, under an address-space limit
// (POSIX calls: built where QMR_POSIX_TESTS is on).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <fstream>

#include "base/loop_pool.hpp"

namespace qmr {
namespace {

// Returns the bytes of address space the process has mapped.
rlim_t mapped_bytes() {
  rlim_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  return pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
}

TEST(LoopPool, NamesExhaustedMemoryWhenAThreadCannotStart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime maps address space of its own";
#endif
  // More threads than the C library keeps stacks of ended threads for reuse: at least one needs a
  // stack of its own, which the limit below has no room for.
  LoopPool pool(64);
  asio::post(pool.loop(0), [&] { pool.stop(); });  // should every thread start after all
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_AS, &before), 0);
  const rlimit tight{mapped_bytes() + 4 * 1024 * 1024, before.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &tight), 0);
  // An emulator maps the program's memory its own way and may not hold it to the limit.
  void* block =
      ::mmap(nullptr, 16 * 1024 * 1024, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  const bool limited = block == MAP_FAILED;
  if (!limited) ::munmap(block, 16 * 1024 * 1024);
  const Status ran = limited ? pool.run() : Status(Done{});
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &before), 0);
  if (!limited) GTEST_SKIP() << "the address-space limit does not hold here";
  ASSERT_FALSE(ran.ok());
  EXPECT_EQ(ran.error().message, "memory allocation failed");
}

}  // namespace
}  // namespace qmr
