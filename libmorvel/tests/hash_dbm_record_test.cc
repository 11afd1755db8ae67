// Tests of how the hash database reads records: damage to a record is an
// error wherever it is read, never an older version, an absent key or the end
// of an iteration.

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "morvel/file.h"
#include "morvel/hash_dbm.h"
#include "hash_dbm_test_util.h"

namespace morvel {
namespace {

using namespace hash_test;

class HashDBMRecordTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

void FlipByteAt(const std::string& path, size_t pos) {
  std::string data = ReadWholeFile(path);
  ASSERT_LT(pos, data.size());
  data[pos] ^= 0x01;
  WriteWholeFile(path, data);
}

// A flipped bit in the newest record's key made the chain walk pass it by:
// the previous value (or, past a removal record, a deleted one) came back
// with SUCCESS.
TEST_F(HashDBMRecordTest, DamagedNewestRecordIsAnError) {
  struct Case {
    std::string name;
    std::string update_mode;
    bool remove;         // the newest record is a removal
    std::string target;  // the bytes whose last occurrence is damaged
  };
  const std::vector<Case> cases = {
      {"appending, key of the newest value", "appending", false, "the-key"},
      {"appending, the newest value", "appending", false, "second-value"},
      {"appending, key of a removal record", "appending", true, "the-key"},
      {"in place, key", "in_place", false, "the-key"},
      {"in place, value", "in_place", false, "second-value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.Path("damaged.mvh");
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS,
              dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE,
                               {{"num_buckets", "1"}, {"update_mode", c.update_mode}}));
    ASSERT_EQ(Status::SUCCESS, dbm.Set("other", "x"));
    ASSERT_EQ(Status::SUCCESS, dbm.Set("the-key", "first-value"));
    if (c.remove) {
      ASSERT_EQ(Status::SUCCESS, dbm.Remove("the-key"));
    } else {
      ASSERT_EQ(Status::SUCCESS, dbm.Set("the-key", "second-value"));
    }
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
    const size_t pos = ReadWholeFile(path).rfind(c.target);
    ASSERT_NE(std::string::npos, pos);
    FlipByteAt(path, pos + 2);

    for (const bool writable : {false, true}) {
      ASSERT_EQ(Status::SUCCESS, dbm.Open(path, writable));
      std::string value = "untouched";
      EXPECT_EQ(Status::BROKEN_DATA_ERROR, dbm.Get("the-key", &value));
      if (writable) {
        EXPECT_EQ(Status::BROKEN_DATA_ERROR, dbm.Set("the-key", "third", false));
      }
      // The walk reports the damage, whichever order it reads the records in.
      auto iter = dbm.MakeIterator();
      Status status = iter->First();
      std::string key;
      while (status.IsOK()) {
        status = iter->Step(&key);
        EXPECT_NE("the-key", key);
      }
      EXPECT_EQ(Status::BROKEN_DATA_ERROR, status);
      ASSERT_EQ(Status::SUCCESS, dbm.Close());
    }
  }
}

// With a damaged record in the middle of the database, the iterator reported
// the damage once and then NOT_FOUND_ERROR, so a loop that stops at the first
// failed Get took the damage for the end.
TEST_F(HashDBMRecordTest, IterationReportsDamageUntilRestarted) {
  const std::string path = dir_.Path("iter.mvh");
  {
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS,
              dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, {{"num_buckets", "7"}}));
    for (int i = 0; i < 40; i++) {
      ASSERT_EQ(Status::SUCCESS,
                dbm.Set("key" + std::to_string(i), "value-" + std::to_string(i) + "-end"));
    }
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
  }
  FlipByteAt(path, ReadWholeFile(path).find("value-20-end") + 3);

  struct Case {
    std::string name;
    bool writable;
    ParamMap params;
  };
  const std::vector<Case> cases = {
      {"read-only", false, {}},
      {"writable, restore_mode noop", true, {{"restore_mode", "noop"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, c.writable, 0, c.params));
    auto iter = dbm.MakeIterator();
    Status status = iter->First();
    int visited = 0;
    std::string key, value;
    while (status.IsOK() && (status = iter->Get(&key, &value)).IsOK()) {
      visited++;
      status = iter->Next();
    }
    EXPECT_EQ(Status::BROKEN_DATA_ERROR, status);
    EXPECT_LT(visited, 40);
    // Every later call reports the damage again, never the end.
    EXPECT_EQ(Status::BROKEN_DATA_ERROR, iter->Get(&key));
    EXPECT_EQ(Status::BROKEN_DATA_ERROR, iter->Next());
    EXPECT_EQ(Status::BROKEN_DATA_ERROR, iter->Step(&key));

    // Stepping reports it the same way.
    ASSERT_EQ(Status::SUCCESS, iter->First());
    while ((status = iter->Step(&key, &value)).IsOK()) {
    }
    EXPECT_EQ(Status::BROKEN_DATA_ERROR, status);
    EXPECT_EQ(Status::BROKEN_DATA_ERROR, iter->Step(&key, &value));

    // The walks over every record report it too.
    struct Counter : DBM::RecordProcessor {
      std::string_view ProcessFull(std::string_view, std::string_view) override {
        return NOOP;
      }
    } counter;
    EXPECT_EQ(Status::BROKEN_DATA_ERROR, dbm.ProcessEach(&counter, false));
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
  }
}

}  // namespace
}  // namespace morvel
