// Tests of HashDBM: record operations in both update modes and over every file
// class, persistence, rebuilding, concurrency, iterators, damaged files and
// crashes (a child process killed while it writes).

#include "morvel/hash_dbm.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "morvel/file.h"
#include "morvel/hash_util.h"
#include "morvel/lib_common.h"
#include "../src/hash_crc.h"
#include "hash_dbm_test_util.h"

namespace morvel {

namespace {

using namespace hash_test;

// A value of a length that crosses the record read prefix and the stack buffer.
std::string MakeValue(std::mt19937& rng, const std::string& tag) {
  static const size_t kLengths[] = {0, 1, 7, 20, 50, 63, 64, 65, 130, 600, 3000};
  const size_t len = kLengths[rng() % (sizeof(kLengths) / sizeof(kLengths[0]))];
  std::string value = tag;
  while (value.size() < len) value.push_back(static_cast<char>('a' + rng() % 26));
  return value;
}

struct ModeParam {
  std::string update_mode;
  std::string file_class;
};

std::ostream& operator<<(std::ostream& os, const ModeParam& param) {
  return os << param.update_mode << "/" << param.file_class;
}

class HashDBMModeTest : public ::testing::TestWithParam<ModeParam> {
 protected:
  ParamMap Params(int64_t num_buckets = 7) const {
    return {{"update_mode", GetParam().update_mode},
            {"file", GetParam().file_class},
            {"num_buckets", std::to_string(num_buckets)}};
  }
  TempDir dir_;
};

TEST_P(HashDBMModeTest, RecordOperations) {
  const std::string path = dir_.Path("basic.mvh");
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, Params()));
  EXPECT_TRUE(dbm.IsOpen());
  EXPECT_TRUE(dbm.IsWritable());
  EXPECT_TRUE(dbm.IsHealthy());
  EXPECT_FALSE(dbm.IsOrdered());
  EXPECT_EQ(Status::PRECONDITION_ERROR, dbm.OpenAdvanced(path, true, 0, Params()));

  std::string value;
  EXPECT_EQ(Status::NOT_FOUND_ERROR, dbm.Get("a", &value));
  EXPECT_EQ(Status::SUCCESS, dbm.Set("a", "1"));
  EXPECT_EQ(Status::SUCCESS, dbm.Set("", "empty key"));
  EXPECT_EQ(Status::SUCCESS, dbm.Set("b", ""));
  EXPECT_EQ(Status::DUPLICATION_ERROR, dbm.Set("a", "2", false));
  EXPECT_EQ(Status::SUCCESS, dbm.Get("a", &value));
  EXPECT_EQ("1", value);
  EXPECT_EQ(Status::SUCCESS, dbm.Get("", &value));
  EXPECT_EQ("empty key", value);
  EXPECT_EQ(Status::SUCCESS, dbm.Get("b", &value));
  EXPECT_EQ("", value);
  EXPECT_EQ(3, dbm.CountSimple());

  // Growing and shrinking values: in place, moved, and moved back into freed space.
  const std::string big(5000, 'x');
  EXPECT_EQ(Status::SUCCESS, dbm.Set("a", big));
  EXPECT_EQ(Status::SUCCESS, dbm.Get("a", &value));
  EXPECT_EQ(big, value);
  EXPECT_EQ(Status::SUCCESS, dbm.Set("a", "short"));
  EXPECT_EQ(Status::SUCCESS, dbm.Get("a", &value));
  EXPECT_EQ("short", value);
  EXPECT_EQ(Status::SUCCESS, dbm.Append("a", "er", "-"));
  EXPECT_EQ(Status::SUCCESS, dbm.Get("a", &value));
  EXPECT_EQ("short-er", value);
  EXPECT_EQ(3, dbm.CountSimple());

  std::string old;
  EXPECT_EQ(Status::SUCCESS, dbm.Remove("a", &old));
  EXPECT_EQ("short-er", old);
  EXPECT_EQ(Status::NOT_FOUND_ERROR, dbm.Remove("a"));
  EXPECT_EQ(Status::NOT_FOUND_ERROR, dbm.Get("a"));
  EXPECT_EQ(2, dbm.CountSimple());
  EXPECT_EQ(Status::SUCCESS, dbm.Set("a", "again"));
  EXPECT_EQ(Status::SUCCESS, dbm.Get("a", &value));
  EXPECT_EQ("again", value);

  int64_t current = 0;
  EXPECT_EQ(Status::SUCCESS, dbm.Increment("n", 5, &current, 100));
  EXPECT_EQ(105, current);
  EXPECT_EQ(Status::SUCCESS, dbm.CompareExchange("a", "again", "swapped"));
  EXPECT_EQ(Status::INFEASIBLE_ERROR, dbm.CompareExchange("a", "again", "no"));
  EXPECT_EQ(Status::SUCCESS, dbm.Get("a", &value));
  EXPECT_EQ("swapped", value);

  // A read-only processor that answers a change changes nothing.
  EXPECT_EQ(Status::PRECONDITION_ERROR,
            dbm.Process("a", [](std::string_view, std::string_view) {
              return std::string_view("changed");
            }, false));
  EXPECT_EQ(Status::PRECONDITION_ERROR,
            dbm.Process("zz", [](std::string_view, std::string_view) {
              return DBM::RecordProcessor::REMOVE;
            }, false));
  EXPECT_EQ(Status::SUCCESS, dbm.Get("a", &value));
  EXPECT_EQ("swapped", value);

  // ProcessFirst and PopFirst drain the database.
  std::map<std::string, std::string> expected = Dump(&dbm);
  EXPECT_EQ(4u, expected.size());
  while (true) {
    std::string key;
    const Status status = dbm.PopFirst(&key, &value);
    if (status == Status::NOT_FOUND_ERROR) break;
    ASSERT_EQ(Status::SUCCESS, status);
    ASSERT_EQ(1u, expected.count(key));
    EXPECT_EQ(expected[key], value);
    expected.erase(key);
  }
  EXPECT_TRUE(expected.empty());
  EXPECT_EQ(0, dbm.CountSimple());

  EXPECT_EQ(Status::SUCCESS, dbm.Close());
  EXPECT_EQ(Status::PRECONDITION_ERROR, dbm.Get("a"));
  EXPECT_EQ(Status::PRECONDITION_ERROR, dbm.Close());
}

// Random operations checked against a map, through reopening and rebuilding.
TEST_P(HashDBMModeTest, RandomOperationsMatchModel) {
  const std::string path = dir_.Path("random.mvh");
  std::mt19937 rng(1234);
  std::map<std::string, std::string> model;
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, Params(13)));
  for (int i = 0; i < 3000; i++) {
    const std::string key = "key" + std::to_string(rng() % 300);
    const int op = rng() % 10;
    if (op < 6) {
      const std::string value = MakeValue(rng, std::to_string(i) + ":");
      ASSERT_EQ(Status::SUCCESS, dbm.Set(key, value));
      model[key] = value;
    } else if (op < 8) {
      const Status status = dbm.Remove(key);
      ASSERT_EQ(model.erase(key) > 0 ? Status::SUCCESS : Status::NOT_FOUND_ERROR,
                status.GetCode());
    } else {
      ASSERT_EQ(Status::SUCCESS, dbm.Append(key, "+", ","));
      auto it = model.find(key);
      if (it == model.end()) {
        model[key] = "+";
      } else {
        it->second += ",+";
      }
    }
    if (i % 500 == 0) {
      std::string value;
      for (const auto& record : model) {
        ASSERT_EQ(Status::SUCCESS, dbm.Get(record.first, &value)) << record.first;
        ASSERT_EQ(record.second, value);
      }
    }
  }
  EXPECT_EQ(static_cast<int64_t>(model.size()), dbm.CountSimple());
  EXPECT_EQ(model, Dump(&dbm));
  EXPECT_EQ(Status::SUCCESS, dbm.Close());

  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, false, 0, Params()));
  EXPECT_TRUE(dbm.IsHealthy());
  EXPECT_FALSE(dbm.IsWritable());
  EXPECT_EQ(static_cast<int64_t>(model.size()), dbm.CountSimple());
  EXPECT_EQ(model, Dump(&dbm));
  EXPECT_EQ(Status::PRECONDITION_ERROR, dbm.Set("x", "y"));
  EXPECT_EQ(Status::PRECONDITION_ERROR, dbm.Rebuild());
  EXPECT_EQ(Status::SUCCESS, dbm.Close());

  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, 0, Params()));
  EXPECT_EQ(Status::SUCCESS, dbm.Rebuild());
  EXPECT_EQ(model, Dump(&dbm));
  EXPECT_EQ(Status::SUCCESS, dbm.Close());
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, 0, Params()));
  EXPECT_EQ(static_cast<int64_t>(model.size()), dbm.CountSimple());
  EXPECT_EQ(model, Dump(&dbm));
  EXPECT_EQ(Status::SUCCESS, dbm.Close());
}

// The direct Get, Set and Remove agree with the default bodies over Process:
// the same statuses, old values and resulting records, on small buckets so
// that keys share chains and values move, shrink and reuse freed blocks.
TEST_P(HashDBMModeTest, DirectRecordCallsMatchProcessBodies) {
  HashDBM direct;
  HashDBM generic;
  ASSERT_EQ(Status::SUCCESS, direct.OpenAdvanced(dir_.Path("direct.mvh"), true,
                                                 File::OPEN_TRUNCATE, Params(5)));
  ASSERT_EQ(Status::SUCCESS, generic.OpenAdvanced(dir_.Path("generic.mvh"), true,
                                                  File::OPEN_TRUNCATE, Params(5)));
  DBM& base = generic;
  std::mt19937 rng(99);
  for (int i = 0; i < 2000; i++) {
    const std::string key = "k" + std::to_string(rng() % 40);
    const int op = rng() % 6;
    // Out-values start different so that an untouched one shows.
    std::string direct_out = "unset";
    std::string generic_out = "unset";
    Status direct_status;
    Status generic_status;
    if (op < 3) {
      const std::string value = MakeValue(rng, std::to_string(i) + ":");
      const bool overwrite = op != 0;
      direct_status = direct.Set(key, value, overwrite, &direct_out);
      generic_status = base.DBM::Set(key, value, overwrite, &generic_out);
    } else if (op == 3) {
      direct_status = direct.Remove(key, &direct_out);
      generic_status = base.DBM::Remove(key, &generic_out);
    } else if (op == 4) {
      direct_status = direct.Get(key, &direct_out);
      generic_status = base.DBM::Get(key, &generic_out);
    } else {
      direct_status = direct.Get(key);
      generic_status = base.DBM::Get(key);
    }
    ASSERT_EQ(generic_status.GetCode(), direct_status.GetCode()) << i << " " << key;
    ASSERT_EQ(generic_out, direct_out) << i << " " << key;
  }
  EXPECT_EQ(generic.CountSimple(), direct.CountSimple());
  EXPECT_EQ(Dump(&generic), Dump(&direct));

  // Statuses of a read-only and of a closed database.
  ASSERT_EQ(Status::SUCCESS, direct.Close());
  EXPECT_EQ(Status::PRECONDITION_ERROR, direct.Get("k1"));
  EXPECT_EQ(Status::PRECONDITION_ERROR, direct.Set("k1", "v"));
  EXPECT_EQ(Status::PRECONDITION_ERROR, direct.Remove("k1"));
  ASSERT_EQ(Status::SUCCESS, direct.OpenAdvanced(dir_.Path("direct.mvh"), false, 0, Params()));
  EXPECT_EQ(Status::PRECONDITION_ERROR, direct.Set("k1", "v"));
  EXPECT_EQ(Status::PRECONDITION_ERROR, direct.Remove("k1"));
  EXPECT_EQ(Dump(&generic), Dump(&direct));
  EXPECT_EQ(Status::SUCCESS, direct.Close());
  EXPECT_EQ(Status::SUCCESS, generic.Close());
}

TEST_P(HashDBMModeTest, RebuildShrinksAndRetunes) {
  const std::string path = dir_.Path("rebuild.mvh");
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, Params(101)));
  for (int i = 0; i < 2000; i++) {
    ASSERT_EQ(Status::SUCCESS, dbm.Set("k" + std::to_string(i), std::string(100, 'v')));
  }
  EXPECT_TRUE(dbm.ShouldBeRebuiltSimple());  // load factor above 1
  for (int i = 0; i < 2000; i++) {
    if (i % 10 != 0) {
      ASSERT_EQ(Status::SUCCESS, dbm.Remove("k" + std::to_string(i)));
    }
  }
  EXPECT_TRUE(dbm.ShouldBeRebuiltSimple());
  const int64_t size_before = dbm.GetFileSizeSimple();
  const std::string other_mode =
      GetParam().update_mode == "in_place" ? "appending" : "in_place";
  ASSERT_EQ(Status::SUCCESS, dbm.RebuildAdvanced({{"update_mode", other_mode},
                                                  {"align_pow", "4"}}));
  EXPECT_LT(dbm.GetFileSizeSimple(), size_before / 4);
  EXPECT_FALSE(dbm.ShouldBeRebuiltSimple());
  EXPECT_EQ(other_mode, InspectValue(&dbm, "update_mode"));
  EXPECT_EQ("4", InspectValue(&dbm, "align_pow"));
  EXPECT_EQ(200, dbm.CountSimple());
  // The bucket count is fitted to the records.
  EXPECT_GE(std::stoll(InspectValue(&dbm, "num_buckets")), 200);
  EXPECT_LT(std::stoll(InspectValue(&dbm, "num_buckets")), 2000);
  EXPECT_EQ(Status::SUCCESS, dbm.Set("after", "rebuild"));
  EXPECT_EQ(Status::SUCCESS, dbm.Close());
  EXPECT_NE(0, access((path + ".tmp.rebuild").c_str(), F_OK));

  ASSERT_EQ(Status::SUCCESS, dbm.Open(path, false));
  EXPECT_EQ(201, dbm.CountSimple());
  std::string value;
  for (int i = 0; i < 2000; i += 10) {
    ASSERT_EQ(Status::SUCCESS, dbm.Get("k" + std::to_string(i), &value));
    EXPECT_EQ(std::string(100, 'v'), value);
  }
  EXPECT_EQ(Status::NOT_FOUND_ERROR, dbm.Get("k1"));
  EXPECT_EQ(Status::SUCCESS, dbm.Close());
}

// Writers on disjoint keys and on shared counters, readers at the same time.
TEST_P(HashDBMModeTest, ConcurrentWritersAndReaders) {
  const std::string path = dir_.Path("threads.mvh");
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, Params(97)));
  constexpr int kThreads = 4;
  constexpr int kRecords = 500;
  std::atomic<bool> failed(false);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < kRecords; i++) {
        const std::string key = std::to_string(t) + ":" + std::to_string(i);
        if (!dbm.Set(key, MakeValue(rng, key + "=")).IsOK()) failed = true;
        if (!dbm.Increment("counter" + std::to_string(i % 7), 1).IsOK()) failed = true;
        if (i % 3 == 0 && !dbm.Remove(key).IsOK()) failed = true;
        // Readers: the records of another thread are either absent or whole.
        const std::string other = std::to_string((t + 1) % kThreads) + ":" +
                                  std::to_string(rng() % kRecords);
        std::string value;
        const Status status = dbm.Get(other, &value);
        if (status.IsOK() ? value.compare(0, other.size() + 1, other + "=") != 0
                          : status != Status::NOT_FOUND_ERROR) {
          failed = true;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(failed);
  int64_t total = 0;
  for (int c = 0; c < 7; c++) {
    int64_t current = 0;
    ASSERT_EQ(Status::SUCCESS, dbm.Increment("counter" + std::to_string(c), 0, &current));
    total += current;
  }
  EXPECT_EQ(kThreads * kRecords, total);
  const int64_t expected_count = kThreads * (kRecords - (kRecords + 2) / 3) + 7;
  EXPECT_EQ(expected_count, dbm.CountSimple());
  EXPECT_EQ(expected_count, static_cast<int64_t>(Dump(&dbm).size()));
  EXPECT_EQ(Status::SUCCESS, dbm.Close());
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, false, 0, Params()));
  EXPECT_EQ(expected_count, static_cast<int64_t>(Dump(&dbm).size()));
  EXPECT_EQ(Status::SUCCESS, dbm.Close());
}

// Whole-file operations (rebuilding with a new bucket count, synchronizing)
// while other threads read and write: nothing is lost or misplaced.
TEST_P(HashDBMModeTest, RebuildWhileOthersWrite) {
  const std::string path = dir_.Path("rebuild-threads.mvh");
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, Params(11)));
  std::atomic<bool> failed(false);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1500; i++) {
        const std::string key = std::to_string(t) + ":" + std::to_string(i);
        std::string value;
        if (!dbm.Set(key, key).IsOK() || !dbm.Get(key, &value).IsOK() || value != key) {
          failed = true;
        }
        if (i % 2 == 1 && !dbm.Remove(key).IsOK()) failed = true;
        std::map<std::string, std::string> got;
        if (i % 50 == 0 && dbm.GetMulti({key}, &got) != Status::NOT_FOUND_ERROR &&
            got[key] != key) {
          failed = true;
        }
      }
    });
  }
  for (int round = 0; round < 6; round++) {
    EXPECT_EQ(Status::SUCCESS, dbm.RebuildAdvanced({{"num_buckets", std::to_string(7 + round * 50)}}));
    EXPECT_EQ(Status::SUCCESS, dbm.Synchronize(false));
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(1500, dbm.CountSimple());
  const auto records = Dump(&dbm);
  EXPECT_EQ(1500u, records.size());
  for (const auto& record : records) EXPECT_EQ(record.first, record.second);
  EXPECT_EQ(Status::SUCCESS, dbm.Close());
}

// ProcessMulti is atomic: transfers between accounts keep the total at every
// moment a reader looks.
TEST_P(HashDBMModeTest, ProcessMultiIsAtomic) {
  const std::string path = dir_.Path("multi.mvh");
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, Params(1009)));
  constexpr int kAccounts = 20;
  for (int i = 0; i < kAccounts; i++) {
    ASSERT_EQ(Status::SUCCESS, dbm.Set("acct" + std::to_string(i), "100"));
  }
  std::atomic<bool> failed(false);
  std::atomic<bool> done(false);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; t++) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t + 10);
      for (int i = 0; i < 2000; i++) {
        const std::string from = "acct" + std::to_string(rng() % kAccounts);
        std::string to = "acct" + std::to_string(rng() % kAccounts);
        if (to == from) continue;
        std::string from_value, to_value;
        DBM::RecordProcessorLambda take([&](std::string_view, std::string_view value) {
          from_value = std::to_string(std::stoi(std::string(value)) - 1);
          return std::string_view(from_value);
        });
        DBM::RecordProcessorLambda give([&](std::string_view, std::string_view value) {
          to_value = std::to_string(std::stoi(std::string(value)) + 1);
          return std::string_view(to_value);
        });
        if (!dbm.ProcessMulti({{from, &take}, {to, &give}}, true).IsOK()) failed = true;
      }
    });
  }
  threads.emplace_back([&] {
    std::vector<std::string> keys;
    for (int i = 0; i < kAccounts; i++) keys.push_back("acct" + std::to_string(i));
    while (!done) {
      int64_t sum = 0;
      std::vector<DBM::RecordProcessorLambda> procs;
      procs.reserve(kAccounts);
      std::vector<std::pair<std::string_view, DBM::RecordProcessor*>> pairs;
      for (const auto& key : keys) {
        procs.emplace_back([&](std::string_view, std::string_view value) {
          sum += std::stoi(std::string(value));
          return DBM::RecordProcessor::NOOP;
        });
        pairs.emplace_back(key, &procs.back());
      }
      if (!dbm.ProcessMulti(pairs, false).IsOK() || sum != kAccounts * 100) failed = true;
    }
  });
  threads[0].join();
  threads[1].join();
  done = true;
  threads[2].join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(Status::SUCCESS, dbm.Close());
}

// An iterator walks while other threads add and remove other records: every
// record that stays put is visited exactly once.
TEST_P(HashDBMModeTest, IteratorUnderConcurrentWriters) {
  const std::string path = dir_.Path("iter.mvh");
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, Params(61)));
  std::set<std::string> stable;
  for (int i = 0; i < 500; i++) {
    const std::string key = "stable" + std::to_string(i);
    ASSERT_EQ(Status::SUCCESS, dbm.Set(key, key));
    stable.insert(key);
  }
  std::atomic<bool> done(false);
  std::atomic<bool> failed(false);
  std::thread writer([&] {
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; i++) {
      const std::string key = "moving" + std::to_string(rng() % 300);
      const Status status = rng() % 2 == 0 ? dbm.Set(key, MakeValue(rng, "m")) : dbm.Remove(key);
      if (!status.IsOK() && status != Status::NOT_FOUND_ERROR) failed = true;
    }
    done = true;
  });
  for (int round = 0; round < 2 || !done; round++) {
    std::map<std::string, int> seen;
    auto iter = dbm.MakeIterator();
    ASSERT_EQ(Status::SUCCESS, iter->First());
    std::string key, value;
    while (true) {
      const Status status = iter->Step(&key, &value);
      if (status == Status::NOT_FOUND_ERROR) break;
      ASSERT_EQ(Status::SUCCESS, status);
      if (key.rfind("stable", 0) == 0) {
        EXPECT_EQ(key, value);
        seen[key]++;
      }
    }
    EXPECT_EQ(stable.size(), seen.size());
    for (const auto& entry : seen) EXPECT_EQ(1, entry.second) << entry.first;
  }
  writer.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(Status::SUCCESS, dbm.Close());
}

const ModeParam kModeParams[] = {
    {"in_place", "MemoryMapParallelFile"},   {"appending", "MemoryMapParallelFile"},
    {"in_place", "PositionalParallelFile"},  {"appending", "PositionalParallelFile"},
    {"in_place", "PositionalAtomicFile"},    {"appending", "MemoryMapAtomicFile"},
    {"in_place", "StdFile"},                 {"appending", "StdFile"},
};

INSTANTIATE_TEST_SUITE_P(Modes, HashDBMModeTest, ::testing::ValuesIn(kModeParams));

class HashDBMTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(HashDBMTest, IteratorMovesAndEdits) {
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS,
            dbm.OpenAdvanced(dir_.Path("it.mvh"), true, 0, {{"num_buckets", "5"}}));
  auto iter = dbm.MakeIterator();
  EXPECT_EQ(Status::NOT_FOUND_ERROR, iter->Get());
  EXPECT_EQ(Status::SUCCESS, iter->First());  // empty: at the end
  EXPECT_EQ(Status::NOT_FOUND_ERROR, iter->Get());
  EXPECT_EQ(Status::NOT_FOUND_ERROR, iter->Next());
  for (int i = 0; i < 30; i++) {
    ASSERT_EQ(Status::SUCCESS, dbm.Set("k" + std::to_string(i), std::to_string(i)));
  }
  EXPECT_EQ(Status::NOT_IMPLEMENTED_ERROR, iter->Last());
  EXPECT_EQ(Status::NOT_IMPLEMENTED_ERROR, iter->Previous());
  EXPECT_EQ(Status::NOT_IMPLEMENTED_ERROR, iter->JumpLower("k1"));
  EXPECT_EQ(Status::NOT_IMPLEMENTED_ERROR, iter->JumpUpper("k1"));
  EXPECT_EQ(Status::NOT_FOUND_ERROR, iter->Jump("missing"));
  ASSERT_EQ(Status::SUCCESS, iter->Jump("k17"));
  std::string key, value;
  EXPECT_EQ(Status::SUCCESS, iter->Get(&key, &value));
  EXPECT_EQ("k17", key);
  EXPECT_EQ("17", value);
  EXPECT_EQ(Status::SUCCESS, iter->Set("seventeen"));
  EXPECT_EQ(Status::SUCCESS, dbm.Get("k17", &value));
  EXPECT_EQ("seventeen", value);

  // Removing every even record through the iterator leaves it on the next one.
  ASSERT_EQ(Status::SUCCESS, iter->First());
  int visited = 0;
  while (iter->Get(&key).IsOK()) {
    visited++;
    if (std::stoi(key.substr(1)) % 2 == 0) {
      ASSERT_EQ(Status::SUCCESS, iter->Remove());
    } else {
      ASSERT_EQ(Status::SUCCESS, iter->Next());
    }
  }
  EXPECT_EQ(30, visited);
  EXPECT_EQ(15, dbm.CountSimple());

  // A record removed behind the iterator's back is skipped.
  ASSERT_EQ(Status::SUCCESS, iter->Jump("k1"));
  ASSERT_EQ(Status::SUCCESS, dbm.Remove("k1"));
  EXPECT_EQ(Status::SUCCESS, iter->Get(&key));
  EXPECT_NE("k1", key);

  EXPECT_EQ(Status::SUCCESS, dbm.Close());
  EXPECT_EQ(Status::PRECONDITION_ERROR, iter->First());
  EXPECT_EQ(Status::PRECONDITION_ERROR, iter->Next());
}

// A processor that throws must not leave its stripe locked: the next call on
// the same thread failed with EDEADLK, and one on another thread hung.
TEST_F(HashDBMTest, ThrowingProcessorReleasesItsLocks) {
  struct Thrower : DBM::RecordProcessor {
    std::string_view ProcessFull(std::string_view, std::string_view) override {
      throw std::runtime_error("processor failed");
    }
    std::string_view ProcessEmpty(std::string_view) override {
      throw std::runtime_error("processor failed");
    }
  };
  using Call = std::function<void(HashDBM*, Thrower*)>;
  const std::vector<std::pair<std::string, Call>> calls = {
      {"Process", [](HashDBM* dbm, Thrower* proc) { dbm->Process("k", proc, true); }},
      {"ProcessMulti",
       [](HashDBM* dbm, Thrower* proc) {
         dbm->ProcessMulti({{"k", proc}, {"other", proc}}, true);
       }},
      {"ProcessFirst", [](HashDBM* dbm, Thrower* proc) { dbm->ProcessFirst(proc, true); }},
      {"ProcessEach", [](HashDBM* dbm, Thrower* proc) { dbm->ProcessEach(proc, true); }},
      {"Iterator::Process",
       [](HashDBM* dbm, Thrower* proc) {
         auto iter = dbm->MakeIterator();
         if (iter->Jump("k").IsOK()) iter->Process(proc, true);
       }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(dir_.Path(name + ".mvh"), true,
                                                File::OPEN_TRUNCATE, {{"num_buckets", "7"}}));
    ASSERT_EQ(Status::SUCCESS, dbm.Set("k", "v"));
    Thrower thrower;
    EXPECT_THROW(call(&dbm, &thrower), std::runtime_error);
    // The same thread again, then another thread, then a whole-file operation.
    Status status;
    ASSERT_NO_THROW(status = dbm.Set("k", "after"));
    EXPECT_EQ(Status::SUCCESS, status);
    std::thread other([&] { status = dbm.Set("other", "x"); });
    other.join();
    EXPECT_EQ(Status::SUCCESS, status);
    EXPECT_EQ(Status::SUCCESS, dbm.Synchronize(false));
    std::string value;
    EXPECT_EQ(Status::SUCCESS, dbm.Get("k", &value));
    EXPECT_EQ("after", value);
    EXPECT_EQ(Status::SUCCESS, dbm.Close());
  }
}

TEST_F(HashDBMTest, WholeFileOperations) {
  const std::string path = dir_.Path("whole.mvh");
  HashDBM dbm;
  const double before = GetWallTime();
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, 0, {{"num_buckets", "31"}}));
  for (int i = 0; i < 100; i++) {
    ASSERT_EQ(Status::SUCCESS, dbm.Set("k" + std::to_string(i), "v" + std::to_string(i)));
  }
  double timestamp = 0;
  ASSERT_EQ(Status::SUCCESS, dbm.Synchronize(true));
  ASSERT_EQ(Status::SUCCESS, dbm.GetTimestamp(&timestamp));
  EXPECT_GE(timestamp, before - 1);
  EXPECT_LE(timestamp, GetWallTime() + 1);
  std::string got_path;
  EXPECT_EQ(Status::SUCCESS, dbm.GetFilePath(&got_path));
  EXPECT_EQ(path, got_path);
  EXPECT_GT(dbm.GetFileSizeSimple(), 128 + 31 * 4);

  // Synchronize runs the file processor with the path.
  struct Recorder : DBM::FileProcessor {
    void Process(const std::string& p) override { seen = p; }
    std::string seen;
  } recorder;
  EXPECT_EQ(Status::SUCCESS, dbm.Synchronize(false, &recorder));
  EXPECT_EQ(path, recorder.seen);

  const auto inspect = dbm.Inspect();
  std::map<std::string, std::string> info(inspect.begin(), inspect.end());
  EXPECT_EQ("HashDBM", info["class"]);
  EXPECT_EQ(path, info["path"]);
  EXPECT_EQ("100", info["num_records"]);
  EXPECT_EQ("true", info["healthy"]);
  EXPECT_EQ("31", info["num_buckets"]);
  EXPECT_EQ("in_place", info["update_mode"]);
  EXPECT_EQ("crc32", info["record_crc_mode"]);

  // A copy taken while the database is open and changing opens healthy.
  ASSERT_EQ(Status::SUCCESS, dbm.Set("k0", "changed"));
  const std::string copy_path = dir_.Path("copy.mvh");
  EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR, dbm.CopyFileData(path));
  ASSERT_EQ(Status::SUCCESS, dbm.CopyFileData(copy_path));
  ASSERT_EQ(Status::SUCCESS, dbm.Set("k1", "after copy"));
  HashDBM copy;
  ASSERT_EQ(Status::SUCCESS, copy.Open(copy_path, false));
  EXPECT_TRUE(copy.IsHealthy());
  EXPECT_EQ(100, copy.CountSimple());
  std::string value;
  EXPECT_EQ(Status::SUCCESS, copy.Get("k0", &value));
  EXPECT_EQ("changed", value);
  EXPECT_EQ(Status::SUCCESS, copy.Get("k1", &value));
  EXPECT_EQ("v1", value);
  EXPECT_EQ(Status::SUCCESS, copy.Close());

  ASSERT_EQ(Status::SUCCESS, dbm.Clear());
  EXPECT_EQ(0, dbm.CountSimple());
  EXPECT_EQ(Status::NOT_FOUND_ERROR, dbm.Get("k5"));
  EXPECT_TRUE(Dump(&dbm).empty());
  ASSERT_EQ(Status::SUCCESS, dbm.Set("new", "one"));
  const int64_t size = dbm.GetFileSizeSimple();
  EXPECT_EQ(Status::SUCCESS, dbm.Close());
  EXPECT_EQ(size, static_cast<int64_t>(ReadWholeFile(path).size()));
  ASSERT_EQ(Status::SUCCESS, dbm.Open(path, false));
  EXPECT_EQ(1, dbm.CountSimple());
  EXPECT_EQ(size, dbm.GetFileSizeSimple());
  EXPECT_EQ(Status::SUCCESS, dbm.Close());

  EXPECT_EQ(Status::NOT_FOUND_ERROR, dbm.Open(dir_.Path("missing.mvh"), false));
  EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR,
            dbm.OpenAdvanced(dir_.Path("bad.mvh"), true, 0, {{"update_mode", "sideways"}}));
  EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR,
            dbm.OpenAdvanced(dir_.Path("bad.mvh"), true, 0, {{"offset_width", "9"}}));
  EXPECT_FALSE(dbm.IsOpen());
}

TEST_F(HashDBMTest, TuningPersistsAndWideOffsets) {
  const std::string path = dir_.Path("tuning.mvh");
  struct Case {
    std::string align_pow, offset_width, crc;
  };
  const Case cases[] = {{"0", "4", "none"}, {"2", "5", "crc8"}, {"10", "6", "crc16"}};
  for (const auto& c : cases) {
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS,
              dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE,
                               {{"num_buckets", "3"}, {"align_pow", c.align_pow},
                                {"offset_width", c.offset_width}, {"record_crc_mode", c.crc}}));
    for (int i = 0; i < 50; i++) {
      ASSERT_EQ(Status::SUCCESS, dbm.Set(std::to_string(i), std::string(i * 3, 'z')));
    }
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
    // Tuning given at a later open does not override what the file holds.
    ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, false, 0, {{"align_pow", "5"}}));
    EXPECT_EQ(c.align_pow, InspectValue(&dbm, "align_pow"));
    EXPECT_EQ(c.offset_width, InspectValue(&dbm, "offset_width"));
    EXPECT_EQ(c.crc, InspectValue(&dbm, "record_crc_mode"));
    std::string value;
    for (int i = 0; i < 50; i++) {
      ASSERT_EQ(Status::SUCCESS, dbm.Get(std::to_string(i), &value));
      EXPECT_EQ(std::string(i * 3, 'z'), value);
    }
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
  }
}

// The record checksum computed eight bytes at a time matches the plain CRC-32
// at every length and alignment.
TEST_F(HashDBMTest, FastChecksumMatchesCRC32) {
  std::mt19937 rng(3);
  std::string data(300, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  for (size_t begin = 0; begin < 9; begin++) {
    for (size_t size = 0; begin + size <= data.size(); size += 1 + size / 8) {
      ASSERT_EQ(HashCRC32(data.data() + begin, size), FastCRC32(data.data() + begin, size))
          << begin << " " << size;
    }
  }
  EXPECT_EQ(0xCBF43926U, FastCRC32("123456789", 9));
}

TEST_F(HashDBMTest, FileHeadRecognition) {
  const std::string path = dir_.Path("head.mvh");
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, 0, {{"num_buckets", "3"}}));
  ASSERT_EQ(Status::SUCCESS, dbm.Close());
  const std::string data = ReadWholeFile(path);
  EXPECT_TRUE(HashDBM::IsHashDBMFileHead(data));
  EXPECT_TRUE(HashDBM::IsHashDBMFileHead(data.substr(0, 8)));
  EXPECT_FALSE(HashDBM::IsHashDBMFileHead(data.substr(0, 7)));
  EXPECT_FALSE(HashDBM::IsHashDBMFileHead("not a database file"));
  EXPECT_FALSE(HashDBM::IsHashDBMFileHead(""));
}

// A database left open (not closed) is detected, restored by default, kept as
// it is with "noop".
TEST_F(HashDBMTest, UncleanFileIsRestored) {
  for (const std::string mode : {"in_place", "appending"}) {
    const std::string path = dir_.Path("unclean-" + mode + ".mvh");
    const std::string image_path = dir_.Path("image-" + mode + ".mvh");
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE,
                                                {{"num_buckets", "17"}, {"update_mode", mode}}));
    for (int i = 0; i < 200; i++) {
      ASSERT_EQ(Status::SUCCESS, dbm.Set("k" + std::to_string(i), "v" + std::to_string(i)));
    }
    for (int i = 0; i < 200; i += 3) {
      ASSERT_EQ(Status::SUCCESS, dbm.Remove("k" + std::to_string(i)));
    }
    ASSERT_EQ(Status::SUCCESS, dbm.Set("k1", std::string(300, 'L')));
    // The bytes of a database that was never closed.
    WriteWholeFile(image_path, ReadWholeFile(path));
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
    const std::map<std::string, std::string> expected = [&] {
      HashDBM clean;
      EXPECT_EQ(Status::SUCCESS, clean.Open(path, false));
      auto records = Dump(&clean);
      clean.Close();
      return records;
    }();
    ASSERT_EQ(133u, expected.size());

    HashDBM noop;
    const std::string noop_path = dir_.Path("noop-" + mode + ".mvh");
    WriteWholeFile(noop_path, ReadWholeFile(image_path));
    ASSERT_EQ(Status::SUCCESS, noop.OpenAdvanced(noop_path, true, 0, {{"restore_mode", "noop"}}));
    EXPECT_FALSE(noop.IsHealthy());
    EXPECT_EQ("false", InspectValue(&noop, "healthy"));
    EXPECT_EQ(expected, Dump(&noop));
    // Still unclean after closing; rebuilding heals it.
    ASSERT_EQ(Status::SUCCESS, noop.Close());
    ASSERT_EQ(Status::SUCCESS, noop.OpenAdvanced(noop_path, true, 0, {{"restore_mode", "noop"}}));
    EXPECT_FALSE(noop.IsHealthy());
    ASSERT_EQ(Status::SUCCESS, noop.Rebuild());
    EXPECT_TRUE(noop.IsHealthy());
    EXPECT_EQ(expected, Dump(&noop));
    ASSERT_EQ(Status::SUCCESS, noop.Close());
    ASSERT_EQ(Status::SUCCESS, noop.Open(noop_path, false));
    EXPECT_TRUE(noop.IsHealthy());
    EXPECT_EQ(133, noop.CountSimple());
    ASSERT_EQ(Status::SUCCESS, noop.Close());

    HashDBM reader;
    ASSERT_EQ(Status::SUCCESS, reader.Open(image_path, false));
    EXPECT_FALSE(reader.IsHealthy());
    ASSERT_EQ(Status::SUCCESS, reader.Close());

    const std::string restored_path = dir_.Path("restored-" + mode + ".mvh");
    ASSERT_EQ(Status::SUCCESS,
              HashDBM::RestoreDatabase(image_path, restored_path, -1, {{"num_buckets", "7"}}));
    HashDBM restored;
    ASSERT_EQ(Status::SUCCESS, restored.Open(restored_path, false));
    EXPECT_TRUE(restored.IsHealthy());
    EXPECT_EQ("7", InspectValue(&restored, "num_buckets"));
    EXPECT_EQ(133, restored.CountSimple());
    EXPECT_EQ(expected, Dump(&restored));
    ASSERT_EQ(Status::SUCCESS, restored.Close());

    ASSERT_EQ(Status::SUCCESS, dbm.Open(image_path, true));
    EXPECT_TRUE(dbm.IsHealthy());
    EXPECT_EQ(133, dbm.CountSimple());
    EXPECT_EQ(expected, Dump(&dbm));
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
    EXPECT_NE(0, access((image_path + ".tmp.restore").c_str(), F_OK));
    EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR,
              HashDBM::RestoreDatabase(image_path, image_path, -1, {}));
  }
}

// Point-in-time restore of an appending database.
TEST_F(HashDBMTest, RestoreUpToAnOffset) {
  const std::string path = dir_.Path("pit.mvh");
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, 0,
                                              {{"num_buckets", "11"}, {"update_mode", "appending"}}));
  for (int i = 0; i < 50; i++) ASSERT_EQ(Status::SUCCESS, dbm.Set("k" + std::to_string(i), "first"));
  ASSERT_EQ(Status::SUCCESS, dbm.Remove("k0"));
  ASSERT_EQ(Status::SUCCESS, dbm.Synchronize(false));
  const int64_t middle = dbm.GetFileSizeSimple();
  for (int i = 0; i < 50; i++) ASSERT_EQ(Status::SUCCESS, dbm.Set("k" + std::to_string(i), "second"));
  ASSERT_EQ(Status::SUCCESS, dbm.Remove("k1"));
  ASSERT_EQ(Status::SUCCESS, dbm.Close());

  const std::string restored_path = dir_.Path("pit-restored.mvh");
  ASSERT_EQ(Status::SUCCESS, HashDBM::RestoreDatabase(path, restored_path, middle, {}));
  HashDBM restored;
  ASSERT_EQ(Status::SUCCESS, restored.Open(restored_path, false));
  EXPECT_EQ(49, restored.CountSimple());
  EXPECT_EQ(Status::NOT_FOUND_ERROR, restored.Get("k0"));
  std::string value;
  EXPECT_EQ(Status::SUCCESS, restored.Get("k1", &value));
  EXPECT_EQ("first", value);
  ASSERT_EQ(Status::SUCCESS, restored.Close());

  ASSERT_EQ(Status::SUCCESS, HashDBM::RestoreDatabase(path, restored_path, -1, {}));
  ASSERT_EQ(Status::SUCCESS, restored.Open(restored_path, false));
  EXPECT_EQ(49, restored.CountSimple());
  EXPECT_EQ(Status::SUCCESS, restored.Get("k0", &value));
  EXPECT_EQ("second", value);
  EXPECT_EQ(Status::NOT_FOUND_ERROR, restored.Get("k1"));
  ASSERT_EQ(Status::SUCCESS, restored.Close());
}

// Damaged files: truncated, flipped bytes, garbage appended. Each one either
// fails to open with BROKEN_DATA_ERROR or opens; what it then gives is a value
// once written for the key (a restore may fall back to an older version) or a
// failure, never a crash or a value that was never written.
TEST_F(HashDBMTest, DamagedFilesNeverCrash) {
  const std::string path = dir_.Path("good.mvh");
  std::map<std::string, std::string> records;
  std::map<std::string, std::set<std::string>> written;
  auto was_written = [&](const std::string& key, const std::string& value) {
    auto it = written.find(key);
    return it != written.end() && it->second.count(value) > 0;
  };
  for (const std::string mode : {"in_place", "appending"}) {
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE,
                                                {{"num_buckets", "13"}, {"update_mode", mode}}));
    records.clear();
    std::mt19937 rng(5);
    for (int i = 0; i < 60; i++) {
      const std::string key = "key" + std::to_string(i);
      records[key] = MakeValue(rng, key);
      written[key].insert(records[key]);
      ASSERT_EQ(Status::SUCCESS, dbm.Set(key, records[key]));
    }
    for (int i = 0; i < 60; i += 4) {
      const std::string key = "key" + std::to_string(i);
      records[key] = "updated" + std::string(i, 'u');
      written[key].insert(records[key]);
      ASSERT_EQ(Status::SUCCESS, dbm.Set(key, records[key]));
    }
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
    const std::string good = ReadWholeFile(path);
    const int64_t record_base = 128 + 13 * 4;

    struct Damage {
      std::string name;
      std::string data;
      bool keeps_all = false;  // every record must survive with its latest value
    };
    std::vector<Damage> damages;
    for (int64_t cut : {int64_t(0), int64_t(10), int64_t(127), int64_t(128), int64_t(150),
                        record_base, record_base + 5, static_cast<int64_t>(good.size()) / 2,
                        static_cast<int64_t>(good.size()) - 1}) {
      damages.push_back({"truncated at " + std::to_string(cut), good.substr(0, cut)});
    }
    std::vector<int64_t> flips = {0, 8, 9, 10, 11, 12, 17, 23, 25, 32, 41, 49, 57, 65, 73, 81,
                                  128, 131, 140, 170};
    for (int64_t off = record_base; off < record_base + 40; off++) {
      flips.push_back(off);  // every byte of the first records' heads
    }
    const int64_t step = (static_cast<int64_t>(good.size()) - record_base) / 40 + 1;
    for (int64_t off = record_base + 40; off < static_cast<int64_t>(good.size()); off += step) {
      flips.push_back(off);
    }
    for (int64_t off : flips) {
      std::string data = good;
      data[off] = static_cast<char>(data[off] ^ 0xFF);
      damages.push_back({"flipped at " + std::to_string(off), data});
    }
    std::string garbage = good;
    std::mt19937 grng(9);
    for (int i = 0; i < 3001; i++) garbage.push_back(static_cast<char>(grng()));
    damages.push_back({"garbage appended", garbage, true});
    std::string torn = good;
    torn[32] = 0;  // not cleanly closed, plus garbage
    torn += garbage.substr(good.size());
    damages.push_back({"unclean with garbage", torn, true});

    const std::string bad_path = dir_.Path("bad.mvh");
    for (const auto& damage : damages) {
      for (bool writable : {false, true}) {
        SCOPED_TRACE(mode + ", " + damage.name + (writable ? ", writable" : ", read-only"));
        WriteWholeFile(bad_path, damage.data);
        HashDBM bad;
        const Status status = bad.Open(bad_path, writable);
        if (!status.IsOK()) {
          EXPECT_EQ(Status::BROKEN_DATA_ERROR, status);
          EXPECT_FALSE(bad.IsOpen());
          continue;
        }
        for (const auto& record : records) {
          std::string value;
          if (damage.keeps_all) {
            EXPECT_EQ(Status::SUCCESS, bad.Get(record.first, &value));
            EXPECT_EQ(record.second, value);
          }
          if (bad.Get(record.first, &value).IsOK()) {
            EXPECT_TRUE(was_written(record.first, value)) << record.first;
          }
        }
        auto iter = bad.MakeIterator();
        if (iter->First().IsOK()) {
          std::string key, value;
          for (int steps = 0; steps < 1000 && iter->Step(&key, &value).IsOK(); steps++) {
            EXPECT_TRUE(was_written(key, value)) << key;
          }
        }
        bad.ProcessEach([](std::string_view, std::string_view) {
          return DBM::RecordProcessor::NOOP;
        }, false);
        if (writable) {
          bad.Set("extra", "record");
          bad.Remove("key1");
          bad.Rebuild();
        }
        bad.Close();
        // Whatever was made of it opens again.
        if (writable) {
          HashDBM again;
          if (again.Open(bad_path, false).IsOK()) {
            std::string value;
            for (const auto& record : records) {
              if (again.Get(record.first, &value).IsOK()) {
                EXPECT_TRUE(was_written(record.first, value)) << record.first;
              }
            }
            again.Close();
          }
        }
      }
    }
  }
}

// The operations of a crash-test child: the same sequence in the child and in
// the parent's model.
struct CrashOp {
  bool remove = false;
  std::string key;
  std::string value;
};

CrashOp MakeCrashOp(std::mt19937& rng, int64_t index) {
  CrashOp op;
  op.key = "k" + std::to_string(rng() % 150);
  op.remove = rng() % 5 == 0;
  if (!op.remove) {
    op.value = "v" + std::to_string(index) + ":" + std::string(rng() % 200, 'a' + index % 26);
  }
  return op;
}

// The most operations of one child; it closes the database after them.
constexpr int64_t kCrashOps = 20000;

// The child: applies operations until killed, reporting the number of
// operations done at each completed hard synchronization through the pipe, and
// the number of operations begun through |begun| (shared memory).
[[noreturn]] void RunCrashChild(const std::string& path, const ParamMap& params, uint32_t seed,
                                int pipe_fd, std::atomic<int64_t>* begun) {
  HashDBM dbm;
  if (!dbm.OpenAdvanced(path, true, 0, params).IsOK()) _exit(2);
  std::mt19937 rng(seed);
  std::mt19937 sync_rng(seed + 1);
  int64_t next_sync = 1 + sync_rng() % 30;
  for (int64_t i = 0; i < kCrashOps; i++) {
    const CrashOp op = MakeCrashOp(rng, i);
    begun->store(i + 1);
    const Status status = op.remove ? dbm.Remove(op.key) : dbm.Set(op.key, op.value);
    if (!status.IsOK() && status != Status::NOT_FOUND_ERROR) _exit(3);
    if (i + 1 == next_sync) {
      if (!dbm.Synchronize(true).IsOK()) _exit(4);
      const int64_t done = i + 1;
      if (write(pipe_fd, &done, sizeof(done)) != sizeof(done)) _exit(5);
      next_sync += 1 + sync_rng() % 30;
    }
  }
  dbm.Close();
  _exit(0);
}

// Checks that |dbm| holds, for every key, a state allowed after |acked|
// operations of |seed| applied to |start|: the state at the acknowledgement or
// one left by an operation begun later (before |begun|). Fills |state| with
// what it holds.
void CheckCrashState(DBM* dbm, const std::map<std::string, std::string>& start, uint32_t seed,
                     int64_t acked, int64_t begun, std::map<std::string, std::string>* state) {
  std::map<std::string, std::string> model = start;
  std::map<std::string, std::set<std::optional<std::string>>> allowed;
  std::mt19937 rng(seed);
  for (int64_t i = 0; i <= begun; i++) {
    if (i == acked) {
      for (int k = 0; k < 150; k++) {
        const std::string key = "k" + std::to_string(k);
        auto it = model.find(key);
        allowed[key].insert(it == model.end() ? std::nullopt
                                              : std::optional<std::string>(it->second));
      }
    }
    if (i == begun) break;
    const CrashOp op = MakeCrashOp(rng, i);
    if (i < acked) {
      if (op.remove) {
        model.erase(op.key);
      } else {
        model[op.key] = op.value;
      }
    } else {
      allowed[op.key].insert(op.remove ? std::nullopt : std::optional<std::string>(op.value));
    }
  }
  state->clear();
  for (int k = 0; k < 150; k++) {
    const std::string key = "k" + std::to_string(k);
    std::string value;
    const Status status = dbm->Get(key, &value);
    ASSERT_TRUE(status.IsOK() || status == Status::NOT_FOUND_ERROR) << status;
    std::optional<std::string> actual;
    if (status.IsOK()) {
      actual = value;
      (*state)[key] = value;
    }
    EXPECT_EQ(1u, allowed[key].count(actual))
        << key << " holds " << (actual ? *actual : "nothing") << " after " << acked;
  }
  EXPECT_EQ(static_cast<int64_t>(state->size()), dbm->CountSimple());
}

TEST_F(HashDBMTest, SurvivesKillDuringWrites) {
  int rounds = 50;
  if (const char* env = std::getenv("MORVEL_CRASH_ROUNDS")) rounds = std::max(1, std::atoi(env));
  std::mt19937 rng(42);
  for (const std::string mode : {"in_place", "appending"}) {
    const std::string path = dir_.Path("crash-" + mode + ".mvh");
    const ParamMap params = {{"num_buckets", "53"}, {"update_mode", mode}};
    std::map<std::string, std::string> state;
    void* shared = mmap(nullptr, sizeof(std::atomic<int64_t>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, shared);
    auto* begun = new (shared) std::atomic<int64_t>(0);
    for (int round = 0; round < rounds; round++) {
      SCOPED_TRACE(mode + " round " + std::to_string(round));
      const uint32_t seed = rng();
      begun->store(0);
      int fds[2];
      ASSERT_EQ(0, pipe(fds));
      const pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        close(fds[0]);
        RunCrashChild(path, params, seed, fds[1], begun);
      }
      close(fds[1]);
      usleep(1000 + rng() % 15000);
      kill(pid, SIGKILL);
      int wstatus = 0;
      ASSERT_EQ(pid, waitpid(pid, &wstatus, 0));
      ASSERT_TRUE(WIFSIGNALED(wstatus) || (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0))
          << "the child failed with " << WEXITSTATUS(wstatus);
      int64_t acked = 0;
      int64_t done = 0;
      while (read(fds[0], &done, sizeof(done)) == sizeof(done)) acked = done;
      close(fds[0]);
      const int64_t ops_begun = begun->load();
      ASSERT_LE(acked, ops_begun);

      std::map<std::string, std::string> next_state;
      if (round % 5 == 0) {
        // A copy of the killed database, restored to a new path.
        const std::string copy_path = dir_.Path("crash-copy.mvh");
        const std::string restored_path = dir_.Path("crash-restored.mvh");
        WriteWholeFile(copy_path, ReadWholeFile(path));
        ASSERT_EQ(Status::SUCCESS, HashDBM::RestoreDatabase(copy_path, restored_path, -1, {}));
        HashDBM restored;
        ASSERT_EQ(Status::SUCCESS, restored.Open(restored_path, false));
        EXPECT_TRUE(restored.IsHealthy());
        CheckCrashState(&restored, state, seed, acked, ops_begun, &next_state);
        restored.Close();
      }
      HashDBM dbm;
      ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, 0, params));
      EXPECT_TRUE(dbm.IsHealthy());
      CheckCrashState(&dbm, state, seed, acked, ops_begun, &next_state);
      ASSERT_EQ(Status::SUCCESS, dbm.Close());
      state = next_state;
      if (HasFailure()) break;
    }
    munmap(shared, sizeof(std::atomic<int64_t>));
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace morvel
