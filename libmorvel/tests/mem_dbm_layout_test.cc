// What the memory databases' storage layouts could break: TinyDBM's table
// growing under callers and walks, BabyDBM's packed leaves under ordered moves.

#include "morvel/mem_dbm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "morvel/file.h"
#include "morvel/key_comparators.h"
#include "morvel/str_util.h"

namespace morvel {
namespace {

int64_t NumBuckets(DBM* dbm) {
  for (const auto& [name, value] : dbm->Inspect()) {
    if (name == "num_buckets") return std::stoll(value);
  }
  return -1;
}

TEST(TinyDBMGrowthTest, GrowingKeepsEveryRecord) {
  // From tables far too small, with removals and overwrites (of other sizes)
  // between the inserts, so that records move while chains also shrink.
  for (const int64_t initial : {1, 7, 1000}) {
    SCOPED_TRACE(initial);
    TinyDBM dbm(initial);
    ASSERT_TRUE(dbm.Open("", true).IsOK());
    std::map<std::string, std::string> model;
    std::mt19937 rng(initial);
    for (int i = 0; i < 30000; i++) {
      const std::string key = "k" + std::to_string(rng() % 40000);
      switch (rng() % 4) {
        case 0:
          ASSERT_EQ(dbm.Remove(key).IsOK(), model.erase(key) == 1);
          break;
        default: {
          const std::string value(rng() % 20, 'a' + i % 26);
          ASSERT_TRUE(dbm.Set(key, value).IsOK());
          model[key] = value;
        }
      }
    }
    ASSERT_EQ(dbm.CountSimple(), static_cast<int64_t>(model.size()));
    EXPECT_GE(NumBuckets(&dbm), static_cast<int64_t>(model.size()) / 2);
    for (const auto& [key, value] : model) {
      std::string got;
      ASSERT_TRUE(dbm.Get(key, &got).IsOK()) << key;
      ASSERT_EQ(got, value);
    }
    std::map<std::string, std::string> seen;
    auto iter = dbm.MakeIterator();
    ASSERT_TRUE(iter->First().IsOK());
    std::string key, value;
    while (iter->Step(&key, &value).IsOK()) {
      ASSERT_TRUE(seen.emplace(key, value).second) << "seen twice: " << key;
    }
    EXPECT_EQ(seen, model);
  }
}

TEST(TinyDBMGrowthTest, LoadingAFileGrowsTheTable) {
  const std::string path = ::testing::TempDir() + "/tiny_growth.flat";
  {
    TinyDBM dbm(3);
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, {}).IsOK());
    for (int i = 0; i < 5000; i++) {
      ASSERT_TRUE(dbm.Set(std::to_string(i), std::to_string(i * 3)).IsOK());
    }
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  TinyDBM dbm(3);
  ASSERT_TRUE(dbm.Open(path, false).IsOK());
  EXPECT_EQ(dbm.CountSimple(), 5000);
  EXPECT_GE(NumBuckets(&dbm), 2500);
  for (int i = 0; i < 5000; i++) {
    std::string value;
    ASSERT_TRUE(dbm.Get(std::to_string(i), &value).IsOK());
    ASSERT_EQ(value, std::to_string(i * 3));
  }
  ASSERT_TRUE(dbm.Close().IsOK());
  std::remove(path.c_str());
}

TEST(TinyDBMGrowthTest, IteratorSeesEachRecordOnceWhileTheTableGrows) {
  // Between two steps, enough records are added to double the table several
  // times, and some added ones are removed; an iterator that reads ahead by
  // buckets, several batches to a stripe, must still hand out every record
  // present throughout exactly once. Rebuilds to odd bucket counts, whose
  // buckets do not line up with the old ones, must not make it repeat either.
  constexpr int kStable = 40000;
  TinyDBM dbm(5);
  ASSERT_TRUE(dbm.Open("", true).IsOK());
  for (int i = 0; i < kStable; i++) {
    ASSERT_TRUE(dbm.Set("stable" + std::to_string(i), "v").IsOK());
  }
  auto iter = dbm.MakeIterator();
  ASSERT_TRUE(iter->First().IsOK());
  std::set<std::string> seen;
  std::string key;
  int steps = 0, added = 0;
  const int64_t buckets_before = NumBuckets(&dbm);
  int64_t buckets_rebuilt = 0;
  while (iter->Step(&key).IsOK()) {
    if (key.compare(0, 6, "stable") == 0) {
      ASSERT_TRUE(seen.insert(key).second) << "seen twice: " << key;
    }
    steps++;
    if (steps % 500 == 0 && steps <= 20000) {
      for (int i = 0; i < 2000; i++, added++) {
        ASSERT_TRUE(dbm.Set("new" + std::to_string(added), "w").IsOK());
      }
      ASSERT_TRUE(dbm.Remove("new" + std::to_string(added / 2)).IsOK());
    }
    if (steps == 10000) {
      // The table grew during the walk so far; it grows again after this.
      EXPECT_GT(NumBuckets(&dbm), buckets_before);
      ASSERT_TRUE(dbm.RebuildAdvanced({{"num_buckets", "12345"}}).IsOK());
      buckets_rebuilt = NumBuckets(&dbm);
    }
    if (steps == 20000) {
      EXPECT_GT(NumBuckets(&dbm), buckets_rebuilt);
    }
    if (steps == 30000) {
      ASSERT_TRUE(dbm.RebuildAdvanced({{"num_buckets", "777"}}).IsOK());
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kStable));
  EXPECT_GT(steps, 30000);
}

TEST(TinyDBMGrowthTest, WalksSeeEachRecordOnceWhileAnotherThreadGrowsTheTable) {
  // ProcessEach and iterators against a writer whose inserts keep doubling
  // the table; whichever way they interleave, each record present throughout
  // is visited exactly once.
  TinyDBM dbm(2);
  ASSERT_TRUE(dbm.Open("", true).IsOK());
  for (int i = 0; i < 3000; i++) {
    ASSERT_TRUE(dbm.Set("stable" + std::to_string(i), "v").IsOK());
  }
  std::atomic<bool> stop{false};
  std::thread writer([&dbm, &stop] {
    for (int i = 0; !stop && i < 400000; i++) {
      dbm.Set("new" + std::to_string(i), "w");
      if (i % 3 == 0) dbm.Remove("new" + std::to_string(i / 2));
    }
  });
  for (int round = 0; round < 4; round++) {
    std::map<std::string, int> visits;
    ASSERT_TRUE(dbm.ProcessEach(
                       [&](std::string_view key, std::string_view) -> std::string_view {
                         if (key.substr(0, 6) == "stable") visits[std::string(key)]++;
                         return DBM::RecordProcessor::NOOP;
                       },
                       false)
                    .IsOK());
    ASSERT_EQ(visits.size(), 3000u);
    for (const auto& [key, count] : visits) ASSERT_EQ(count, 1) << key;
    std::set<std::string> seen;
    auto iter = dbm.MakeIterator();
    ASSERT_TRUE(iter->First().IsOK());
    std::string key;
    while (iter->Step(&key).IsOK()) {
      if (key.compare(0, 6, "stable") == 0) {
        ASSERT_TRUE(seen.insert(key).second) << "seen twice: " << key;
      }
    }
    ASSERT_EQ(seen.size(), 3000u);
  }
  stop = true;
  writer.join();
  for (int i = 0; i < 3000; i++) {
    ASSERT_TRUE(dbm.Get("stable" + std::to_string(i)).IsOK());
  }
}

// A map ordered by a database comparator, as the reference.
struct ByComparator {
  KeyComparator comp;
  bool operator()(const std::string& a, const std::string& b) const { return comp(a, b) < 0; }
};
using Model = std::map<std::string, std::string, ByComparator>;

std::string KeyAt(DBM::Iterator* iter) {
  std::string key;
  return iter->Get(&key).IsOK() ? key : "(none)";
}

std::string ModelKey(const Model& model, Model::const_iterator it) {
  return it == model.end() ? "(none)" : it->first;
}

// The last key below |key| (or at it when |inclusive|), as JumpLower finds it.
std::string ModelLower(const Model& model, const std::string& key, bool inclusive) {
  auto it = inclusive ? model.upper_bound(key) : model.lower_bound(key);
  return it == model.begin() ? "(none)" : std::prev(it)->first;
}

TEST(BabyDBMLayoutTest, OrderedMovesMatchAReferenceMap) {
  // Random writes and removals with values of every size class the leaves
  // store differently (empty, one-byte sizes, longer sizes, and values kept
  // out of the leaf), under the default comparator and a non-lexical one;
  // after each wave every kind of move must land where the reference says.
  const struct {
    KeyComparator comp;
    bool decimal_keys;
  } cases[] = {{LexicalKeyComparator, false}, {DecimalKeyComparator, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(GetKeyComparatorName(c.comp));
    BabyDBM dbm(c.comp);
    ASSERT_TRUE(dbm.Open("", true).IsOK());
    Model model(ByComparator{c.comp});
    std::mt19937 rng(7);
    auto random_key = [&] {
      const unsigned n = rng() % 6000;
      return c.decimal_keys ? std::to_string(n) : SPrintF("k%05u", n * 7919 % 6000);
    };
    auto random_value = [&] {
      static const size_t sizes[] = {0, 1, 8, 100, 200, 5000};
      return std::string(sizes[rng() % 6], static_cast<char>('a' + rng() % 26));
    };
    for (int wave = 0; wave < 6; wave++) {
      for (int i = 0; i < 4000; i++) {
        const std::string key = random_key();
        if (rng() % 3 == 0 || wave == 4) {
          ASSERT_EQ(dbm.Remove(key).IsOK(), model.erase(key) == 1) << key;
        } else {
          const std::string value = random_value();
          ASSERT_TRUE(dbm.Set(key, value).IsOK());
          model[key] = value;
        }
      }
      if (wave == 3) {
        ASSERT_TRUE(dbm.Rebuild().IsOK());
      }
      ASSERT_EQ(dbm.CountSimple(), static_cast<int64_t>(model.size()));
      // A whole forward walk equals the reference, values included.
      auto iter = dbm.MakeIterator();
      ASSERT_TRUE(iter->First().IsOK());
      auto it = model.begin();
      std::string key, value;
      while (iter->Step(&key, &value).IsOK()) {
        ASSERT_NE(it, model.end());
        ASSERT_EQ(key, it->first);
        ASSERT_EQ(value, it->second);
        ++it;
      }
      ASSERT_EQ(it, model.end());
      // Jumps from random probes, present or not, then one step each way.
      for (int probe = 0; probe < 300; probe++) {
        const std::string target = random_key();
        ASSERT_TRUE(iter->Jump(target).IsOK());
        auto found = model.lower_bound(target);
        ASSERT_EQ(KeyAt(iter.get()), ModelKey(model, found)) << target;
        if (found != model.end()) {
          ASSERT_TRUE(iter->Next().IsOK());
          ASSERT_EQ(KeyAt(iter.get()), ModelKey(model, std::next(found)));
        }
        ASSERT_TRUE(iter->JumpUpper(target, false).IsOK());
        ASSERT_EQ(KeyAt(iter.get()), ModelKey(model, model.upper_bound(target)));
        for (const bool inclusive : {false, true}) {
          ASSERT_TRUE(iter->JumpLower(target, inclusive).IsOK());
          const std::string lower = ModelLower(model, target, inclusive);
          ASSERT_EQ(KeyAt(iter.get()), lower) << target << " " << inclusive;
          if (lower != "(none)") {
            ASSERT_TRUE(iter->Previous().IsOK());
            ASSERT_EQ(KeyAt(iter.get()), ModelLower(model, lower, false));
          }
        }
      }
      ASSERT_TRUE(iter->Last().IsOK());
      ASSERT_EQ(KeyAt(iter.get()), model.empty() ? "(none)" : model.rbegin()->first);
    }
  }
}

TEST(BabyDBMLayoutTest, DeepTreeSplitsAndMergesItsInnerNodes) {
  // Enough records for inner nodes to split under the root, then removals by
  // whole ranges and at random until they merge back; walks both ways and
  // lookups must match the reference at each stage.
  BabyDBM dbm;
  ASSERT_TRUE(dbm.Open("", true).IsOK());
  Model model(ByComparator{LexicalKeyComparator});
  std::mt19937 rng(3);
  auto check = [&] {
    ASSERT_EQ(dbm.CountSimple(), static_cast<int64_t>(model.size()));
    auto iter = dbm.MakeIterator();
    ASSERT_TRUE(iter->First().IsOK());
    std::string key, value;
    for (const auto& [k, v] : model) {
      ASSERT_TRUE(iter->Step(&key, &value).IsOK());
      ASSERT_EQ(key, k);
      ASSERT_EQ(value, v);
    }
    ASSERT_FALSE(iter->Step(&key).IsOK());
    ASSERT_TRUE(iter->Last().IsOK());
    for (auto it = model.rbegin(); it != model.rend(); ++it) {
      ASSERT_EQ(KeyAt(iter.get()), it->first);
      ASSERT_TRUE(iter->Previous().IsOK());
    }
    ASSERT_EQ(KeyAt(iter.get()), "(none)");
    for (int i = 0; i < 2000; i++) {
      const std::string probe = SPrintF("%08u", static_cast<unsigned>(rng() % 400000));
      std::string got;
      const auto it = model.find(probe);
      ASSERT_EQ(dbm.Get(probe, &got).IsOK(), it != model.end()) << probe;
      if (it != model.end()) {
        ASSERT_EQ(got, it->second);
      }
    }
  };
  for (int i = 0; i < 150000; i++) {
    const std::string key = SPrintF("%08u", static_cast<unsigned>(rng() % 400000));
    const std::string value = std::to_string(i);
    ASSERT_TRUE(dbm.Set(key, value).IsOK());
    model[key] = value;
  }
  check();
  for (unsigned start = 0; start < 400000; start += 50000) {
    for (unsigned k = start; k < start + 40000; k++) {
      const std::string key = SPrintF("%08u", k);
      ASSERT_EQ(dbm.Remove(key).IsOK(), model.erase(key) == 1);
    }
  }
  check();
  std::vector<std::string> keys;
  for (const auto& record : model) keys.push_back(record.first);
  for (const auto& key : keys) {
    if (rng() % 8 != 0) {
      ASSERT_TRUE(dbm.Remove(key).IsOK());
      model.erase(key);
    }
  }
  check();
}

TEST(BabyDBMLayoutTest, ProcessorAnswersAliasingTheLeafAreCopied) {
  // Answers that point into the stored record (its own value, a part of it,
  // its key) while the write moves the leaf's bytes.
  BabyDBM dbm;
  ASSERT_TRUE(dbm.Open("", true).IsOK());
  for (int i = 0; i < 200; i++) {
    ASSERT_TRUE(dbm.Set(SPrintF("key%03d", i), std::string(i * 30, 'x') + "end").IsOK());
  }
  const struct {
    std::function<std::string_view(std::string_view, std::string_view)> answer;
    std::function<std::string(const std::string&, const std::string&)> expected;
  } cases[] = {
      {[](std::string_view, std::string_view v) { return v; },
       [](const std::string&, const std::string& v) { return v; }},
      {[](std::string_view, std::string_view v) { return v.substr(v.size() / 2); },
       [](const std::string&, const std::string& v) { return v.substr(v.size() / 2); }},
      {[](std::string_view k, std::string_view) { return k; },
       [](const std::string& k, const std::string&) { return k; }},
  };
  for (const auto& c : cases) {
    std::map<std::string, std::string> expected;
    auto iter = dbm.MakeIterator();
    ASSERT_TRUE(iter->First().IsOK());
    std::string key, value;
    while (iter->Step(&key, &value).IsOK()) expected[key] = c.expected(key, value);
    ASSERT_TRUE(dbm.ProcessEach(c.answer, true).IsOK());
    for (const auto& [k, v] : expected) {
      std::string got;
      ASSERT_TRUE(dbm.Get(k, &got).IsOK());
      ASSERT_EQ(got, v) << k;
    }
  }
}

}  // namespace
}  // namespace morvel
