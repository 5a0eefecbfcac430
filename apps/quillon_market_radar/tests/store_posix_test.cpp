// The store where POSIX says more than Windows: a data folder made private (mode 0700), and an
// import killed with SIGKILL at random moments, after which SQLite's integrity check passes and the
// store holds all of that file or none of it, in its observations and in their daily roll-up.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "store/import.hpp"
#include "store/store.hpp"
#include "store_test_support.hpp"

namespace qmr::store {
namespace {

// Large enough that the transaction spills pages to the log before its commit (SQLite's default
// cache is 2 MB), small enough to keep the test within a few seconds.
constexpr int ROWS = 40'000;
constexpr int KILLS = 5;

// Imports `file` into the store in `folder` in a child process; returns its process id.
pid_t import_in_child(const std::filesystem::path& folder, const std::string& file) {
  const pid_t child = ::fork();
  if (child == 0) {
    auto store = open_for_import(folder, false);
    const bool done = store.ok() && import_files(store.value(), folder, {file}, {}).ok();
    ::_exit(done ? 0 : 1);
  }
  return child;
}

TEST(Store, MakesItsFolderPrivate) {
  test::TempFolder folder;
  ASSERT_TRUE(open_store(folder.path / "new" / "data").ok());
  EXPECT_EQ(std::filesystem::status(folder.path / "new" / "data").permissions(),
            std::filesystem::perms::owner_all);
}

TEST(ImportCrash, KilledAtRandomMomentsLeavesAllOrNone) {
  test::TempFolder folder;
  const std::string file = folder.write("large.csv", test::competitor_prices(ROWS, 0));
  // The whole import once, timed: the kills fall within that time.
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  ASSERT_EQ(::waitpid(import_in_child(folder.path / "whole", file), &status, 0) > 0 && status == 0,
            true);
  const auto whole = std::chrono::steady_clock::now() - start;
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::int64_t> moment(
      0, std::chrono::duration_cast<std::chrono::microseconds>(whole).count());
  int whole_files = 0;
  for (int kill = 0; kill < KILLS; ++kill) {
    const auto data = folder.path / ("killed-" + std::to_string(kill));
    const pid_t child = import_in_child(data, file);
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    if (!std::filesystem::exists(data / STORE_FILE_NAME)) continue;  // killed before it was made
    auto store = open_store(data);
    ASSERT_TRUE(store.ok()) << store.error().message;
    EXPECT_EQ(check_integrity(store.value()).value(), "ok");
    // The observations, the days of the roll-up that counts them, and the import: all or none.
    const std::string counts = test::rows(
        store.value(),
        "SELECT count(*) FROM competitor_prices UNION ALL SELECT coalesce(sum(observations), 0) "
        "FROM daily_prices WHERE series = 1 UNION ALL SELECT count(*) FROM imports");
    const std::string all = std::to_string(ROWS) + "\n";
    EXPECT_TRUE(counts == "0\n0\n0\n" || counts == all + all + "1\n") << counts;
    whole_files += counts != "0\n0\n0\n";
  }
  // Not every kill may land inside the transaction; say how many found it done.
  RecordProperty("whole_after_kill", whole_files);
}

}  // namespace
}  // namespace qmr::store
