// Tuning parameters: every class refuses names it does not know and values
// that do not parse or are out of range, before it creates or changes
// anything.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "morvel/mem_dbm.h"
#include "morvel/poly_dbm.h"
#include "morvel/poly_file.h"
#include "morvel/shard_dbm.h"
#include "test_util.h"

namespace morvel {
namespace {

class ParamCheckTest : public morvel_test::TempDirTest {
 protected:
  bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
};

struct OpenCase {
  const char* file_name;  // "" opens a database in memory only
  ParamMap params;
  Status::Code expected;
  const char* named;  // what the message names, for failures
};

// Regression: typos, text and negative numbers were accepted with SUCCESS.
TEST_F(ParamCheckTest, OpenChecksEveryParameter) {
  const OpenCase cases[] = {
      {"a.mvmt", {{"num_bucket", "10"}}, Status::INVALID_ARGUMENT_ERROR, "num_bucket"},
      {"a.mvmt", {{"num_buckets", "lots"}}, Status::INVALID_ARGUMENT_ERROR, "num_buckets"},
      {"a.mvmt", {{"num_buckets", "1e12"}}, Status::INVALID_ARGUMENT_ERROR, "num_buckets"},
      {"a.mvmt", {{"num_buckets", "-5"}}, Status::INVALID_ARGUMENT_ERROR, "num_buckets"},
      {"a.mvmt", {{"num_buckets", "0"}}, Status::INVALID_ARGUMENT_ERROR, "num_buckets"},
      {"a.mvmt", {{"num_buckets", "99999999999999999999"}}, Status::INVALID_ARGUMENT_ERROR,
       "num_buckets"},
      {"a.mvmt", {{"file", "PositionalParallelFile"}}, Status::INVALID_ARGUMENT_ERROR, "file"},
      {"a.mvmb", {{"num_buckets", "10"}}, Status::INVALID_ARGUMENT_ERROR, "num_buckets"},
      {"a.mvmb", {{"key_comparator", "nosuch"}}, Status::INVALID_ARGUMENT_ERROR, "nosuch"},
      {"", {{"update_mod", "appending"}}, Status::INVALID_ARGUMENT_ERROR, "update_mod"},
      {"a.mvh", {{"update_mod", "appending"}}, Status::INVALID_ARGUMENT_ERROR, "update_mod"},
      {"a.mvh", {{"num_buckets", "1e12"}}, Status::INVALID_ARGUMENT_ERROR, "num_buckets"},
      {"a.mvh", {{"fbp_capacity", "-1"}}, Status::INVALID_ARGUMENT_ERROR, "fbp_capacity"},
      {"a.mvh", {{"update_mode", "sideways"}}, Status::INVALID_ARGUMENT_ERROR, "update_mode"},
      {"a.mvh", {{"alloc_inc_factor", "x"}}, Status::INVALID_ARGUMENT_ERROR, "alloc_inc_factor"},
      {"a.mvh", {{"key_comparator", "x"}, {"num_shards", "-1"}}, Status::SUCCESS, ""},
      {"a.mvh",
       {{"update_mode", "APPENDING"}, {"num_buckets", "7"}, {"file", "PositionalAtomicFile"}},
       Status::SUCCESS, ""},
      {"a.mvt", {{"max_page_siz", "4080"}}, Status::INVALID_ARGUMENT_ERROR, "max_page_siz"},
      {"a.mvt", {{"max_branches", "many"}}, Status::INVALID_ARGUMENT_ERROR, "max_branches"},
      {"a.mvmc", {{"cap_rec_nun", "10"}}, Status::INVALID_ARGUMENT_ERROR, "cap_rec_nun"},
      {"a.mvmc", {{"cap_mem_size", "-1"}}, Status::INVALID_ARGUMENT_ERROR, "cap_mem_size"},
      // Accepted: the class's own tuning, and what callers pass every class.
      {"a.mvt", {{"max_page_size", "4080"}, {"align_pow", "12"}}, Status::SUCCESS, ""},
      {"a.mvmc", {{"cap_rec_num", "10"}, {"num_shards", "-1"}}, Status::SUCCESS, ""},
      {"a.mvmt", {{"num_buckets", " 100 "}}, Status::SUCCESS, ""},
      {"a.mvmt", {{"num_shards", "-1"}, {"key_comparator", "x"}}, Status::SUCCESS, ""},
      {"a.mvmb", {{"key_comparator", "DecimalKeyComparator"}}, Status::SUCCESS, ""},
      {"", {{"dbm", "baby"}}, Status::SUCCESS, ""},
  };
  for (const auto& c : cases) {
    const std::string path = c.file_name[0] == '\0' ? "" : Path(c.file_name);
    PolyDBM dbm;
    const Status status = dbm.OpenAdvanced(path, true, 0, c.params);
    EXPECT_EQ(status, c.expected) << c.file_name << " " << c.params.begin()->first;
    EXPECT_NE(std::string(status.GetMessage()).find(c.named), std::string::npos)
        << status.GetMessage();
    if (status.IsOK()) {
      EXPECT_TRUE(dbm.Close().IsOK());
      unlink(path.c_str());
    } else if (!path.empty()) {
      EXPECT_FALSE(Exists(path)) << c.file_name;
    }
  }
}

TEST_F(ParamCheckTest, RebuildAndSynchronizeCheckParameters) {
  for (const char* name : {"a.mvh", "a.mvt", "a.mvmt", "a.mvmb", "a.mvmc"}) {
    PolyDBM dbm;
    ASSERT_TRUE(dbm.Open(Path(name), true).IsOK());
    ASSERT_TRUE(dbm.Set("k", "v").IsOK());
    EXPECT_EQ(dbm.RebuildAdvanced({{"num_bucketz", "7"}}), Status::INVALID_ARGUMENT_ERROR);
    EXPECT_EQ(dbm.SynchronizeAdvanced(false, nullptr, {{"unknown_param", "x"}}),
              Status::INVALID_ARGUMENT_ERROR);
    std::string value;
    EXPECT_TRUE(dbm.Get("k", &value).IsOK());
    EXPECT_EQ(value, "v");
    EXPECT_TRUE(dbm.SynchronizeAdvanced(false, nullptr, {}).IsOK());
    EXPECT_TRUE(dbm.Close().IsOK());
  }
  TinyDBM tiny;
  ASSERT_TRUE(tiny.Open("", true).IsOK());
  EXPECT_EQ(tiny.RebuildAdvanced({{"num_buckets", "-3"}}), Status::INVALID_ARGUMENT_ERROR);
  EXPECT_TRUE(tiny.RebuildAdvanced({{"num_buckets", "31"}}).IsOK());
}

TEST_F(ParamCheckTest, ShardCountMustBeAnInteger) {
  for (const char* count : {"lots", "-2", "100000", "3x"}) {
    ShardDBM dbm;
    EXPECT_EQ(dbm.OpenAdvanced(Path("s.mvmt"), true, 0, {{"num_shards", count}}),
              Status::INVALID_ARGUMENT_ERROR)
        << count;
  }
  ShardDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(Path("s.mvmt"), true, 0, {{"num_shards", "2"}}).IsOK());
  EXPECT_TRUE(dbm.Close().IsOK());
}

TEST_F(ParamCheckTest, FileOpenChecksItsParameters) {
  const struct {
    ParamMap params;
    Status::Code expected;
  } cases[] = {
      {{{"alloc_init_siz", "4096"}}, Status::INVALID_ARGUMENT_ERROR},
      {{{"num_shards", "2"}}, Status::INVALID_ARGUMENT_ERROR},
      {{{"alloc_init_size", "-1"}}, Status::INVALID_ARGUMENT_ERROR},
      {{{"alloc_init_size", "4k"}}, Status::INVALID_ARGUMENT_ERROR},
      {{{"alloc_inc_factor", "0.5"}}, Status::INVALID_ARGUMENT_ERROR},
      {{{"alloc_inc_factor", "fast"}}, Status::INVALID_ARGUMENT_ERROR},
      {{{"file", "StdFile"}, {"alloc_init_size", "4096"}, {"alloc_inc_factor", "1.5"}},
       Status::SUCCESS},
  };
  for (const auto& c : cases) {
    const std::string path = Path("f.dat");
    PolyFile file;
    EXPECT_EQ(file.OpenAdvanced(path, true, 0, c.params), c.expected)
        << c.params.begin()->first << "=" << c.params.begin()->second;
    if (c.expected == Status::SUCCESS) {
      EXPECT_TRUE(file.Close().IsOK());
      unlink(path.c_str());
    } else {
      EXPECT_FALSE(Exists(path));
    }
  }
}

}  // namespace
}  // namespace morvel
