// Tests of how the hash database places and changes records: an update never
// overwrites the bytes of a live record, and the freed space is reused.

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "morvel/file.h"
#include "morvel/hash_dbm.h"
#include "hash_dbm_test_util.h"

namespace morvel {
namespace {

using namespace hash_test;

class HashDBMUpdateTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

// An overwrite that fit the old slot was copied over the acknowledged record:
// a crash during the copy left a record failing its checksum, and restoring
// dropped the key. The old version must stay whole until it is unlinked.
TEST_F(HashDBMUpdateTest, UpdateNeverOverwritesTheLiveRecord) {
  const std::string old_value = "old-" + std::string(40, 'o');
  struct Case {
    std::string name;
    std::string new_value;  // empty: the record is removed
  };
  const std::vector<Case> cases = {
      {"same size", "new-" + std::string(40, 'n')},
      {"smaller", "new-small"},
      {"larger", "new-" + std::string(200, 'n')},
      {"removal", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.Path("update.mvh");
    HashDBM dbm;
    // One bucket: the record has neighbours on both sides of its chain.
    ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE,
                                                {{"num_buckets", "1"}, {"file", "PositionalParallelFile"}}));
    ASSERT_EQ(Status::SUCCESS, dbm.Set("before", "x"));
    ASSERT_EQ(Status::SUCCESS, dbm.Set("key", old_value));
    ASSERT_EQ(Status::SUCCESS, dbm.Set("after", "y"));
    const std::string image = ReadWholeFile(path);
    const size_t pos = image.find(old_value);
    ASSERT_NE(std::string::npos, pos);
    ASSERT_EQ(std::string::npos, image.find(old_value, pos + 1));

    if (c.new_value.empty()) {
      ASSERT_EQ(Status::SUCCESS, dbm.Remove("key"));
    } else {
      ASSERT_EQ(Status::SUCCESS, dbm.Set("key", c.new_value));
    }
    EXPECT_EQ(old_value, ReadWholeFile(path).substr(pos, old_value.size()));

    std::string value;
    for (int reopen = 0; reopen < 2; reopen++) {
      if (c.new_value.empty()) {
        EXPECT_EQ(Status::NOT_FOUND_ERROR, dbm.Get("key"));
      } else {
        EXPECT_EQ(Status::SUCCESS, dbm.Get("key", &value));
        EXPECT_EQ(c.new_value, value);
      }
      EXPECT_EQ(Status::SUCCESS, dbm.Get("before", &value));
      EXPECT_EQ(Status::SUCCESS, dbm.Get("after", &value));
      EXPECT_EQ(c.new_value.empty() ? 2 : 3, dbm.CountSimple());
      ASSERT_EQ(Status::SUCCESS, dbm.Close());
      ASSERT_EQ(Status::SUCCESS, dbm.Open(path, true));
    }
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
  }
}

// Space freed by updates goes back into use, so overwriting in place does not
// grow the file like appending does: small slots and large ones.
TEST_F(HashDBMUpdateTest, FreedSpaceIsReused) {
  for (const size_t value_size : {7, 3000}) {
    SCOPED_TRACE(value_size);
    const std::string path = dir_.Path("reuse.mvh");
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS,
              dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, {{"num_buckets", "101"}}));
    auto value_of = [&](int round) {
      return std::to_string(round % 10) + std::string(value_size - 1, 'v');
    };
    for (int i = 0; i < 20; i++) {
      ASSERT_EQ(Status::SUCCESS, dbm.Set("k" + std::to_string(i), value_of(0)));
    }
    const int64_t size = dbm.GetFileSizeSimple();
    for (int round = 1; round <= 50; round++) {
      for (int i = 0; i < 20; i++) {
        ASSERT_EQ(Status::SUCCESS, dbm.Set("k" + std::to_string(i), value_of(round)));
      }
    }
    // One record's worth of slack: each update needs the new slot before the
    // old one is free.
    EXPECT_LE(dbm.GetFileSizeSimple(), size + static_cast<int64_t>(value_size) + 64);
    std::string value;
    EXPECT_EQ(Status::SUCCESS, dbm.Get("k7", &value));
    EXPECT_EQ(value_of(50), value);
    EXPECT_EQ(20, dbm.CountSimple());
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
  }
}

}  // namespace
}  // namespace morvel
