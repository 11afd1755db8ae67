#include "morvel/tree_dbm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "morvel/dbm_util.h"
#include "morvel/file.h"
#include "morvel/hash_dbm.h"
#include "morvel/mem_dbm.h"
#include "morvel/poly_dbm.h"
#include "morvel/shard_dbm.h"
#include "morvel/str_util.h"
#include "test_util.h"

namespace morvel {
namespace {

class TreeDBMTest : public morvel_test::TempDirTest {};

std::string InspectItem(DBM* dbm, const std::string& name) {
  for (const auto& item : dbm->Inspect()) {
    if (item.first == name) return item.second;
  }
  return "";
}

// Walks the whole database forwards and backwards with an iterator.
void ExpectSameRecords(DBM* dbm, const std::map<std::string, std::string>& expected) {
  ASSERT_EQ(dbm->CountSimple(), static_cast<int64_t>(expected.size()));
  auto iter = dbm->MakeIterator();
  ASSERT_TRUE(iter->First().IsOK());
  std::string key, value;
  for (const auto& rec : expected) {
    ASSERT_TRUE(iter->Get(&key, &value).IsOK()) << rec.first;
    ASSERT_EQ(key, rec.first);
    ASSERT_EQ(value, rec.second);
    ASSERT_TRUE(iter->Next().IsOK());
  }
  EXPECT_EQ(iter->Get(&key), Status::NOT_FOUND_ERROR);
  ASSERT_TRUE(iter->Last().IsOK());
  for (auto it = expected.rbegin(); it != expected.rend(); ++it) {
    ASSERT_TRUE(iter->Get(&key).IsOK()) << it->first;
    ASSERT_EQ(key, it->first);
    ASSERT_TRUE(iter->Previous().IsOK());
  }
  EXPECT_EQ(iter->Get(&key), Status::NOT_FOUND_ERROR);
}

TEST_F(TreeDBMTest, RecordOperationsPersistAcrossReopen) {
  const std::string path = Path("a.mvt");
  {
    TreeDBM dbm;
    ASSERT_TRUE(dbm.Open(path, true).IsOK());
    EXPECT_TRUE(dbm.IsOrdered());
    EXPECT_TRUE(dbm.IsHealthy());
    ASSERT_TRUE(dbm.Set("b", "2").IsOK());
    ASSERT_TRUE(dbm.Set("a", "1").IsOK());
    EXPECT_EQ(dbm.Set("a", "x", false), Status::DUPLICATION_ERROR);
    ASSERT_TRUE(dbm.Append("b", "3", ",").IsOK());
    ASSERT_TRUE(dbm.Set("c", "").IsOK());
    std::string old;
    ASSERT_TRUE(dbm.Remove("c", &old).IsOK());
    EXPECT_EQ(dbm.Remove("c"), Status::NOT_FOUND_ERROR);
    int64_t current = 0;
    ASSERT_TRUE(dbm.Increment("n", 5, &current).IsOK());
    EXPECT_EQ(current, 5);
    std::string key;
    ASSERT_TRUE(dbm.PopFirst(&key).IsOK());
    EXPECT_EQ(key, "a");
    ASSERT_TRUE(dbm.Set("a", "1").IsOK());
    ASSERT_TRUE(dbm.Close().IsOK());
    EXPECT_EQ(dbm.Get("a"), Status::PRECONDITION_ERROR);
  }
  TreeDBM dbm;
  ASSERT_TRUE(dbm.Open(path, false).IsOK());
  EXPECT_TRUE(dbm.IsHealthy());
  ExpectSameRecords(&dbm, {{"a", "1"}, {"b", "2,3"}, {"n", IntToStrBigEndian(5)}});
  EXPECT_EQ(dbm.Set("z", "z"), Status::PRECONDITION_ERROR);
  EXPECT_EQ(InspectItem(&dbm, "class"), "TreeDBM");
  EXPECT_EQ(InspectItem(&dbm, "key_comparator"), "LexicalKeyComparator");
  EXPECT_EQ(InspectItem(&dbm, "num_records"), "3");
}

TEST_F(TreeDBMTest, ManyRandomKeysInOrderBothWaysAndBalancedAfterRemovals) {
  const std::string path = Path("many.mvt");
  std::mt19937_64 rng(7);
  std::map<std::string, std::string> expected;
  {
    TreeDBM dbm;
    ASSERT_TRUE(dbm.Open(path, true, File::OPEN_TRUNCATE).IsOK());
    while (expected.size() < 1000000) {
      const std::string key = IntToStrBigEndian(rng());
      const std::string value = std::to_string(expected.size());
      expected[key] = value;
      ASSERT_TRUE(dbm.Set(key, value).IsOK());
    }
    ExpectSameRecords(&dbm, expected);
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  TreeDBM dbm;
  ASSERT_TRUE(dbm.Open(path, true).IsOK());
  ExpectSameRecords(&dbm, expected);
  const int64_t leaves_full = std::stoll(InspectItem(&dbm, "num_leaf_pages"));
  std::vector<std::string> keys;
  for (const auto& rec : expected) keys.push_back(rec.first);
  std::shuffle(keys.begin(), keys.end(), rng);
  keys.resize(keys.size() / 2);
  for (const auto& key : keys) {
    ASSERT_TRUE(dbm.Remove(key).IsOK());
    expected.erase(key);
  }
  ExpectSameRecords(&dbm, expected);
  // Removing half the keys at random merges leaves: fewer pages, same depth
  // bound as a fresh tree of that size.
  const int64_t leaves_half = std::stoll(InspectItem(&dbm, "num_leaf_pages"));
  EXPECT_LT(leaves_half, leaves_full);
  EXPECT_GE(leaves_half, leaves_full / 4);
  EXPECT_LE(std::stoll(InspectItem(&dbm, "tree_level")), 3);
  // Removing everything leaves one empty root leaf.
  for (const auto& rec : expected) ASSERT_TRUE(dbm.Remove(rec.first).IsOK());
  EXPECT_EQ(InspectItem(&dbm, "tree_level"), "1");
  EXPECT_EQ(InspectItem(&dbm, "num_leaf_pages"), "1");
  EXPECT_EQ(InspectItem(&dbm, "num_inner_pages"), "0");
  ExpectSameRecords(&dbm, {});
}

// Random operations against a std::map, with small pages so that splits and
// merges happen at every level, and reopens in between.
TEST_F(TreeDBMTest, RandomOperationsMatchAModel) {
  const std::string path = Path("model.mvt");
  const ParamMap params = {{"max_page_size", "256"}, {"max_branches", "4"},
                           {"max_cached_pages", "1"}};
  std::mt19937 rng(11);
  std::map<std::string, std::string> model;
  auto rand_key = [&] { return "k" + std::to_string(rng() % 5000); };
  for (int round = 0; round < 6; round++) {
    TreeDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, params).IsOK()) << round;
    auto iter = dbm.MakeIterator();
    for (int i = 0; i < 6000; i++) {
      const std::string key = rand_key();
      switch (rng() % 6) {
        case 0:
        case 1: {
          const std::string value(rng() % 40, 'a' + rng() % 26);
          ASSERT_TRUE(dbm.Set(key, value).IsOK());
          model[key] = value;
          break;
        }
        case 2: {
          const Status status = dbm.Remove(key);
          EXPECT_EQ(status.IsOK(), model.erase(key) == 1) << key;
          break;
        }
        case 3: {
          std::string value;
          const Status status = dbm.Get(key, &value);
          const auto it = model.find(key);
          ASSERT_EQ(status.IsOK(), it != model.end()) << key;
          if (it != model.end()) {
            EXPECT_EQ(value, it->second);
          }
          break;
        }
        case 4: {
          const bool inclusive = rng() % 2;
          std::string found;
          ASSERT_TRUE(iter->JumpLower(key, inclusive).IsOK());
          auto it = inclusive ? model.upper_bound(key) : model.lower_bound(key);
          if (it == model.begin()) {
            EXPECT_EQ(iter->Get(&found), Status::NOT_FOUND_ERROR);
          } else {
            ASSERT_TRUE(iter->Get(&found).IsOK());
            EXPECT_EQ(found, std::prev(it)->first);
          }
          break;
        }
        case 5: {
          const bool inclusive = rng() % 2;
          std::string found;
          ASSERT_TRUE(iter->JumpUpper(key, inclusive).IsOK());
          auto it = inclusive ? model.lower_bound(key) : model.upper_bound(key);
          if (it == model.end()) {
            EXPECT_EQ(iter->Get(&found), Status::NOT_FOUND_ERROR);
          } else {
            ASSERT_TRUE(iter->Get(&found).IsOK());
            EXPECT_EQ(found, it->first);
          }
          break;
        }
      }
    }
    ExpectSameRecords(&dbm, model);
    // The cache keeps its bound (256 pages at least), dirty pages included.
    EXPECT_GT(std::stoll(InspectItem(&dbm, "num_leaf_pages")), 256);
    EXPECT_LE(std::stoll(InspectItem(&dbm, "num_cached_pages")), 256 + 128);
    if (round % 2 == 1) {
      ASSERT_TRUE(dbm.Synchronize(false).IsOK());
    }
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  TreeDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(path, false, 0, params).IsOK());
  ExpectSameRecords(&dbm, model);
}

TEST_F(TreeDBMTest, ComparatorsOrderAsOnBabyDBMAndAreRecorded) {
  const std::vector<std::string> keys = {
      "10", "9", "-3", "0x1F", "abc", "ABD", "2.5", "1e2", IntToStrBigEndian(-5),
      IntToStrBigEndian(7), FloatToStrBigEndian(-1.5), SerializeStrPair("a", "z"),
      SerializeStrPair("ab", "a"), "", "B"};
  const char* comparators[] = {
      "LexicalKeyComparator",      "LexicalCaseKeyComparator",     "DecimalKeyComparator",
      "HexadecimalKeyComparator",  "RealNumberKeyComparator",      "SignedBigEndianKeyComparator",
      "FloatBigEndianKeyComparator", "PairLexicalKeyComparator"};
  for (const char* name : comparators) {
    SCOPED_TRACE(name);
    const std::string path = Path(std::string(name) + ".mvt");
    BabyDBM baby;
    TreeDBM tree;
    ASSERT_TRUE(baby.OpenAdvanced("", true, 0, {{"key_comparator", name}}).IsOK());
    ASSERT_TRUE(tree.OpenAdvanced(path, true, 0,
                                  {{"key_comparator", name}, {"max_page_size", "256"}})
                    .IsOK());
    for (const auto& key : keys) {
      ASSERT_TRUE(baby.Set(key, key).IsOK());
      ASSERT_TRUE(tree.Set(key, key).IsOK());
    }
    auto collect = [](DBM* dbm) {
      std::vector<std::string> result;
      auto iter = dbm->MakeIterator();
      iter->First();
      std::string key;
      while (iter->Get(&key).IsOK()) {
        result.push_back(key);
        iter->Next();
      }
      return result;
    };
    const std::vector<std::string> expected = collect(&baby);
    EXPECT_EQ(collect(&tree), expected);
    ASSERT_TRUE(tree.Close().IsOK());
    // The recorded comparator is taken when none is given, and another one is
    // refused.
    ASSERT_TRUE(tree.Open(path, false).IsOK());
    EXPECT_EQ(InspectItem(&tree, "key_comparator"), name);
    EXPECT_EQ(collect(&tree), expected);
    ASSERT_TRUE(tree.Close().IsOK());
    const char* other = std::string(name) == "DecimalKeyComparator" ? "lexical" : "decimal";
    EXPECT_EQ(tree.OpenAdvanced(path, true, 0, {{"key_comparator", other}}),
              Status::INVALID_ARGUMENT_ERROR);
    EXPECT_FALSE(tree.IsOpen());
  }
}

TEST_F(TreeDBMTest, IteratorMovesAndEditsAtTheCursor) {
  TreeDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(Path("it.mvt"), true, 0, {{"max_page_size", "256"}}).IsOK());
  auto iter = dbm.MakeIterator();
  EXPECT_EQ(iter->Get(), Status::NOT_FOUND_ERROR);
  EXPECT_EQ(iter->Next(), Status::NOT_FOUND_ERROR);
  ASSERT_TRUE(iter->First().IsOK());
  EXPECT_EQ(iter->Get(), Status::NOT_FOUND_ERROR);
  for (int i = 0; i < 100; i += 2) {
    ASSERT_TRUE(dbm.Set(SPrintF("%03d", i), std::to_string(i)).IsOK());
  }
  std::string key, value;
  const struct {
    const char* move;
    const char* key;
    bool inclusive;
    const char* expected;  // null: no record
  } cases[] = {
      {"jump", "010", false, "010"},        {"jump", "011", false, "012"},
      {"jump", "999", false, nullptr},      {"upper", "010", false, "012"},
      {"upper", "010", true, "010"},        {"upper", "098", false, nullptr},
      {"lower", "010", false, "008"},       {"lower", "010", true, "010"},
      {"lower", "000", false, nullptr},     {"lower", "999", false, "098"},
  };
  for (const auto& c : cases) {
    const std::string move = c.move;
    const Status status = move == "jump"    ? iter->Jump(c.key)
                          : move == "upper" ? iter->JumpUpper(c.key, c.inclusive)
                                            : iter->JumpLower(c.key, c.inclusive);
    ASSERT_TRUE(status.IsOK()) << move << c.key;
    if (c.expected == nullptr) {
      EXPECT_EQ(iter->Get(&key), Status::NOT_FOUND_ERROR) << move << c.key;
    } else {
      ASSERT_TRUE(iter->Get(&key).IsOK()) << move << c.key;
      EXPECT_EQ(key, c.expected) << move << c.key;
    }
  }
  ASSERT_TRUE(iter->Jump("020").IsOK());
  ASSERT_TRUE(iter->Set("twenty").IsOK());
  ASSERT_TRUE(dbm.Get("020", &value).IsOK());
  EXPECT_EQ(value, "twenty");
  // Removing at the cursor leaves it on the next record.
  ASSERT_TRUE(iter->Remove().IsOK());
  ASSERT_TRUE(iter->Get(&key).IsOK());
  EXPECT_EQ(key, "022");
  // A record removed by another caller does not make Next or Previous skip.
  ASSERT_TRUE(dbm.Remove("022").IsOK());
  ASSERT_TRUE(iter->Next().IsOK());
  ASSERT_TRUE(iter->Get(&key).IsOK());
  EXPECT_EQ(key, "024");
  ASSERT_TRUE(dbm.Remove("024").IsOK());
  ASSERT_TRUE(iter->Previous().IsOK());
  ASSERT_TRUE(iter->Get(&key).IsOK());
  EXPECT_EQ(key, "018");
  ASSERT_TRUE(iter->Last().IsOK());
  ASSERT_TRUE(iter->Step(&key, &value).IsOK());
  EXPECT_EQ(key, "098");
  EXPECT_EQ(iter->Step(&key, &value), Status::NOT_FOUND_ERROR);
  ASSERT_TRUE(dbm.Close().IsOK());
  EXPECT_EQ(iter->First(), Status::PRECONDITION_ERROR);
  EXPECT_EQ(iter->Get(), Status::PRECONDITION_ERROR);
}

// Stepping reads records ahead in batches; a write after a batch was read must
// show in what the iterator hands out next, and a walk by steps over several
// batches gives every record once, in order.
TEST_F(TreeDBMTest, ReadAheadStepsSeeLaterWrites) {
  TreeDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(Path("ra.mvt"), true, 0, {{"max_page_size", "512"}}).IsOK());
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 3000; i += 2) {
    expected[SPrintF("%05d", i)] = std::to_string(i);
    ASSERT_TRUE(dbm.Set(SPrintF("%05d", i), std::to_string(i)).IsOK());
  }
  // One step: from the batch when it has the record, else Get and Next.
  auto step = [](DBM::Iterator* iter, std::string* key, std::string* value) {
    std::string_view k, v;
    if (iter->StepReadAhead(&k, &v)) {
      *key = k;
      *value = v;
      return Status();
    }
    return iter->Step(key, value);
  };
  auto iter = dbm.MakeIterator();
  ASSERT_TRUE(iter->First().IsOK());
  std::string key, value;
  std::map<std::string, std::string> walked;
  while (step(iter.get(), &key, &value).IsOK()) {
    ASSERT_TRUE(walked.emplace(key, value).second) << key;
  }
  EXPECT_EQ(walked, expected);

  ASSERT_TRUE(iter->First().IsOK());
  ASSERT_TRUE(step(iter.get(), &key, &value).IsOK());
  EXPECT_EQ(key, "00000");
  // Ahead of the cursor, inside the batch already read: an insertion, an
  // update and a removal.
  ASSERT_TRUE(dbm.Set("00003", "new").IsOK());
  ASSERT_TRUE(dbm.Set("00004", "changed").IsOK());
  ASSERT_TRUE(dbm.Remove("00006").IsOK());
  const std::vector<std::pair<std::string, std::string>> next = {
      {"00002", "2"}, {"00003", "new"}, {"00004", "changed"}, {"00008", "8"}};
  for (const auto& rec : next) {
    ASSERT_TRUE(step(iter.get(), &key, &value).IsOK());
    EXPECT_EQ(key, rec.first);
    EXPECT_EQ(value, rec.second);
  }
  // Get and Next keep serving the current record as the tree has it.
  ASSERT_TRUE(dbm.Set("00010", "ten").IsOK());
  ASSERT_TRUE(iter->Get(&key, &value).IsOK());
  EXPECT_EQ(key, "00010");
  EXPECT_EQ(value, "ten");
  ASSERT_TRUE(iter->Next().IsOK());
  ASSERT_TRUE(iter->Get(&key).IsOK());
  EXPECT_EQ(key, "00012");
  // The last record, then the end.
  ASSERT_TRUE(iter->Jump("02998").IsOK());
  ASSERT_TRUE(step(iter.get(), &key, &value).IsOK());
  EXPECT_EQ(key, "02998");
  EXPECT_EQ(step(iter.get(), &key, &value), Status::NOT_FOUND_ERROR);
  std::string_view k, v;
  EXPECT_FALSE(iter->StepReadAhead(&k, &v));
}

TEST_F(TreeDBMTest, RecordsLargerThanAPage) {
  const std::string path = Path("large.mvt");
  std::map<std::string, std::string> expected;
  {
    TreeDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, {{"max_page_size", "512"}}).IsOK());
    for (int i = 0; i < 60; i++) {
      const std::string key = std::string(i % 3 == 0 ? 3000 : 5, 'k') + std::to_string(i);
      const std::string value(i % 4 == 0 ? 200000 : i, 'v');
      expected[key] = value;
      ASSERT_TRUE(dbm.Set(key, value).IsOK());
    }
    ExpectSameRecords(&dbm, expected);
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  TreeDBM dbm;
  ASSERT_TRUE(dbm.Open(path, true).IsOK());
  ExpectSameRecords(&dbm, expected);
  for (auto it = expected.begin(); it != expected.end();) {
    ASSERT_TRUE(dbm.Remove(it->first).IsOK());
    it = expected.erase(it);
    if (it != expected.end()) ++it;
  }
  ExpectSameRecords(&dbm, expected);
}

TEST_F(TreeDBMTest, ProcessEachProcessFirstAndMulti) {
  TreeDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(Path("p.mvt"), true, 0, {{"max_page_size", "256"}}).IsOK());
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 500; i++) {
    const std::string key = SPrintF("%04d", i);
    ASSERT_TRUE(dbm.Set(key, "v").IsOK());
    if (i % 3 == 1) expected[key] = "w";
    if (i % 3 == 2) expected[key] = "v";
  }
  // Every third record removed and every third changed in one walk.
  int calls = 0;
  ASSERT_TRUE(dbm.ProcessEach(
                     [&](std::string_view key, std::string_view) -> std::string_view {
                       const int num = std::stoi(std::string(key));
                       calls++;
                       if (num % 3 == 0) return DBM::RecordProcessor::REMOVE;
                       return num % 3 == 1 ? "w" : DBM::RecordProcessor::NOOP;
                     },
                     true)
                  .IsOK());
  EXPECT_EQ(calls, 500);
  ExpectSameRecords(&dbm, expected);
  std::string key;
  ASSERT_TRUE(dbm.PopFirst(&key).IsOK());
  EXPECT_EQ(key, "0001");
  expected.erase("0001");
  // All-or-nothing across keys of different leaves.
  EXPECT_EQ(dbm.CompareExchangeMulti({{"0002", "v"}, {"0499", "nope"}},
                                     {{"0002", "x"}, {"0499", "x"}}),
            Status::INFEASIBLE_ERROR);
  ExpectSameRecords(&dbm, expected);
  ASSERT_TRUE(dbm.CompareExchangeMulti({{"0002", "v"}, {"0497", "v"}},
                                       {{"0002", "x"}, {"0497", std::string_view()}})
                  .IsOK());
  expected["0002"] = "x";
  expected.erase("0497");
  ExpectSameRecords(&dbm, expected);
  ASSERT_TRUE(dbm.Clear().IsOK());
  ExpectSameRecords(&dbm, {});
  DBM::RecordProcessorLambda noop(
      [](std::string_view, std::string_view) { return DBM::RecordProcessor::NOOP; });
  EXPECT_EQ(dbm.ProcessFirst(&noop, true), Status::NOT_FOUND_ERROR);
}

// Rebuild puts a new file in place of the old one; no other opener may take
// the path meanwhile (the old file's lock is held until the new one's is).
TEST_F(TreeDBMTest, RebuildNeverReleasesTheFile) {
  const std::string path = Path("lock.mvt");
  TreeDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, {{"max_page_size", "256"}}).IsOK());
  for (int i = 0; i < 300; i++) {
    ASSERT_TRUE(dbm.Set(std::to_string(i), std::string(i % 20, 'v')).IsOK());
  }
  std::atomic<bool> done = false;
  std::atomic<int> taken = 0;
  std::thread other([&] {
    while (!done) {
      TreeDBM intruder;
      if (intruder.Open(path, true, File::OPEN_NO_WAIT).IsOK()) {
        taken++;
        intruder.Close();
      }
    }
  });
  for (int i = 0; i < 100; i++) {
    ASSERT_TRUE(dbm.Set("r" + std::to_string(i), "x").IsOK());
    const Status status = dbm.Rebuild();
    if (!status.IsOK()) {
      done = true;
      other.join();
      FAIL() << i << ": " << status;
    }
  }
  done = true;
  other.join();
  EXPECT_EQ(taken, 0);
  std::string path_got;
  ASSERT_TRUE(dbm.GetFilePath(&path_got).IsOK());
  EXPECT_EQ(path_got, path);
  EXPECT_EQ(dbm.CountSimple(), 400);
  ASSERT_TRUE(dbm.Close().IsOK());
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp.rebuild"));
}

TEST_F(TreeDBMTest, RebuildCopyAndParameters) {
  const std::string path = Path("r.mvt");
  TreeDBM dbm;
  EXPECT_EQ(dbm.Open("", true), Status::INVALID_ARGUMENT_ERROR);
  EXPECT_EQ(dbm.OpenAdvanced(path, true, 0, {{"max_page_size", "x"}}),
            Status::INVALID_ARGUMENT_ERROR);
  EXPECT_EQ(dbm.OpenAdvanced(path, true, 0, {{"max_branches", "2"}}),
            Status::INVALID_ARGUMENT_ERROR);
  EXPECT_EQ(dbm.OpenAdvanced(path, true, 0, {{"key_comparator", "nosuch"}}),
            Status::INVALID_ARGUMENT_ERROR);
  ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, {{"max_page_size", "256"}}).IsOK());
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 2000; i++) {
    expected[std::to_string(i)] = std::string(i % 50, 'x');
    ASSERT_TRUE(dbm.Set(std::to_string(i), std::string(i % 50, 'x')).IsOK());
  }
  for (int i = 0; i < 2000; i += 3) {
    ASSERT_TRUE(dbm.Remove(std::to_string(i)).IsOK());
    expected.erase(std::to_string(i));
  }
  const int64_t leaves = std::stoll(InspectItem(&dbm, "num_leaf_pages"));
  ASSERT_TRUE(dbm.RebuildAdvanced({{"max_page_size", "4096"}}).IsOK());
  EXPECT_LT(std::stoll(InspectItem(&dbm, "num_leaf_pages")), leaves / 4);
  EXPECT_EQ(InspectItem(&dbm, "max_page_size"), "4096");
  ExpectSameRecords(&dbm, expected);
  ASSERT_TRUE(dbm.Set("new", "1").IsOK());
  expected["new"] = "1";
  const std::string copy = Path("copy.mvt");
  ASSERT_TRUE(dbm.CopyFileData(copy).IsOK());
  ASSERT_TRUE(dbm.Close().IsOK());
  TreeDBM copied;
  ASSERT_TRUE(copied.Open(copy, false).IsOK());
  EXPECT_TRUE(copied.IsHealthy());
  ExpectSameRecords(&copied, expected);
}

// Writes records with a small cache, so pages reach the file between
// synchronizations, and copies the file as a crash would leave it.
class TreeCrashTest : public TreeDBMTest {
 protected:
  void MakeCrashedFile(const std::string& crashed, std::map<std::string, std::string>* synced) {
    const std::string path = Path("live.mvt");
    TreeDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0,
                                 {{"max_page_size", "512"}, {"max_cached_pages", "1"}})
                    .IsOK());
    for (int i = 0; i < 3000; i++) {
      (*synced)[SPrintF("%05d", i)] = std::to_string(i);
      ASSERT_TRUE(dbm.Set(SPrintF("%05d", i), std::to_string(i)).IsOK());
    }
    ASSERT_TRUE(dbm.Synchronize(false).IsOK());
    for (int i = 3000; i < 6000; i++) {
      ASSERT_TRUE(dbm.Set(SPrintF("%05d", i), "late").IsOK());
    }
    std::filesystem::copy_file(path, crashed);
    ASSERT_TRUE(dbm.Close().IsOK());
  }

  // The synchronized records are all there, any later ones are whole, and the
  // tree agrees with itself.
  void ExpectRecovered(DBM* dbm, const std::map<std::string, std::string>& synced) {
    std::map<std::string, std::string> found;
    auto iter = dbm->MakeIterator();
    ASSERT_TRUE(iter->First().IsOK());
    std::string key, value;
    while (iter->Get(&key, &value).IsOK()) {
      found[key] = value;
      ASSERT_TRUE(iter->Next().IsOK());
    }
    EXPECT_EQ(dbm->CountSimple(), static_cast<int64_t>(found.size()));
    for (const auto& rec : synced) {
      ASSERT_EQ(found[rec.first], rec.second) << rec.first;
    }
    for (const auto& rec : found) {
      if (synced.count(rec.first) == 0) {
        EXPECT_EQ(rec.second, "late") << rec.first;
      }
    }
  }
};

TEST_F(TreeCrashTest, UncleanFileIsDetectedAndRebuiltFromItsLeaves) {
  const std::string crashed = Path("crashed.mvt");
  std::map<std::string, std::string> synced;
  MakeCrashedFile(crashed, &synced);
  {
    TreeDBM dbm;
    ASSERT_TRUE(dbm.Open(crashed, false).IsOK());
    EXPECT_FALSE(dbm.IsHealthy());
    EXPECT_EQ(InspectItem(&dbm, "healthy"), "false");
  }
  {
    TreeDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(crashed, true, 0, {{"restore_mode", "noop"}}).IsOK());
    EXPECT_FALSE(dbm.IsHealthy());
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  TreeDBM dbm;
  ASSERT_TRUE(dbm.Open(crashed, true).IsOK());
  EXPECT_TRUE(dbm.IsHealthy());
  ExpectRecovered(&dbm, synced);
  ASSERT_TRUE(dbm.Close().IsOK());
  ASSERT_TRUE(dbm.Open(crashed, false).IsOK());
  EXPECT_TRUE(dbm.IsHealthy());
}

TEST_F(TreeCrashTest, RestoreDatabaseDetectsTheTreeClass) {
  const std::string crashed = Path("crashed.mvt");
  std::map<std::string, std::string> synced;
  MakeCrashedFile(crashed, &synced);
  // The extension says nothing: the class comes from the file.
  const std::string renamed = Path("crashed.bin");
  std::filesystem::rename(crashed, renamed);
  const std::string restored = Path("restored.mvt");
  ASSERT_TRUE(PolyDBM::RestoreDatabase(renamed, restored, "", -1).IsOK());
  PolyDBM dbm;
  ASSERT_TRUE(dbm.Open(restored, false).IsOK());
  EXPECT_EQ(InspectItem(&dbm, "class"), "TreeDBM");
  EXPECT_TRUE(dbm.IsHealthy());
  ExpectRecovered(&dbm, synced);
}

// A crash of the inner database is caught even when the tree's metadata still
// says clean: pages written after the metadata may have survived.
TEST_F(TreeCrashTest, UncleanInnerDatabaseRebuildsTheTree) {
  const std::string path = Path("inner.mvt");
  {
    TreeDBM dbm;
    ASSERT_TRUE(dbm.Open(path, true).IsOK());
    ASSERT_TRUE(dbm.Set("a", "1").IsOK());
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  // A leaf written just before the crash, holding "z" with a newer sequence.
  std::string page(1, '\x01');
  page += IntToStrBigEndian(99) + IntToStrBigEndian(0) + IntToStrBigEndian(0);
  page += std::string("\x01\x01\x01", 3) + "z" + "2";
  const std::string crashed = Path("crashed.mvt");
  {
    HashDBM hdb;
    ASSERT_TRUE(hdb.Open(path, true).IsOK());
    ASSERT_TRUE(hdb.Set(IntToStrBigEndian(1000, 8), page).IsOK());
    std::filesystem::copy_file(path, crashed);
    ASSERT_TRUE(hdb.Close().IsOK());
  }
  TreeDBM dbm;
  ASSERT_TRUE(dbm.Open(crashed, false).IsOK());
  EXPECT_FALSE(dbm.IsHealthy());
  ASSERT_TRUE(dbm.Close().IsOK());
  ASSERT_TRUE(dbm.Open(crashed, true).IsOK());
  EXPECT_TRUE(dbm.IsHealthy());
  ExpectSameRecords(&dbm, {{"a", "1"}, {"z", "2"}});
}

// Overwrites one page record of a closed tree file through its inner database.
void DamagePage(const std::string& path, int64_t id, const std::string& data) {
  HashDBM hdb;
  ASSERT_TRUE(hdb.Open(path, true).IsOK());
  ASSERT_TRUE(hdb.Get(IntToStrBigEndian(id, 8)).IsOK()) << id;
  ASSERT_TRUE(hdb.Set(IntToStrBigEndian(id, 8), data).IsOK());
  ASSERT_TRUE(hdb.Close().IsOK());
}

TEST_F(TreeDBMTest, DamagedPagesAreBrokenDataNotCrashes) {
  auto leaf = [](uint64_t prev, uint64_t next, const std::string& body) {
    std::string data(1, '\x01');
    data += IntToStrBigEndian(1) + IntToStrBigEndian(prev) + IntToStrBigEndian(next) + body;
    return data;
  };
  auto inner = [](uint64_t child, const std::string& body) {
    return std::string(1, '\x02') + body + IntToStrBigEndian(child) ;
  };
  const struct {
    const char* name;
    std::string data;
  } cases[] = {
      {"empty", ""},
      {"unknown type", "\x07garbage"},
      {"truncated leaf header", std::string("\x01\x00\x00", 3)},
      {"huge record count", leaf(0, 0, "\xff\xff\xff\xff\x0f")},
      {"record past the end", leaf(0, 0, std::string("\x01\x05\x7f", 3) + "abc")},
      {"link out of range", leaf(0, 1ULL << 40, std::string("\x00", 1))},
      {"inner pointing at itself", ""},
      {"inner child out of range", inner(1ULL << 50, std::string("\x00", 1))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Path("damaged.mvt");
    int64_t root = 0;
    {
      TreeDBM dbm;
      ASSERT_TRUE(dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, {{"max_page_size", "256"}})
                      .IsOK());
      for (int i = 0; i < 200; i++) {
        ASSERT_TRUE(dbm.Set(SPrintF("%04d", i), "value").IsOK());
      }
      root = std::stoll(InspectItem(&dbm, "root_id"));
      ASSERT_TRUE(dbm.Close().IsOK());
    }
    std::string data = c.data;
    if (std::string(c.name) == "inner pointing at itself") {
      data = std::string(1, '\x02') + std::string("\x00", 1) + IntToStrBigEndian(root);
    }
    DamagePage(path, root, data);
    TreeDBM dbm;
    ASSERT_TRUE(dbm.Open(path, false).IsOK());
    EXPECT_EQ(dbm.Get("0100"), Status::BROKEN_DATA_ERROR);
    auto iter = dbm.MakeIterator();
    EXPECT_EQ(iter->First(), Status::BROKEN_DATA_ERROR);
    EXPECT_EQ(iter->Last(), Status::BROKEN_DATA_ERROR);
    EXPECT_EQ(dbm.ProcessEach(
                  [](std::string_view, std::string_view) { return DBM::RecordProcessor::NOOP; },
                  false),
              Status::BROKEN_DATA_ERROR);
  }
  // A damaged leaf fails the keys it holds, not the others.
  const std::string path = Path("leaf.mvt");
  {
    TreeDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, {{"max_page_size", "256"}}).IsOK());
    for (int i = 0; i < 200; i++) {
      ASSERT_TRUE(dbm.Set(SPrintF("%04d", i), "value").IsOK());
    }
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  // The first leaf made is page 1, which holds the smallest keys.
  DamagePage(path, 1, leaf(0, 0, "\x09"));
  TreeDBM dbm;
  ASSERT_TRUE(dbm.Open(path, false).IsOK());
  EXPECT_EQ(dbm.Get("0000"), Status::BROKEN_DATA_ERROR);
  EXPECT_TRUE(dbm.Get("0199").IsOK());
}

// A damaged first leaf fails any walk over every record, so a search that
// succeeds shows that it jumped past it.
TEST_F(TreeDBMTest, PrefixSearchesJumpInsteadOfWalking) {
  const std::string path = Path("search.mvt");
  {
    TreeDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, {{"max_page_size", "256"}}).IsOK());
    for (const char* prefix : {"a", "b"}) {
      for (int i = 0; i < 200; i++) {
        ASSERT_TRUE(dbm.Set(SPrintF("%s%04d", prefix, i), "v").IsOK());
      }
    }
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  DamagePage(path, 1, "\x09");
  TreeDBM dbm;
  ASSERT_TRUE(dbm.Open(path, false).IsOK());
  const struct {
    const char* mode;
    const char* pattern;
    size_t capacity;
    std::vector<std::string> expected;
  } cases[] = {
      {"begin", "b015", 0, {"b0150", "b0151", "b0152", "b0153", "b0154", "b0155", "b0156",
                            "b0157", "b0158", "b0159"}},
      {"begin", "b", 2, {"b0000", "b0001"}},
      {"regex", "^b019[5-9]", 0, {"b0195", "b0196", "b0197", "b0198", "b0199"}},
      {"regex", "^b01.*7$", 3, {"b0107", "b0117", "b0127"}},
      {"upper", "b0197", 0, {"b0198", "b0199"}},
      {"lowerinc", "b0001", 3, {"b0001", "b0000", "a0199"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + c.pattern);
    std::vector<std::string> matched;
    ASSERT_TRUE(SearchDBMModal(&dbm, c.mode, c.pattern, &matched, c.capacity).IsOK());
    EXPECT_EQ(matched, c.expected);
  }
  std::vector<std::string> matched;
  EXPECT_EQ(SearchDBMModal(&dbm, "regex", "b015", &matched), Status::BROKEN_DATA_ERROR);
  EXPECT_EQ(SearchDBMModal(&dbm, "contain", "b015", &matched), Status::BROKEN_DATA_ERROR);
}

TEST_F(TreeDBMTest, ConcurrentWritersAndIterators) {
  TreeDBM dbm;
  ASSERT_TRUE(dbm.OpenAdvanced(Path("c.mvt"), true, 0,
                               {{"max_page_size", "512"}, {"max_cached_pages", "64"}})
                  .IsOK());
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; i++) {
        const std::string key = SPrintF("%d-%05d", t, i);
        EXPECT_TRUE(dbm.Set(key, key).IsOK());
        if (i % 2 == 1) {
          EXPECT_TRUE(dbm.Remove(SPrintF("%d-%05d", t, i - 1)).IsOK());
        }
      }
    });
  }
  // Readers walk while writers write: every key seen is in order.
  threads.emplace_back([&] {
    for (int round = 0; round < 20; round++) {
      auto iter = dbm.MakeIterator();
      iter->First();
      std::string prev, key;
      while (iter->Get(&key).IsOK()) {
        EXPECT_LT(prev, key);
        prev = key;
        iter->Next();
      }
    }
  });
  // Readers load and evict pages together under the shared lock.
  for (int r = 0; r < 2; r++) {
    threads.emplace_back([&, r] {
      std::mt19937 rng(r);
      for (int i = 0; i < 20000; i++) {
        const Status status = dbm.Get(SPrintF("%d-%05d", static_cast<int>(rng() % kThreads),
                                             static_cast<int>(rng() % kPerThread)));
        EXPECT_TRUE(status.IsOK() || status == Status::NOT_FOUND_ERROR) << status;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(dbm.CountSimple(), kThreads * kPerThread / 2);
  // More pages than the cache holds, so the readers evicted and reloaded.
  EXPECT_GT(std::stoll(InspectItem(&dbm, "num_leaf_pages")), 256);
  std::map<std::string, std::string> expected;
  for (int t = 0; t < kThreads; t++) {
    for (int i = 1; i < kPerThread; i += 2) {
      expected[SPrintF("%d-%05d", t, i)] = SPrintF("%d-%05d", t, i);
    }
  }
  ExpectSameRecords(&dbm, expected);
}

TEST_F(TreeDBMTest, PolyDBMAndOrderedShards) {
  for (const auto& [name, params] : std::vector<std::pair<std::string, ParamMap>>{
           {"a.mvt", {}}, {"a.tree", {}}, {"a.bin", {{"dbm", "treedbm"}}}}) {
    PolyDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(Path(name), true, 0, params).IsOK()) << name;
    EXPECT_EQ(InspectItem(&dbm, "class"), "TreeDBM") << name;
    EXPECT_TRUE(dbm.IsOrdered());
  }
  ShardDBM shards;
  ASSERT_TRUE(shards.OpenAdvanced(Path("s.mvt"), true, 0,
                                  {{"num_shards", "3"}, {"key_comparator", "decimal"}})
                  .IsOK());
  EXPECT_TRUE(shards.IsOrdered());
  std::map<int, std::string> expected;
  for (int i = 0; i < 300; i += 7) {
    ASSERT_TRUE(shards.Set(std::to_string(i), "v").IsOK());
    expected[i] = std::to_string(i);
  }
  auto iter = shards.MakeIterator();
  ASSERT_TRUE(iter->First().IsOK());
  std::string key;
  for (const auto& rec : expected) {
    ASSERT_TRUE(iter->Get(&key).IsOK());
    EXPECT_EQ(key, rec.second);
    iter->Next();
  }
  ASSERT_TRUE(iter->JumpLower("100").IsOK());
  ASSERT_TRUE(iter->Get(&key).IsOK());
  EXPECT_EQ(key, "98");
  ASSERT_TRUE(shards.Close().IsOK());
  const std::string restored = Path("r.mvt");
  ASSERT_TRUE(ShardDBM::RestoreDatabase(Path("s.mvt"), restored, "", -1).IsOK());
  ShardDBM reopened;
  ASSERT_TRUE(reopened.Open(restored, false).IsOK());
  EXPECT_EQ(reopened.CountSimple(), static_cast<int64_t>(expected.size()));
  EXPECT_EQ(InspectItem(reopened.GetInternalDBMs()[0], "key_comparator"),
            "DecimalKeyComparator");
}

}  // namespace
}  // namespace morvel
