// Iterators of every class that reads records ahead: walks that cross many
// batches while other threads write, writes at the cursor across a batch
// boundary, and Rebuild in the middle of a walk.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "morvel/dbm.h"
#include "morvel/file.h"
#include "morvel/poly_dbm.h"
#include "test_util.h"

namespace morvel {
namespace {

struct IterCase {
  const char* name;
  const char* file;  // "" for a memory database
  ParamMap params;   // few buckets: chains are shared and a walk crosses many
};

const IterCase kIterCases[] = {
    {"hash_in_place", "casket.mvh", {{"num_buckets", "1000"}}},
    {"hash_appending", "casket.mvh", {{"num_buckets", "1000"}, {"update_mode", "appending"}}},
    {"tiny", "", {{"dbm", "TinyDBM"}, {"num_buckets", "1000"}}},
    {"baby", "", {{"dbm", "BabyDBM"}}},
};

std::string StableKey(int i) { return "stable" + std::to_string(i); }

class IteratorTest : public morvel_test::TempDirTest,
                     public ::testing::WithParamInterface<IterCase> {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    const IterCase& c = GetParam();
    const std::string path = c.file[0] == 0 ? "" : Path(c.file);
    ASSERT_EQ(dbm_.OpenAdvanced(path, true, File::OPEN_TRUNCATE, c.params), Status::SUCCESS);
  }
  void TearDown() override {
    if (dbm_.IsOpen()) {
      EXPECT_EQ(dbm_.Close(), Status::SUCCESS);
    }
    TempDirTest::TearDown();
  }

  void FillStable(int num) {
    for (int i = 0; i < num; i++) {
      ASSERT_EQ(dbm_.Set(StableKey(i), "v0"), Status::SUCCESS);
    }
  }

  PolyDBM dbm_;
};

// The two ways to walk: Step, and Get then Next.
using WalkStep = std::function<Status(DBM::Iterator*, std::string*, std::string*)>;
const std::pair<const char*, WalkStep> kWalks[] = {
    {"Step", [](DBM::Iterator* it, std::string* k, std::string* v) { return it->Step(k, v); }},
    {"Get+Next",
     [](DBM::Iterator* it, std::string* k, std::string* v) {
       const Status status = it->Get(k, v);
       if (!status.IsOK()) return status;
       const Status moved = it->Next();
       return moved == Status::NOT_FOUND_ERROR ? Status() : moved;
     }},
};

// Writers overwrite the stable records and add and remove others while walks
// cross many batches: every stable record is seen exactly once, at a value it
// had, and the walk ends only at the real end.
TEST_P(IteratorTest, EveryStableRecordOnceUnderWritersAndRemovers) {
  constexpr int kStable = 3000;
  FillStable(kStable);
  std::atomic<bool> stop(false);
  std::atomic<bool> failed(false);
  std::thread writer([&] {
    for (int round = 1; !stop; round++) {
      const Status set_stable = dbm_.Set(StableKey(round * 7 % kStable), "v" + std::to_string(round));
      const Status set_moving = dbm_.Set("moving" + std::to_string(round % 500), "m");
      if (!set_stable.IsOK() || !set_moving.IsOK()) failed = true;
    }
  });
  std::thread remover([&] {
    for (int round = 0; !stop; round++) {
      const Status status = dbm_.Remove("moving" + std::to_string(round * 3 % 500));
      if (!status.IsOK() && status != Status::NOT_FOUND_ERROR) failed = true;
    }
  });
  for (const auto& [walk_name, walk] : kWalks) {
    SCOPED_TRACE(walk_name);
    for (int round = 0; round < 3; round++) {
      auto iter = dbm_.MakeIterator();
      ASSERT_EQ(iter->First(), Status::SUCCESS);
      std::map<std::string, int> seen;
      std::string key, value;
      Status status;
      while ((status = walk(iter.get(), &key, &value)).IsOK()) {
        if (key.rfind("stable", 0) == 0) {
          seen[key]++;
          EXPECT_EQ('v', value[0]) << key << " " << value;
        }
      }
      EXPECT_EQ(status, Status::NOT_FOUND_ERROR);
      EXPECT_EQ(static_cast<size_t>(kStable), seen.size());
      for (const auto& [k, count] : seen) EXPECT_EQ(1, count) << k;
    }
  }
  stop = true;
  writer.join();
  remover.join();
  EXPECT_FALSE(failed);
}

// Writes through the iterator act on the current record, in the middle of a
// batch and across its end: a removed record is gone and the iterator stands
// on the next one; a set record reads back, and Step hands out the new value.
TEST_P(IteratorTest, SetAndRemoveAtTheCursorAcrossBatches) {
  constexpr int kNum = 1500;
  FillStable(kNum);
  auto iter = dbm_.MakeIterator();
  ASSERT_EQ(iter->First(), Status::SUCCESS);
  std::map<std::string, int> seen;
  std::map<std::string, std::string> expected;
  std::string key, value;
  for (int i = 0; iter->Get(&key, &value).IsOK(); i++) {
    seen[key]++;
    switch (i % 3) {
      case 0:
        ASSERT_EQ(iter->Remove(), Status::SUCCESS);
        break;
      case 1: {
        ASSERT_EQ(iter->Set("new-" + key), Status::SUCCESS);
        std::string now;
        ASSERT_EQ(iter->Get(nullptr, &now), Status::SUCCESS);
        EXPECT_EQ("new-" + key, now);
        std::string stepped_key, stepped_value;
        ASSERT_EQ(iter->Step(&stepped_key, &stepped_value), Status::SUCCESS);
        EXPECT_EQ(key, stepped_key);
        EXPECT_EQ("new-" + key, stepped_value);
        expected[key] = "new-" + key;
        break;
      }
      default:
        expected[key] = value;
        ASSERT_EQ(iter->Next(), Status::SUCCESS);
    }
  }
  EXPECT_EQ(static_cast<size_t>(kNum), seen.size());
  for (const auto& [k, count] : seen) EXPECT_EQ(1, count) << k;
  EXPECT_EQ(static_cast<int64_t>(expected.size()), dbm_.CountSimple());
  for (const auto& [k, v] : expected) {
    std::string got;
    ASSERT_EQ(dbm_.Get(k, &got), Status::SUCCESS) << k;
    EXPECT_EQ(v, got);
  }
}

// A Rebuild that keeps the layout keeps the walk exact; one that changes the
// bucket count leaves the iterator on its key and the walk going to its end.
TEST_P(IteratorTest, RebuildInTheMiddleOfAWalk) {
  constexpr int kNum = 2000;
  FillStable(kNum);
  const IterCase& c = GetParam();
  ParamMap same_layout;
  if (c.params.count("num_buckets") > 0) same_layout["num_buckets"] = c.params.at("num_buckets");
  auto iter = dbm_.MakeIterator();
  ASSERT_EQ(iter->First(), Status::SUCCESS);
  std::map<std::string, int> seen;
  std::string key;
  for (int i = 0; i < 700; i++) {
    ASSERT_EQ(iter->Step(&key), Status::SUCCESS);
    seen[key]++;
  }
  ASSERT_EQ(dbm_.RebuildAdvanced(same_layout), Status::SUCCESS);
  Status status;
  while ((status = iter->Step(&key)).IsOK()) seen[key]++;
  EXPECT_EQ(status, Status::NOT_FOUND_ERROR);
  EXPECT_EQ(static_cast<size_t>(kNum), seen.size());
  for (const auto& [k, count] : seen) EXPECT_EQ(1, count) << k;

  ASSERT_EQ(iter->First(), Status::SUCCESS);
  for (int i = 0; i < 700; i++) ASSERT_EQ(iter->Next(), Status::SUCCESS);
  std::string before;
  ASSERT_EQ(iter->Get(&before), Status::SUCCESS);
  ParamMap new_layout;
  if (!same_layout.empty()) new_layout["num_buckets"] = "3001";
  ASSERT_EQ(dbm_.RebuildAdvanced(new_layout), Status::SUCCESS);
  ASSERT_EQ(iter->Get(&key), Status::SUCCESS);
  EXPECT_EQ(before, key);
  int walked = 0;
  while ((status = iter->Step(&key)).IsOK()) walked++;
  EXPECT_EQ(status, Status::NOT_FOUND_ERROR);
  EXPECT_GT(walked, 0);
  EXPECT_EQ(kNum, dbm_.CountSimple());
}

INSTANTIATE_TEST_SUITE_P(Classes, IteratorTest, ::testing::ValuesIn(kIterCases),
                         [](const ::testing::TestParamInfo<IterCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace morvel
