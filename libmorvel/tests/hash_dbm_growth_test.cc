// Automatic growth of the bucket array: a database loaded far past its
// buckets rebuilds itself into more, and no record is lost, duplicated or
// changed on the way, with other threads reading, writing and iterating.

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "morvel/file.h"
#include "morvel/hash_dbm.h"
#include "hash_dbm_test_util.h"

namespace morvel {
namespace {

using hash_test::Dump;
using hash_test::InspectValue;
using hash_test::TempDir;

int64_t NumBuckets(DBM* dbm) { return std::stoll(InspectValue(dbm, "num_buckets")); }

// Every key of |expected| has its value, the count is exact, and iteration
// yields exactly |expected|.
void ExpectExactly(DBM* dbm, const std::map<std::string, std::string>& expected) {
  for (const auto& [key, value] : expected) {
    std::string got;
    ASSERT_EQ(Status::SUCCESS, dbm->Get(key, &got)) << key;
    ASSERT_EQ(value, got) << key;
  }
  EXPECT_EQ(static_cast<int64_t>(expected.size()), dbm->CountSimple());
  EXPECT_EQ(expected, Dump(dbm));
}

struct GrowthCase {
  const char* update_mode;
  const char* file;
};

const GrowthCase kGrowthCases[] = {
    {"in_place", "MemoryMapParallelFile"},
    {"appending", "MemoryMapParallelFile"},
    {"in_place", "PositionalParallelFile"},
    {"appending", "PositionalAtomicFile"},
};

// A load of 100 times the initial buckets, with overwrites and removals of
// earlier keys between the additions: every state is the model's, before and
// after a reopen, and the buckets followed the records.
TEST(HashDBMGrowthTest, GrowthKeepsEveryRecord) {
  for (const auto& c : kGrowthCases) {
    SCOPED_TRACE(std::string(c.update_mode) + "/" + c.file);
    TempDir dir;
    const std::string path = dir.Path("grow.mvh");
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE,
                                                {{"num_buckets", "7"},
                                                 {"bucket_growth", "on"},
                                                 {"update_mode", c.update_mode},
                                                 {"file", c.file}}));
    std::mt19937 rng(11);
    std::map<std::string, std::string> expected;
    std::vector<std::string> keys;
    for (int i = 0; i < 700; i++) {
      const std::string key = "key" + std::to_string(i);
      const std::string value = std::string(rng() % 90, 'v') + std::to_string(i);
      ASSERT_EQ(Status::SUCCESS, dbm.Set(key, value));
      expected[key] = value;
      keys.push_back(key);
      const std::string& old_key = keys[rng() % keys.size()];
      if (i % 3 == 0) {
        const std::string new_value = "over" + std::to_string(i);
        ASSERT_EQ(Status::SUCCESS, dbm.Set(old_key, new_value));
        expected[old_key] = new_value;
      } else if (i % 5 == 0) {
        const Status status = dbm.Remove(old_key);
        ASSERT_EQ(expected.erase(old_key) > 0 ? Status::SUCCESS : Status::NOT_FOUND_ERROR,
                  status);
      }
      // A ProcessMulti adding two keys grows too.
      if (i % 97 == 0) {
        const std::string a = "multi_a" + std::to_string(i), b = "multi_b" + std::to_string(i);
        ASSERT_EQ(Status::SUCCESS, dbm.SetMulti({{a, "1"}, {b, "2"}}));
        expected[a] = "1";
        expected[b] = "2";
      }
    }
    const int64_t buckets = NumBuckets(&dbm);
    EXPECT_GE(buckets, static_cast<int64_t>(expected.size()));
    ExpectExactly(&dbm, expected);
    EXPECT_EQ(Status::NOT_FOUND_ERROR, dbm.Get("key-absent"));
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
    // No temporary file is left behind.
    EXPECT_NE(0, access((path + ".tmp.rebuild").c_str(), F_OK));

    HashDBM reopened;
    ASSERT_EQ(Status::SUCCESS, reopened.Open(path, false));
    EXPECT_TRUE(reopened.IsHealthy());
    EXPECT_EQ(buckets, NumBuckets(&reopened));
    ExpectExactly(&reopened, expected);
  }
}

// "auto" grows unless the open call sized the buckets; "off" never grows; a
// Rebuild can turn growth on or off.
TEST(HashDBMGrowthTest, GrowthFollowsTheParameters) {
  TempDir dir;
  const std::string path = dir.Path("params.mvh");
  const auto fill = [](DBM* dbm, int begin, int end) {
    for (int i = begin; i < end; i++) {
      ASSERT_EQ(Status::SUCCESS, dbm->Set("k" + std::to_string(i), "v"));
    }
  };
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS,
            dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, {{"num_buckets", "7"}}));
  fill(&dbm, 0, 50);
  EXPECT_EQ(7, NumBuckets(&dbm));
  ASSERT_EQ(Status::SUCCESS, dbm.Close());
  // Reopened without sizing: the file's 7 buckets grow.
  ASSERT_EQ(Status::SUCCESS, dbm.Open(path, true));
  fill(&dbm, 50, 51);
  EXPECT_GE(NumBuckets(&dbm), 51);
  ASSERT_EQ(Status::SUCCESS,
            dbm.RebuildAdvanced({{"num_buckets", "3"}, {"bucket_growth", "off"}}));
  fill(&dbm, 51, 100);
  EXPECT_EQ(3, NumBuckets(&dbm));
  ASSERT_EQ(Status::SUCCESS,
            dbm.RebuildAdvanced({{"num_buckets", "3"}, {"bucket_growth", "on"}}));
  fill(&dbm, 100, 101);
  EXPECT_GE(NumBuckets(&dbm), 101);
  ASSERT_EQ(Status::SUCCESS, dbm.Close());
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, 0, {{"bucket_growth", "off"}}));
  const int64_t before = NumBuckets(&dbm);
  fill(&dbm, 101, 101 + before);
  EXPECT_EQ(before, NumBuckets(&dbm));
  EXPECT_EQ(101 + before, dbm.CountSimple());
  ASSERT_EQ(Status::SUCCESS, dbm.Close());
  EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR,
            dbm.OpenAdvanced(path, true, 0, {{"bucket_growth", "sometimes"}}));
}

// A walk in bucket order (the appending mode) holds growth off, so that the
// order it follows stays put, and the growth comes with the first write
// after it; a walk in file order (the in-place mode) is carried over to the
// grown file. Either way every record present throughout is seen once, and
// no record twice.
TEST(HashDBMGrowthTest, GrowthDuringAWalk) {
  for (const bool appending : {true, false}) {
    SCOPED_TRACE(appending ? "appending" : "in_place");
    TempDir dir;
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS,
              dbm.OpenAdvanced(dir.Path("walk.mvh"), true, File::OPEN_TRUNCATE,
                               {{"num_buckets", "64"},
                                {"bucket_growth", "on"},
                                {"update_mode", appending ? "appending" : "in_place"}}));
    std::map<std::string, std::string> stable;
    for (int i = 0; i < 60; i++) {
      const std::string key = "s" + std::to_string(i);
      ASSERT_EQ(Status::SUCCESS, dbm.Set(key, key));
      stable[key] = key;
    }
    auto iter = dbm.MakeIterator();
    ASSERT_EQ(Status::SUCCESS, iter->First());
    std::map<std::string, std::string> seen_stable;
    std::set<std::string> seen;
    std::string key, value;
    int added = 0;
    int64_t most_buckets = 0;
    while (true) {
      const Status status = iter->Step(&key, &value);
      if (status == Status::NOT_FOUND_ERROR) break;
      ASSERT_EQ(Status::SUCCESS, status);
      most_buckets = std::max(most_buckets, NumBuckets(&dbm));
      EXPECT_TRUE(seen.insert(key).second) << "twice: " << key;
      if (key[0] == 's') seen_stable.emplace(key, value);
      // Far past the buckets meanwhile, overwriting stable records too.
      for (int i = 0; i < 10 && added < 700; i++) {
        ASSERT_EQ(Status::SUCCESS, dbm.Set("n" + std::to_string(added++), "x"));
      }
      ASSERT_EQ(Status::SUCCESS, dbm.Set("s" + std::to_string(added % 60), key));
      stable["s" + std::to_string(added % 60)] = key;
    }
    EXPECT_EQ(stable.size(), seen_stable.size());
    if (appending) {
      EXPECT_EQ(64, most_buckets);
      iter.reset();
      ASSERT_EQ(Status::SUCCESS, dbm.Set("after", "x"));
      EXPECT_GT(NumBuckets(&dbm), 64);
    } else {
      EXPECT_GT(most_buckets, 64);
      ASSERT_EQ(Status::SUCCESS, dbm.Set("after", "x"));
    }
    EXPECT_EQ(static_cast<int64_t>(stable.size()) + added + 1, dbm.CountSimple());
    for (const auto& [k, v] : stable) {
      std::string got;
      ASSERT_EQ(Status::SUCCESS, dbm.Get(k, &got));
      EXPECT_EQ(v, got);
    }
    if (appending) {
      // An iterator destroyed in the middle of a walk no longer holds growth off.
      const int64_t buckets = NumBuckets(&dbm);
      {
        auto left = dbm.MakeIterator();
        ASSERT_EQ(Status::SUCCESS, left->First());
      }
      for (int i = 0; i <= buckets; i++) {
        ASSERT_EQ(Status::SUCCESS, dbm.Set("m" + std::to_string(i), "y"));
      }
      EXPECT_GT(NumBuckets(&dbm), buckets);
    }
  }
}

// Writers on their own keys, readers of stable keys and an iterator, from
// threads, while the database grows from one bucket: every read finds its
// record, every walk sees each stable record once, and the end state is the
// writers' exactly.
TEST(HashDBMGrowthTest, GrowthUnderConcurrentThreads) {
  for (const auto& c : kGrowthCases) {
    SCOPED_TRACE(std::string(c.update_mode) + "/" + c.file);
    TempDir dir;
    const std::string path = dir.Path("threads.mvh");
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE,
                                                {{"num_buckets", "1"},
                                                 {"bucket_growth", "on"},
                                                 {"update_mode", c.update_mode},
                                                 {"file", c.file}}));
    constexpr int kStable = 200;
    for (int i = 0; i < kStable; i++) {
      ASSERT_EQ(Status::SUCCESS, dbm.Set("stable" + std::to_string(i), std::to_string(i)));
    }
    constexpr int kWriters = 2;
    std::vector<std::map<std::string, std::string>> written(kWriters);
    std::atomic<int> writers_left(kWriters);
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; w++) {
      threads.emplace_back([&, w] {
        std::mt19937 rng(w + 1);
        auto& mine = written[w];
        for (int i = 0; i < 1500; i++) {
          const std::string key = "w" + std::to_string(w) + "-" + std::to_string(rng() % 1200);
          if (rng() % 4 == 0) {
            const Status status = dbm.Remove(key);
            if (status != (mine.erase(key) > 0 ? Status::SUCCESS : Status::NOT_FOUND_ERROR)) {
              failures++;
            }
          } else {
            const std::string value = std::to_string(i);
            if (!dbm.Set(key, value).IsOK()) failures++;
            mine[key] = value;
          }
        }
        writers_left--;
      });
    }
    threads.emplace_back([&] {
      std::mt19937 rng(99);
      while (writers_left > 0) {
        const int i = rng() % kStable;
        std::string value;
        if (!dbm.Get("stable" + std::to_string(i), &value).IsOK() ||
            value != std::to_string(i)) {
          failures++;
        }
      }
    });
    threads.emplace_back([&] {
      do {
        std::map<std::string, int> seen;
        auto iter = dbm.MakeIterator();
        if (!iter->First().IsOK()) failures++;
        std::string key, value;
        while (true) {
          const Status status = iter->Step(&key, &value);
          if (status == Status::NOT_FOUND_ERROR) break;
          if (!status.IsOK()) {
            failures++;
            break;
          }
          if (key.rfind("stable", 0) == 0) seen[key]++;
        }
        if (seen.size() != kStable) failures++;
        for (const auto& entry : seen) {
          if (entry.second != 1) failures++;
        }
      } while (writers_left > 0);
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    std::map<std::string, std::string> expected;
    for (int i = 0; i < kStable; i++) {
      expected["stable" + std::to_string(i)] = std::to_string(i);
    }
    for (const auto& mine : written) expected.insert(mine.begin(), mine.end());
    // A growth put off by the walks comes with the next write.
    ASSERT_EQ(Status::SUCCESS, dbm.Set("final", "x"));
    expected["final"] = "x";
    EXPECT_GE(NumBuckets(&dbm), static_cast<int64_t>(expected.size()));
    ExpectExactly(&dbm, expected);
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
    ASSERT_EQ(Status::SUCCESS, dbm.Open(path, false));
    ExpectExactly(&dbm, expected);
  }
}

}  // namespace
}  // namespace morvel
