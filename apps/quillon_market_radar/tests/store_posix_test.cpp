// The store where POSIX says more than Windows: a data folder made private (mode 0700).
#include <gtest/gtest.h>

#include "store/store.hpp"
#include "store_test_support.hpp"

namespace qmr::store {
namespace {

TEST(Store, MakesItsFolderPrivate) {
  test::TempFolder folder;
  ASSERT_TRUE(open_store(folder.path / "new" / "data").ok());
  EXPECT_EQ(std::filesystem::status(folder.path / "new" / "data").permissions(),
            std::filesystem::perms::owner_all);
}

}  // namespace
}  // namespace qmr::store
