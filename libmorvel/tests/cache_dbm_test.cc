#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "morvel/mem_dbm.h"
#include "morvel/poly_dbm.h"
#include "test_util.h"

namespace morvel {
namespace {

class CacheDBMTest : public morvel_test::TempDirTest {};

// The keys in iteration (insertion) order.
std::vector<std::string> Keys(DBM* dbm) {
  std::vector<std::string> keys;
  auto iter = dbm->MakeIterator();
  iter->First();
  std::string key;
  while (iter->Get(&key).IsOK()) {
    keys.push_back(key);
    iter->Next();
  }
  return keys;
}

std::string InspectItem(DBM* dbm, const std::string& name) {
  for (const auto& item : dbm->Inspect()) {
    if (item.first == name) return item.second;
  }
  return "";
}

TEST_F(CacheDBMTest, EvictsTheLeastRecentlyUsedByRecordCount) {
  CacheDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {{"cap_rec_num", "3"}}).IsOK());
  for (const char* key : {"a", "b", "c"}) ASSERT_TRUE(dbm.Set(key, "v").IsOK());
  ASSERT_TRUE(dbm.Get("a").IsOK());
  ASSERT_TRUE(dbm.Set("d", "v").IsOK());
  EXPECT_EQ(Keys(&dbm), (std::vector<std::string>{"a", "c", "d"}));
  ASSERT_TRUE(dbm.Set("c", "w").IsOK());
  ASSERT_TRUE(dbm.Set("e", "v").IsOK());
  ASSERT_TRUE(dbm.Set("f", "v").IsOK());
  EXPECT_EQ(Keys(&dbm), (std::vector<std::string>{"c", "e", "f"}));
  EXPECT_EQ(dbm.CountSimple(), 3);
}

// Each way of reaching a record through the database makes it the most recent,
// so the next insertion evicts the other old record.
TEST_F(CacheDBMTest, EveryDatabaseAccessRefreshesRecency) {
  const std::vector<std::pair<const char*, std::function<Status(DBM*)>>> accesses = {
      {"Get", [](DBM* dbm) { return dbm->Get("a"); }},
      {"Set", [](DBM* dbm) { return dbm->Set("a", "x"); }},
      {"Append", [](DBM* dbm) { return dbm->Append("a", "x"); }},
      {"CompareExchange", [](DBM* dbm) { return dbm->CompareExchange("a", "v", "x"); }},
      {"GetMulti",
       [](DBM* dbm) {
         std::map<std::string, std::string> records;
         return dbm->GetMulti({"a"}, &records);
       }},
      {"read-only Process",
       [](DBM* dbm) {
         return dbm->Process(
             "a", [](std::string_view, std::string_view) { return DBM::RecordProcessor::NOOP; },
             false);
       }},
  };
  for (const auto& [name, access] : accesses) {
    SCOPED_TRACE(name);
    CacheDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {{"cap_rec_num", "2"}}).IsOK());
    ASSERT_TRUE(dbm.Set("a", "v").IsOK());
    ASSERT_TRUE(dbm.Set("b", "v").IsOK());
    ASSERT_TRUE(access(&dbm).IsOK());
    ASSERT_TRUE(dbm.Set("c", "v").IsOK());
    EXPECT_TRUE(dbm.Get("a").IsOK());
    EXPECT_EQ(dbm.Get("b"), Status::NOT_FOUND_ERROR);
  }
  // Reading through an iterator is a walk, not a use.
  CacheDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {{"cap_rec_num", "2"}}).IsOK());
  ASSERT_TRUE(dbm.Set("a", "v").IsOK());
  ASSERT_TRUE(dbm.Set("b", "v").IsOK());
  auto iter = dbm.MakeIterator();
  ASSERT_TRUE(iter->Jump("a").IsOK());
  ASSERT_TRUE(iter->Get().IsOK());
  ASSERT_TRUE(dbm.Set("c", "v").IsOK());
  EXPECT_EQ(dbm.Get("a"), Status::NOT_FOUND_ERROR);
}

TEST_F(CacheDBMTest, MemoryCapacityCountsKeysValuesAndOverhead) {
  // Three records of 64 + 1 + 10 bytes fit in 225; a fourth does not.
  CacheDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {{"cap_mem_size", "225"}}).IsOK());
  for (const char* key : {"a", "b", "c"}) {
    ASSERT_TRUE(dbm.Set(key, std::string(10, 'v')).IsOK());
  }
  EXPECT_EQ(InspectItem(&dbm, "mem_size"), "225");
  EXPECT_EQ(dbm.CountSimple(), 3);
  ASSERT_TRUE(dbm.Set("d", "").IsOK());
  EXPECT_EQ(Keys(&dbm), (std::vector<std::string>{"b", "c", "d"}));
  // Growing a value evicts the oldest others until it fits.
  ASSERT_TRUE(dbm.Set("d", std::string(80, 'v')).IsOK());
  EXPECT_EQ(Keys(&dbm), (std::vector<std::string>{"c", "d"}));
  EXPECT_LE(std::stoll(InspectItem(&dbm, "mem_size")), 225);
  // A record larger than the whole capacity is refused and changes nothing.
  EXPECT_EQ(dbm.Set("big", std::string(200, 'v')), Status::INFEASIBLE_ERROR);
  EXPECT_EQ(dbm.Set("c", std::string(200, 'v')), Status::INFEASIBLE_ERROR);
  EXPECT_EQ(Keys(&dbm), (std::vector<std::string>{"c", "d"}));
  std::string value;
  ASSERT_TRUE(dbm.Get("c", &value).IsOK());
  EXPECT_EQ(value, std::string(10, 'v'));
  // Rebuild applies smaller capacities at once.
  ASSERT_TRUE(dbm.RebuildAdvanced({{"cap_rec_num", "1"}}).IsOK());
  EXPECT_EQ(Keys(&dbm), (std::vector<std::string>{"c"}));
  EXPECT_EQ(dbm.RebuildAdvanced({{"cap_rec_num", "-1"}}), Status::INVALID_ARGUMENT_ERROR);
  EXPECT_EQ(dbm.Close().IsOK(), true);
  EXPECT_EQ(dbm.OpenAdvanced("", true, 0, {{"cap_mem_size", "lots"}}),
            Status::INVALID_ARGUMENT_ERROR);
}

TEST_F(CacheDBMTest, IteratorFollowsInsertionOrderAndSurvivesRemovals) {
  CacheDBM dbm;
  ASSERT_TRUE(dbm.Open("", true).IsOK());
  for (const char* key : {"x", "y", "z", "w"}) ASSERT_TRUE(dbm.Set(key, key).IsOK());
  auto iter = dbm.MakeIterator();
  EXPECT_EQ(iter->Last(), Status::NOT_IMPLEMENTED_ERROR);
  EXPECT_EQ(iter->Previous(), Status::NOT_IMPLEMENTED_ERROR);
  EXPECT_EQ(iter->Jump("nope"), Status::NOT_FOUND_ERROR);
  ASSERT_TRUE(iter->Jump("y").IsOK());
  std::string key, value;
  ASSERT_TRUE(dbm.Remove("y").IsOK());
  ASSERT_TRUE(iter->Get(&key).IsOK());
  EXPECT_EQ(key, "z");
  ASSERT_TRUE(iter->Set("Z").IsOK());
  ASSERT_TRUE(iter->Remove().IsOK());
  ASSERT_TRUE(iter->Step(&key, &value).IsOK());
  EXPECT_EQ(key, "w");
  EXPECT_EQ(iter->Get(), Status::NOT_FOUND_ERROR);
  std::string first;
  ASSERT_TRUE(dbm.PopFirst(&first).IsOK());
  EXPECT_EQ(first, "x");
  ASSERT_TRUE(dbm.Close().IsOK());
  EXPECT_EQ(iter->First(), Status::PRECONDITION_ERROR);
}

TEST_F(CacheDBMTest, FileKeepsTheRecencyOrderAndThePolyDBMOpensIt) {
  const std::string path = Path("c.mvmc");
  {
    PolyDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, {{"cap_rec_num", "3"}}).IsOK());
    EXPECT_EQ(InspectItem(&dbm, "class"), "CacheDBM");
    EXPECT_FALSE(dbm.IsOrdered());
    for (const char* key : {"a", "b", "c"}) ASSERT_TRUE(dbm.Set(key, key).IsOK());
    ASSERT_TRUE(dbm.Get("a").IsOK());
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  {
    // "b" is the least recent after reopening, and a smaller capacity at
    // loading keeps the most recent records.
    PolyDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, {{"dbm", "cache"}, {"cap_rec_num", "3"}}).IsOK());
    ASSERT_TRUE(dbm.Set("d", "d").IsOK());
    EXPECT_EQ(dbm.Get("b"), Status::NOT_FOUND_ERROR);
    EXPECT_TRUE(dbm.Get("c").IsOK());
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  PolyDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(path, false, 0, {{"cap_rec_num", "1"}}).IsOK());
  EXPECT_EQ(Keys(&dbm), (std::vector<std::string>{"c"}));
}

TEST_F(CacheDBMTest, ConcurrentWritersNeverPassTheCapacity) {
  CacheDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {{"cap_rec_num", "100"}}).IsOK());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; i++) {
        EXPECT_TRUE(dbm.Set(std::to_string(t * 10000 + i), "v").IsOK());
        EXPECT_LE(dbm.CountSimple(), 100);
        dbm.Get(std::to_string(t * 10000 + i / 2));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(dbm.CountSimple(), 100);
  EXPECT_EQ(Keys(&dbm).size(), 100U);
}

}  // namespace
}  // namespace morvel
