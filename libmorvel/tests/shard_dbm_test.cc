#include "morvel/shard_dbm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "morvel/file.h"
#include "morvel/hash_util.h"
#include "test_util.h"

namespace morvel {
namespace {

class ShardDBMTest : public morvel_test::TempDirTest {
 protected:
  std::map<std::string, std::string> InspectMap(DBM* dbm) {
    std::map<std::string, std::string> items;
    for (const auto& item : dbm->Inspect()) items[item.first] = item.second;
    return items;
  }
};

class ShardFilesTest : public ShardDBMTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ShardFilesTest, ShardFilesAndPlacement) {
  const std::string path = Path(std::string("db.") + GetParam());
  ShardDBM dbm;
  ParamMap params = {{"num_shards", "4"}};
  if (std::string(GetParam()) != "mvmb") {
    params["num_buckets"] = "64";
  }
  ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, params).IsOK());
  EXPECT_EQ(dbm.GetNumShards(), 4);
  for (int i = 0; i < 200; i++) {
    ASSERT_TRUE(dbm.Set("key" + std::to_string(i), std::to_string(i)).IsOK());
  }
  EXPECT_EQ(dbm.CountSimple(), 200);
  // Each key sits in the shard its secondary hash names.
  const auto shards = dbm.GetInternalDBMs();
  ASSERT_EQ(shards.size(), 4u);
  for (int i = 0; i < 200; i++) {
    const std::string key = "key" + std::to_string(i);
    EXPECT_TRUE(shards[SecondaryHash(key, 4)]->Get(key).IsOK()) << key;
  }
  const auto items = InspectMap(&dbm);
  EXPECT_EQ(items.at("class"), "ShardDBM");
  EXPECT_EQ(items.at("num_records"), "200");
  ASSERT_TRUE(dbm.Close().IsOK());
  for (int i = 0; i < 4; i++) {
    EXPECT_TRUE(std::filesystem::exists(path + "-0000" + std::to_string(i) + "-of-00004"));
  }
  int32_t num_shards = 0;
  ASSERT_TRUE(ShardDBM::GetNumberOfShards(path, &num_shards).IsOK());
  EXPECT_EQ(num_shards, 4);
  EXPECT_EQ(ShardDBM::GetNumberOfShards(Path("none"), &num_shards), Status::NOT_FOUND_ERROR);
  // Reopening without a count (or with another one) keeps the count on disk.
  ShardDBM again;
  ASSERT_TRUE(again.OpenAdvanced(path, true, 0, {{"num_shards", "2"}}).IsOK());
  EXPECT_EQ(again.GetNumShards(), 4);
  EXPECT_EQ(again.CountSimple(), 200);
  std::string value;
  ASSERT_TRUE(again.Get("key7", &value).IsOK());
  EXPECT_EQ(value, "7");
}

INSTANTIATE_TEST_SUITE_P(Extensions, ShardFilesTest, ::testing::Values("mvmt", "mvmb", "mvh"));

TEST_F(ShardDBMTest, ShardClassComesFromTheBasePath) {
  ShardDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(Path("db.mvmb"), true, 0, {{"num_shards", "3"}}).IsOK());
  EXPECT_TRUE(dbm.IsOrdered());
  EXPECT_EQ(InspectMap(&dbm).at("shard_class"), "BabyDBM");
  ShardDBM memory;
  ASSERT_TRUE(memory.OpenAdvanced("", true, 0, {{"num_shards", "2"}, {"dbm", "tiny"}}).IsOK());
  EXPECT_FALSE(memory.IsOrdered());
  EXPECT_EQ(InspectMap(&memory).at("shard_class"), "TinyDBM");
}

class ShardIterationTest : public ShardDBMTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ShardIterationTest, VisitsEveryRecordOnceAndOrderedShardsMerge) {
  ShardDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {{"num_shards", "3"}, {"dbm", GetParam()}}).IsOK());
  std::set<std::string> expected;
  for (int i = 0; i < 100; i++) {
    const std::string key = SPrintF("%03d", i);
    expected.insert(key);
    ASSERT_TRUE(dbm.Set(key, key).IsOK());
  }
  auto iter = dbm.MakeIterator();
  ASSERT_TRUE(iter->First().IsOK());
  std::vector<std::string> keys;
  std::string key, value;
  while (iter->Step(&key, &value).IsOK()) {
    EXPECT_EQ(key, value);
    keys.push_back(key);
  }
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()), expected);
  EXPECT_EQ(keys.size(), expected.size());
  if (dbm.IsOrdered()) {
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    ASSERT_TRUE(iter->JumpLower("050", false).IsOK());
    ASSERT_TRUE(iter->Get(&key).IsOK());
    EXPECT_EQ(key, "049");
    ASSERT_TRUE(iter->Previous().IsOK());
    ASSERT_TRUE(iter->Get(&key).IsOK());
    EXPECT_EQ(key, "048");
    // Removing the current record leaves the iterator on the next one.
    ASSERT_TRUE(dbm.Remove("048").IsOK());
    ASSERT_TRUE(iter->Get(&key).IsOK());
    EXPECT_EQ(key, "049");
    std::string first;
    ASSERT_TRUE(dbm.PopFirst(&first).IsOK());
    EXPECT_EQ(first, "000");
  } else {
    EXPECT_EQ(iter->Last(), Status::NOT_IMPLEMENTED_ERROR);
  }
  ASSERT_TRUE(iter->Jump("042").IsOK());
  ASSERT_TRUE(iter->Get(&key).IsOK());
  EXPECT_EQ(key, "042");
  // Removal through the iterator.
  ASSERT_TRUE(iter->Remove().IsOK());
  EXPECT_EQ(dbm.Get("042"), Status::NOT_FOUND_ERROR);
}

INSTANTIATE_TEST_SUITE_P(Classes, ShardIterationTest, ::testing::Values("tiny", "baby"));

// Records removed by another thread next to the walked ones must not make a
// walk of ordered shards hand out a record twice or pass one over: a shard
// whose record vanished between the merge and the read gives its next record,
// which may come after lesser keys of the other shards, and a read must not
// move the iterator past a record removed just after it was read.
TEST_F(ShardDBMTest, OrderedWalkMeetsEachRecordOnceWhileNeighboursChange) {
  ShardDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {{"num_shards", "3"}, {"dbm", "baby"}}).IsOK());
  constexpr int kStable = 300;
  constexpr int kMoving = 200;
  for (int i = 0; i < kStable; i++) {
    ASSERT_TRUE(dbm.Set("s" + std::to_string(1000 + i), "v").IsOK());
  }
  std::atomic<bool> stop(false);
  std::thread churn([&] {
    // Keys interleave with the stable ones, so every step has removed
    // neighbours.
    for (int round = 0; !stop.load(); round++) {
      const int i = round % kMoving;
      const std::string key = "s" + std::to_string(1000 + i * kStable / kMoving) + "x";
      if ((round / kMoving) % 2 == 0) {
        dbm.Set(key, "m");
      } else {
        dbm.Remove(key);
      }
    }
  });
  auto iter = dbm.MakeIterator();
  std::vector<std::string> bad_walk;
  for (int walk = 0; walk < 60 && bad_walk.empty(); walk++) {
    std::vector<std::string> met;
    iter->First();
    std::string key;
    while (iter->Step(&key, nullptr).IsOK()) {
      if (key.back() != 'x') {
        met.push_back(key);
      }
    }
    if (met.size() != static_cast<size_t>(kStable) || !std::is_sorted(met.begin(), met.end())) {
      bad_walk = met;
    }
  }
  stop.store(true);
  churn.join();
  EXPECT_TRUE(bad_walk.empty()) << "a walk met " << bad_walk.size() << " records of " << kStable;
}

TEST_F(ShardDBMTest, CrossShardCompareExchangeMultiStaysAtomic) {
  ShardDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {{"num_shards", "4"}, {"dbm", "tiny"}}).IsOK());
  constexpr int kAccounts = 16;
  for (int i = 0; i < kAccounts; i++) {
    ASSERT_TRUE(dbm.Set("a" + std::to_string(i), "50").IsOK());
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&dbm, t] {
      for (int i = 0; i < 400; i++) {
        const std::string from = "a" + std::to_string((t * 5 + i) % kAccounts);
        const std::string to = "a" + std::to_string((t + i * 7 + 3) % kAccounts);
        if (from == to) continue;
        std::string fv, tv;
        if (!dbm.Get(from, &fv).IsOK() || !dbm.Get(to, &tv).IsOK()) continue;
        if (std::stoi(fv) == 0) continue;
        const Status status = dbm.CompareExchangeMulti(
            {{from, fv}, {to, tv}},
            {{from, std::to_string(std::stoi(fv) - 1)}, {to, std::to_string(std::stoi(tv) + 1)}});
        EXPECT_TRUE(status.IsOK() || status == Status::INFEASIBLE_ERROR) << status;
        // Single-record writers run beside the multi-record ones.
        dbm.Increment("ops" + std::to_string(t), 1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  int sum = 0;
  for (int i = 0; i < kAccounts; i++) {
    std::string value;
    ASSERT_TRUE(dbm.Get("a" + std::to_string(i), &value).IsOK());
    sum += std::stoi(value);
  }
  EXPECT_EQ(sum, kAccounts * 50);
  // Rekey across shards moves the record in one step.
  ASSERT_TRUE(dbm.Rekey("a0", "moved").IsOK());
  EXPECT_EQ(dbm.Get("a0"), Status::NOT_FOUND_ERROR);
  EXPECT_TRUE(dbm.Get("moved").IsOK());
}

TEST_F(ShardDBMTest, RestoreEveryShard) {
  const std::string path = Path("db.mvmb");
  {
    ShardDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, {{"num_shards", "2"}}).IsOK());
    for (int i = 0; i < 30; i++) {
      ASSERT_TRUE(dbm.Set(std::to_string(i), "v").IsOK());
    }
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  const std::string restored = Path("restored.mvmb");
  ASSERT_TRUE(ShardDBM::RestoreDatabase(path, restored, "", -1).IsOK());
  ShardDBM dbm;
  ASSERT_TRUE(dbm.Open(restored, false).IsOK());
  EXPECT_EQ(dbm.GetNumShards(), 2);
  EXPECT_EQ(dbm.CountSimple(), 30);
  EXPECT_EQ(ShardDBM::RestoreDatabase(Path("none"), restored, "", -1), Status::NOT_FOUND_ERROR);
}

TEST_F(ShardDBMTest, TruncateWithAnotherCountDropsTheOldShards) {
  const std::string path = Path("db.mvmt");
  {
    ShardDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, {{"num_shards", "3"}}).IsOK());
    ASSERT_TRUE(dbm.Set("a", "1").IsOK());
  }
  ShardDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, {{"num_shards", "2"}}).IsOK());
  EXPECT_EQ(dbm.GetNumShards(), 2);
  EXPECT_EQ(dbm.CountSimple(), 0);
  EXPECT_FALSE(std::filesystem::exists(path + "-00000-of-00003"));
  int32_t num_shards = 0;
  ASSERT_TRUE(ShardDBM::GetNumberOfShards(path, &num_shards).IsOK());
  EXPECT_EQ(num_shards, 2);
}

TEST_F(ShardDBMTest, FileSizeAndTimestampGatherEveryShard) {
  ShardDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(Path("db.mvh"), true, 0, {{"num_shards", "3"}}).IsOK());
  for (int i = 0; i < 100; i++) {
    ASSERT_TRUE(dbm.Set("key" + std::to_string(i), std::string(i, 'v')).IsOK());
  }
  ASSERT_TRUE(dbm.Synchronize(false).IsOK());
  int64_t size_sum = 0;
  double latest = 0;
  for (PolyDBM* shard : dbm.GetInternalDBMs()) {
    ASSERT_GT(shard->GetFileSizeSimple(), 0);
    size_sum += shard->GetFileSizeSimple();
    latest = std::max(latest, shard->GetTimestampSimple());
  }
  EXPECT_EQ(dbm.GetFileSizeSimple(), size_sum);
  EXPECT_EQ(dbm.GetTimestampSimple(), latest);
  ASSERT_TRUE(dbm.Close().IsOK());

  // Shards with no file fail with their own error and leave the outputs alone.
  ShardDBM memory;
  ASSERT_TRUE(memory.OpenAdvanced("", true, 0, {{"num_shards", "2"}, {"dbm", "tiny"}}).IsOK());
  int64_t size = 7;
  double timestamp = 7;
  EXPECT_EQ(memory.GetFileSize(&size), Status::PRECONDITION_ERROR);
  EXPECT_EQ(memory.GetTimestamp(&timestamp), Status::PRECONDITION_ERROR);
  EXPECT_EQ(size, 7);
  EXPECT_EQ(timestamp, 7);
}

TEST_F(ShardDBMTest, ClosedDatabaseRefuses) {
  ShardDBM dbm;
  EXPECT_EQ(dbm.Get("a"), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm.Close(), Status::PRECONDITION_ERROR);
  ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {{"num_shards", "2"}}).IsOK());
  auto iter = dbm.MakeIterator();
  ASSERT_TRUE(dbm.Close().IsOK());
  EXPECT_EQ(dbm.Set("a", "b"), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm.CountSimple(), -1);
  EXPECT_EQ(iter->First(), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm.OpenAdvanced("", true, 0, {{"num_shards", "-1"}}),
            Status::INVALID_ARGUMENT_ERROR);
}

}  // namespace
}  // namespace morvel
