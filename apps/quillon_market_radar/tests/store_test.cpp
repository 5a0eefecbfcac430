// The seller's store and its refusals of files it cannot use.
#include "store/store.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "store_test_support.hpp"

namespace qmr::store {
namespace {

using test::TempFolder;
using namespace std::string_literals;

TEST(Store, RefusesWhatItCannotUseInOneLine) {
  TempFolder folder;
  const auto store_in = [&](std::string_view name) { return folder.path / name; };
  ASSERT_TRUE(open_store(store_in("made")).ok());
  const std::string made = test::path_of(store_in("made") / "market.db");

  std::filesystem::create_directory(store_in("text"));
  folder.write("text/market.db", std::string(4096, 'x'));
  {
    auto other = Database::open(folder.write("other/market.db", ""), OpenMode::READ_WRITE);
    ASSERT_TRUE(other.value().execute("CREATE TABLE t (x)").ok());
    auto newer = Database::open(made, OpenMode::READ_WRITE);
    ASSERT_TRUE(newer.value().execute("PRAGMA user_version = 7").ok());
  }
  const std::pair<std::string_view, std::string> cases[] = {
      {"text", " is not a SQLite database (file is not a database)"},
      {"other", " is a SQLite database of another program, not a store"},
      {"made",
       " has schema version 7, newer than version 1 of this program: use a newer "
       "quillon_market_radar"}};
  for (const auto& [name, message] : cases) {
    auto report = open_store(store_in(name));
    ASSERT_FALSE(report.ok()) << name;
    EXPECT_EQ(report.error().message, test::path_of(store_in(name) / "market.db") + message);
    EXPECT_EQ(report.error().message.find('\n'), std::string::npos);
  }
}

}  // namespace
}  // namespace qmr::store
