// Tests of opening a hash database file: what open can see of damage in the
// header, and counts that agree with the records when the file's own cannot
// be trusted.

#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "morvel/file.h"
#include "morvel/hash_dbm.h"
#include "morvel/hash_util.h"
#include "hash_dbm_test_util.h"

namespace morvel {
namespace {

using namespace hash_test;

void PutBigEndian(std::string* data, size_t pos, uint64_t num, size_t width) {
  for (size_t i = width; i-- > 0;) {
    (*data)[pos + i] = static_cast<char>(num & 0xFF);
    num >>= 8;
  }
}

// Sets a field of the dynamic header part (bytes 32..79) and its checksum, as
// a forger or a bug would.
void ForgeDynamicField(const std::string& path, size_t pos, uint64_t num) {
  std::string data = ReadWholeFile(path);
  PutBigEndian(&data, pos, num, 8);
  PutBigEndian(&data, 80, HashCRC32(data.data() + 32, 48), 4);
  WriteWholeFile(path, data);
}

int64_t CountByIteration(DBM* dbm) {
  auto iter = dbm->MakeIterator();
  int64_t count = 0;
  EXPECT_EQ(Status::SUCCESS, iter->First());
  while (iter->Get().IsOK()) {
    count++;
    EXPECT_EQ(Status::SUCCESS, iter->Next());
  }
  return count;
}

class HashDBMOpenTest : public ::testing::Test {
 protected:
  // A cleanly closed database of |num| records.
  void MakeDatabase(const std::string& path, int num) {
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS,
              dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, {{"num_buckets", "7"}}));
    for (int i = 0; i < num; i++) {
      ASSERT_EQ(Status::SUCCESS, dbm.Set("key" + std::to_string(i), "value" + std::to_string(i)));
    }
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
  }

  TempDir dir_;
};

// A header whose checksum held but whose counts claimed 10^12 records for a
// file of two opened healthy, and Rebuild sized 2^32 buckets from the count.
TEST_F(HashDBMOpenTest, CountsTheFileCannotHoldAreNotTrusted) {
  struct Case {
    std::string name;
    size_t pos;
  };
  const std::vector<Case> cases = {
      {"number of records", 40},
      {"live data size", 48},
      {"live slot size", 56},
  };
  const std::string path = dir_.Path("forged.mvh");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string restore_mode : {"noop", "default"}) {
      for (const bool writable : {false, true}) {
        SCOPED_TRACE(restore_mode + (writable ? ", writable" : ", read-only"));
        MakeDatabase(path, 2);
        ForgeDynamicField(path, c.pos, 1000000000000ULL);
        HashDBM dbm;
        ASSERT_EQ(Status::SUCCESS,
                  dbm.OpenAdvanced(path, writable, 0, {{"restore_mode", restore_mode}}));
        const bool restored = writable && restore_mode == "default";
        EXPECT_EQ(restored, dbm.IsHealthy());
        EXPECT_EQ(restored ? "true" : "false", InspectValue(&dbm, "healthy"));
        EXPECT_EQ(2, dbm.CountSimple());
        EXPECT_EQ(2, CountByIteration(&dbm));
        if (writable) {
          ASSERT_EQ(Status::SUCCESS, dbm.Rebuild());
          EXPECT_TRUE(dbm.IsHealthy());
          EXPECT_EQ(2, dbm.CountSimple());
          EXPECT_LE(std::stoll(InspectValue(&dbm, "num_buckets")), 1021);
        }
        ASSERT_EQ(Status::SUCCESS, dbm.Close());
      }
    }
  }
}

// Open must see the damage that the header's checksums and sizes show: the
// file is refused, or opened unhealthy, never taken as whole.
TEST_F(HashDBMOpenTest, HeaderDamageIsSeenAtOpen) {
  const std::string path = dir_.Path("flipped.mvh");
  // Magic, update mode, offset width, bucket count, static checksum, clean
  // flag, counts, file size, timestamp, dynamic checksum.
  for (const size_t pos : {0, 9, 11, 19, 24, 32, 47, 55, 63, 70, 78, 82}) {
    SCOPED_TRACE("flipped at " + std::to_string(pos));
    MakeDatabase(path, 30);
    std::string data = ReadWholeFile(path);
    data[pos] ^= 0x10;
    WriteWholeFile(path, data);
    HashDBM dbm;
    const Status status = dbm.Open(path, false);
    if (status.IsOK()) {
      EXPECT_FALSE(dbm.IsHealthy());
      EXPECT_EQ(dbm.CountSimple(), CountByIteration(&dbm));
      ASSERT_EQ(Status::SUCCESS, dbm.Close());
    } else {
      EXPECT_EQ(Status::BROKEN_DATA_ERROR, status);
    }
  }
}

// A header whose checksum holds but whose bucket count (2^32) the file cannot
// hold: opening it as it is grew the file to a 16 GiB bucket array, and
// restoring sized the new file and its bookkeeping from that count.
TEST_F(HashDBMOpenTest, BucketCountTheFileCannotHoldSizesNothing) {
  const std::string path = dir_.Path("buckets.mvh");
  MakeDatabase(path, 2);
  std::string data = ReadWholeFile(path);
  PutBigEndian(&data, 16, uint64_t(1) << 32, 8);
  PutBigEndian(&data, 24, HashCRC32(data.data(), 24), 4);
  WriteWholeFile(path, data);
  constexpr int64_t kDefaultBuckets = 1048583;
  for (const bool writable : {false, true}) {
    HashDBM dbm;
    EXPECT_EQ(Status::BROKEN_DATA_ERROR,
              dbm.OpenAdvanced(path, writable, 0, {{"restore_mode", "noop"}}));
  }
  EXPECT_EQ(data, ReadWholeFile(path));

  // Restoring: no record lies past the cut, so the result is empty, with no
  // more buckets than a new database.
  const std::string restored_path = dir_.Path("restored.mvh");
  ASSERT_EQ(Status::SUCCESS, HashDBM::RestoreDatabase(path, restored_path, -1, {}));
  for (const std::string& restored : {restored_path, path}) {
    SCOPED_TRACE(restored);
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS, dbm.Open(restored, true));
    EXPECT_TRUE(dbm.IsHealthy());
    EXPECT_EQ(0, dbm.CountSimple());
    EXPECT_LE(std::stoll(InspectValue(&dbm, "num_buckets")), kDefaultBuckets);
    EXPECT_LE(dbm.GetFileSizeSimple(), 128 + kDefaultBuckets * 4 + 8);
    ASSERT_EQ(Status::SUCCESS, dbm.Set("a", "b"));
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
  }
}

// A database opened without restoring after a crash reported the count of its
// last synchronization (20,000) while iteration yielded what the chains hold
// (30,000).
TEST_F(HashDBMOpenTest, UncleanFileOpenedAsItIsCountsWhatIterationYields) {
  const std::string path = dir_.Path("live.mvh");
  const std::string copy_path = dir_.Path("crashed.mvh");
  for (const std::string mode : {"in_place", "appending"}) {
    SCOPED_TRACE(mode);
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE,
                                                {{"num_buckets", "31"}, {"update_mode", mode}}));
    for (int i = 0; i < 200; i++) {
      ASSERT_EQ(Status::SUCCESS, dbm.Set("key" + std::to_string(i), "v"));
    }
    ASSERT_EQ(Status::SUCCESS, dbm.Synchronize(false));
    EXPECT_EQ("header", InspectValue(&dbm, "num_records_source"));
    for (int i = 200; i < 300; i++) {
      ASSERT_EQ(Status::SUCCESS, dbm.Set("key" + std::to_string(i), "v"));
    }
    for (int i = 0; i < 300; i += 10) {
      ASSERT_EQ(Status::SUCCESS, dbm.Remove("key" + std::to_string(i)));
    }
    // The file as a crash would leave it: marked as not cleanly closed, with
    // the counts of the first write after the synchronization.
    WriteWholeFile(copy_path, ReadWholeFile(path));
    ASSERT_EQ(Status::SUCCESS, dbm.Close());

    for (const bool writable : {false, true}) {
      SCOPED_TRACE(writable ? "noop" : "read-only");
      HashDBM crashed;
      ASSERT_EQ(Status::SUCCESS,
                crashed.OpenAdvanced(copy_path, writable, 0, {{"restore_mode", "noop"}}));
      EXPECT_FALSE(crashed.IsHealthy());
      EXPECT_EQ("scan", InspectValue(&crashed, "num_records_source"));
      EXPECT_EQ(270, crashed.CountSimple());
      EXPECT_EQ(270, CountByIteration(&crashed));
      if (writable) {
        // Later writes keep the count exact.
        ASSERT_EQ(Status::SUCCESS, crashed.Set("new", "record"));
        ASSERT_EQ(Status::SUCCESS, crashed.Remove("key1"));
        EXPECT_EQ(270, crashed.CountSimple());
        EXPECT_EQ(270, CountByIteration(&crashed));
        // Synchronizing made the file look cleanly closed, so the next open
        // trusted chains that were never restored.
        ASSERT_EQ(Status::SUCCESS, crashed.Synchronize(false));
        ASSERT_EQ(Status::SUCCESS, crashed.Close());
        ASSERT_EQ(Status::SUCCESS, crashed.Open(copy_path, false));
        EXPECT_FALSE(crashed.IsHealthy());
        EXPECT_EQ(270, crashed.CountSimple());
      }
      ASSERT_EQ(Status::SUCCESS, crashed.Close());
    }
  }
}

}  // namespace
}  // namespace morvel
