// TinyDBM and BabyDBM through one typed suite, plus what only one of them does.

#include "morvel/mem_dbm.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "morvel/file.h"
#include "morvel/file_impl.h"
#include "morvel/flat_records.h"
#include "morvel/hash_dbm.h"
#include "morvel/str_util.h"
#include "test_util.h"

namespace morvel {
namespace {

template <typename T>
std::unique_ptr<DBM> MakeSmall();

// Few buckets, so that chains and stripes are shared and iteration crosses
// many buckets.
template <>
std::unique_ptr<DBM> MakeSmall<TinyDBM>() {
  return std::make_unique<TinyDBM>(101);
}

template <>
std::unique_ptr<DBM> MakeSmall<BabyDBM>() {
  return std::make_unique<BabyDBM>();
}

template <typename T>
class MemDBMTest : public morvel_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    dbm_ = MakeSmall<T>();
    ASSERT_TRUE(dbm_->Open("", true).IsOK());
  }

  // All records through an iterator.
  std::map<std::string, std::string> Dump(DBM* dbm) {
    std::map<std::string, std::string> records;
    auto iter = dbm->MakeIterator();
    EXPECT_TRUE(iter->First().IsOK());
    std::string key, value;
    while (iter->Step(&key, &value).IsOK()) {
      EXPECT_TRUE(records.emplace(key, value).second) << "visited twice: " << key;
    }
    return records;
  }

  std::unique_ptr<DBM> dbm_;
};

using MemClasses = ::testing::Types<TinyDBM, BabyDBM>;
TYPED_TEST_SUITE(MemDBMTest, MemClasses);

TYPED_TEST(MemDBMTest, RecordOperations) {
  DBM* dbm = this->dbm_.get();
  std::string value;
  EXPECT_EQ(dbm->Get("a", &value), Status::NOT_FOUND_ERROR);
  EXPECT_TRUE(dbm->Set("a", "1").IsOK());
  EXPECT_TRUE(dbm->Set(std::string("\0b", 2), "").IsOK());
  EXPECT_EQ(dbm->Set("a", "x", false, &value), Status::DUPLICATION_ERROR);
  EXPECT_EQ(value, "1");
  EXPECT_TRUE(dbm->Get("a", &value).IsOK());
  EXPECT_EQ(value, "1");
  EXPECT_TRUE(dbm->Get(std::string("\0b", 2), &value).IsOK());
  EXPECT_EQ(value, "");
  EXPECT_TRUE(dbm->Append("a", "2", ",").IsOK());
  EXPECT_TRUE(dbm->Append("n", "new", ",").IsOK());
  EXPECT_TRUE(dbm->Get("a", &value).IsOK());
  EXPECT_EQ(value, "1,2");
  EXPECT_TRUE(dbm->Get("n", &value).IsOK());
  EXPECT_EQ(value, "new");
  // Growing and shrinking values in place.
  EXPECT_TRUE(dbm->Set("a", std::string(5000, 'z')).IsOK());
  EXPECT_TRUE(dbm->Set("a", "s").IsOK());
  EXPECT_TRUE(dbm->Get("a", &value).IsOK());
  EXPECT_EQ(value, "s");
  EXPECT_EQ(dbm->CountSimple(), 3);
  EXPECT_TRUE(dbm->Remove("a", &value).IsOK());
  EXPECT_EQ(value, "s");
  EXPECT_EQ(dbm->Remove("a"), Status::NOT_FOUND_ERROR);
  EXPECT_EQ(dbm->CountSimple(), 2);
  EXPECT_TRUE(dbm->Clear().IsOK());
  EXPECT_EQ(dbm->CountSimple(), 0);
  EXPECT_EQ(dbm->Get("n"), Status::NOT_FOUND_ERROR);
}

TYPED_TEST(MemDBMTest, ProcessorAnswerPointingIntoTheRecordIsCopied) {
  // A processor may answer with a view of the value it was given (or a part).
  DBM* dbm = this->dbm_.get();
  ASSERT_TRUE(dbm->Set("k", "abcdef").IsOK());
  ASSERT_TRUE(dbm->Process("k", [](std::string_view, std::string_view v) { return v.substr(2); },
                           true).IsOK());
  std::string value;
  ASSERT_TRUE(dbm->Get("k", &value).IsOK());
  EXPECT_EQ(value, "cdef");
}

TYPED_TEST(MemDBMTest, ManyRecordsSurviveSplitsAndMerges) {
  DBM* dbm = this->dbm_.get();
  const auto records = morvel_test::RandomRecords(3000, 8, 20);
  for (const auto& rec : records) {
    ASSERT_TRUE(dbm->Set(rec.first, rec.second).IsOK());
  }
  EXPECT_EQ(dbm->CountSimple(), 3000);
  EXPECT_EQ(this->Dump(dbm), records);
  // Removes two thirds, in key order for a tree's worst merge pattern.
  std::map<std::string, std::string> rest;
  int i = 0;
  for (const auto& rec : records) {
    if (i++ % 3 == 0) {
      rest.insert(rec);
    } else {
      ASSERT_TRUE(dbm->Remove(rec.first).IsOK());
    }
  }
  EXPECT_EQ(dbm->CountSimple(), static_cast<int64_t>(rest.size()));
  EXPECT_EQ(this->Dump(dbm), rest);
  for (const auto& rec : rest) {
    std::string value;
    ASSERT_TRUE(dbm->Get(rec.first, &value).IsOK());
    ASSERT_EQ(value, rec.second);
  }
  ASSERT_TRUE(dbm->Rebuild().IsOK());
  EXPECT_EQ(this->Dump(dbm), rest);
  for (const auto& rec : rest) {
    ASSERT_TRUE(dbm->Remove(rec.first).IsOK());
  }
  EXPECT_EQ(dbm->CountSimple(), 0);
  EXPECT_TRUE(this->Dump(dbm).empty());
  EXPECT_TRUE(dbm->Set("again", "1").IsOK());
  EXPECT_EQ(dbm->CountSimple(), 1);
}

TYPED_TEST(MemDBMTest, RandomOperationsMatchAModel) {
  // Enough records for a tree of three levels, then waves of removals (random
  // and by ranges) and of mixed writes, so that leaves and inner nodes split
  // and merge many times; after each wave the database must equal the model.
  DBM* dbm = this->dbm_.get();
  std::map<std::string, std::string> model;
  std::mt19937 rng(42);
  auto check = [&] {
    ASSERT_EQ(dbm->CountSimple(), static_cast<int64_t>(model.size()));
    ASSERT_EQ(this->Dump(dbm), model);
    if (!dbm->IsOrdered()) return;
    // Backwards from the end gives the model in reverse.
    auto iter = dbm->MakeIterator();
    ASSERT_TRUE(iter->Last().IsOK());
    auto it = model.rbegin();
    std::string key;
    while (iter->Get(&key).IsOK()) {
      ASSERT_NE(it, model.rend());
      ASSERT_EQ(key, it->first);
      ++it;
      ASSERT_TRUE(iter->Previous().IsOK());
    }
    EXPECT_EQ(it, model.rend());
  };
  auto set = [&](const std::string& key) {
    const std::string value = std::to_string(rng());
    ASSERT_TRUE(dbm->Set(key, value).IsOK());
    model[key] = value;
  };
  auto remove = [&](const std::string& key) {
    ASSERT_EQ(dbm->Remove(key).IsOK(), model.erase(key) == 1) << key;
  };
  for (int round = 0; round < 2; round++) {
    for (int i = 0; i < 20000; i++) {
      set(SPrintF("%06u", static_cast<unsigned>(rng() % 40000)));
    }
    check();
    // Random removals of most records.
    std::vector<std::string> keys;
    for (const auto& rec : model) keys.push_back(rec.first);
    for (const auto& key : keys) {
      if (rng() % 10 != 0) remove(key);
    }
    check();
    // Mixed writes, then whole ranges removed.
    for (int i = 0; i < 10000; i++) {
      const std::string key = SPrintF("%06u", static_cast<unsigned>(rng() % 40000));
      if (rng() % 2 == 0) set(key); else remove(key);
    }
    check();
    for (unsigned start = 0; start < 40000; start += 8000) {
      for (unsigned k = start; k < start + 6000; k++) remove(SPrintF("%06u", k));
    }
    check();
  }
}

TYPED_TEST(MemDBMTest, ProcessFirstAndPopFirst) {
  DBM* dbm = this->dbm_.get();
  std::string key, value;
  EXPECT_EQ(dbm->PopFirst(&key, &value), Status::NOT_FOUND_ERROR);
  EXPECT_TRUE(key.empty());
  for (const char* k : {"c", "a", "b"}) {
    ASSERT_TRUE(dbm->Set(k, std::string("v") + k).IsOK());
  }
  std::set<std::string> popped;
  while (dbm->PopFirst(&key, &value).IsOK()) {
    EXPECT_EQ(value, "v" + key);
    popped.insert(key);
    if (dbm->IsOrdered()) {
      EXPECT_EQ(key, *popped.rbegin()) << "popped out of order";
    }
  }
  EXPECT_EQ(popped, (std::set<std::string>{"a", "b", "c"}));
  EXPECT_EQ(dbm->CountSimple(), 0);
}

TYPED_TEST(MemDBMTest, ProcessEachSeesEveryRecordOnceAndApplies) {
  DBM* dbm = this->dbm_.get();
  for (int i = 0; i < 500; i++) {
    ASSERT_TRUE(dbm->Set(std::to_string(i), std::to_string(i)).IsOK());
  }
  std::set<std::string> seen;
  std::string buf;
  ASSERT_TRUE(dbm->ProcessEach(
                     [&](std::string_view key, std::string_view value) -> std::string_view {
                       EXPECT_NE(key.data(), DBM::RecordProcessor::NOOP.data());
                       EXPECT_TRUE(seen.insert(std::string(key)).second);
                       if (std::stoi(std::string(value)) % 2 == 0) {
                         return DBM::RecordProcessor::REMOVE;
                       }
                       buf = std::string(value) + "!";
                       return buf;
                     },
                     true)
                  .IsOK());
  EXPECT_EQ(seen.size(), 500u);
  EXPECT_EQ(dbm->CountSimple(), 250);
  std::string value;
  EXPECT_TRUE(dbm->Get("7", &value).IsOK());
  EXPECT_EQ(value, "7!");
  EXPECT_EQ(dbm->Get("8"), Status::NOT_FOUND_ERROR);
  // A read-only walk that tries to write changes nothing and says so.
  const Status status = dbm->ProcessEach(
      [](std::string_view, std::string_view) { return DBM::RecordProcessor::REMOVE; }, false);
  EXPECT_EQ(status, Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm->CountSimple(), 250);
}

TYPED_TEST(MemDBMTest, IteratorBasics) {
  DBM* dbm = this->dbm_.get();
  auto iter = dbm->MakeIterator();
  EXPECT_EQ(iter->Get(), Status::NOT_FOUND_ERROR) << "unplaced iterator";
  EXPECT_EQ(iter->Next(), Status::NOT_FOUND_ERROR);
  EXPECT_TRUE(iter->First().IsOK());
  EXPECT_EQ(iter->Get(), Status::NOT_FOUND_ERROR) << "empty database";
  for (const char* k : {"a", "b", "c"}) {
    ASSERT_TRUE(dbm->Set(k, k).IsOK());
  }
  std::string key, value;
  ASSERT_TRUE(iter->Jump("b").IsOK());
  ASSERT_TRUE(iter->Get(&key, &value).IsOK());
  EXPECT_EQ(key, "b");
  EXPECT_TRUE(iter->Set("B", &key, &value).IsOK());
  EXPECT_EQ(value, "b");
  ASSERT_TRUE(dbm->Get("b", &value).IsOK());
  EXPECT_EQ(value, "B");
  // Removing through the iterator moves it to the following record.
  ASSERT_TRUE(iter->First().IsOK());
  std::string first;
  ASSERT_TRUE(iter->Get(&first).IsOK());
  ASSERT_TRUE(iter->Remove(&key).IsOK());
  EXPECT_EQ(key, first);
  ASSERT_TRUE(iter->Get(&key).IsOK());
  EXPECT_NE(key, first);
  EXPECT_EQ(dbm->CountSimple(), 2);
  // Step reads then moves; past the end it fails.
  ASSERT_TRUE(iter->First().IsOK());
  EXPECT_TRUE(iter->Step().IsOK());
  EXPECT_TRUE(iter->Step().IsOK());
  EXPECT_EQ(iter->Step(), Status::NOT_FOUND_ERROR);
}

TYPED_TEST(MemDBMTest, ClosedDatabaseAndItsIteratorsRefuse) {
  DBM* dbm = this->dbm_.get();
  ASSERT_TRUE(dbm->Set("a", "1").IsOK());
  auto iter = dbm->MakeIterator();
  ASSERT_TRUE(iter->First().IsOK());
  ASSERT_TRUE(dbm->Close().IsOK());
  EXPECT_FALSE(dbm->IsOpen());
  EXPECT_EQ(dbm->Get("a"), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm->Set("a", "2"), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm->ProcessEach([](std::string_view, std::string_view) {
              return DBM::RecordProcessor::NOOP;
            }, false),
            Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm->CountSimple(), -1);
  EXPECT_EQ(dbm->Close(), Status::PRECONDITION_ERROR);
  EXPECT_EQ(iter->Get(), Status::PRECONDITION_ERROR);
  EXPECT_EQ(iter->Next(), Status::PRECONDITION_ERROR);
  EXPECT_EQ(iter->First(), Status::PRECONDITION_ERROR);
  // Reopening gives a fresh, empty database.
  ASSERT_TRUE(dbm->Open("", true).IsOK());
  EXPECT_EQ(dbm->CountSimple(), 0);
  EXPECT_EQ(dbm->Open("", true), Status::PRECONDITION_ERROR);
}

TYPED_TEST(MemDBMTest, ReadOnlyDatabaseRefusesWrites) {
  const std::string path = this->Path("ro.flat");
  {
    auto dbm = MakeSmall<TypeParam>();
    ASSERT_TRUE(dbm->Open(path, true).IsOK());
    ASSERT_TRUE(dbm->Set("a", "1").IsOK());
    ASSERT_TRUE(dbm->Close().IsOK());
  }
  auto dbm = MakeSmall<TypeParam>();
  ASSERT_TRUE(dbm->Open(path, false).IsOK());
  EXPECT_FALSE(dbm->IsWritable());
  EXPECT_EQ(dbm->Set("b", "2"), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm->Remove("a"), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm->Clear(), Status::PRECONDITION_ERROR);
  auto iter = dbm->MakeIterator();
  ASSERT_TRUE(iter->First().IsOK());
  EXPECT_EQ(iter->Remove(), Status::PRECONDITION_ERROR);
  std::string value;
  EXPECT_TRUE(dbm->Get("a", &value).IsOK());
  EXPECT_EQ(value, "1");
}

// Every record operation, and Rebuild and Clear, refuse a writer on a read-only
// database without calling the processor, and anyone on a closed one.
TYPED_TEST(MemDBMTest, RecordOperationsCheckOpenAndWritable) {
  const std::string path = this->Path("gate.flat");
  {
    auto dbm = MakeSmall<TypeParam>();
    ASSERT_TRUE(dbm->Open(path, true).IsOK());
    ASSERT_TRUE(dbm->Set("a", "1").IsOK());
    ASSERT_TRUE(dbm->Close().IsOK());
  }
  bool called = false;
  DBM::RecordProcessorLambda proc([&](std::string_view, std::string_view) {
    called = true;
    return DBM::RecordProcessor::NOOP;
  });
  const std::vector<std::pair<const char*, std::function<Status(DBM*, bool)>>> ops = {
      {"Process", [&](DBM* dbm, bool writable) { return dbm->Process("a", &proc, writable); }},
      {"ProcessFirst", [&](DBM* dbm, bool writable) { return dbm->ProcessFirst(&proc, writable); }},
      {"ProcessMulti",
       [&](DBM* dbm, bool writable) {
         return dbm->ProcessMulti({{"a", &proc}, {"b", &proc}}, writable);
       }},
      {"ProcessEach", [&](DBM* dbm, bool writable) { return dbm->ProcessEach(&proc, writable); }},
  };
  auto dbm = MakeSmall<TypeParam>();
  ASSERT_TRUE(dbm->Open(path, false).IsOK());
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    called = false;
    EXPECT_EQ(op(dbm.get(), true), Status::PRECONDITION_ERROR);
    EXPECT_FALSE(called);
    EXPECT_TRUE(op(dbm.get(), false).IsOK());
    EXPECT_TRUE(called);
  }
  EXPECT_EQ(dbm->Rebuild(), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm->Clear(), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm->CountSimple(), 1);
  ASSERT_TRUE(dbm->Close().IsOK());
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    called = false;
    EXPECT_EQ(op(dbm.get(), false), Status::PRECONDITION_ERROR);
    EXPECT_EQ(op(dbm.get(), true), Status::PRECONDITION_ERROR);
    EXPECT_FALSE(called);
  }
  EXPECT_EQ(dbm->Rebuild(), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm->Clear(), Status::PRECONDITION_ERROR);
}

TYPED_TEST(MemDBMTest, NextAfterAnotherCallerRemovedTheCurrentRecordSkipsNothing) {
  DBM* dbm = this->dbm_.get();
  for (int i = 0; i < 50; i++) {
    ASSERT_TRUE(dbm->Set(std::to_string(i), "").IsOK());
  }
  // Walks with Step, removing each record just read before the walk moves on.
  auto iter = dbm->MakeIterator();
  ASSERT_TRUE(iter->First().IsOK());
  std::set<std::string> seen;
  std::string key;
  while (iter->Get(&key).IsOK()) {
    EXPECT_TRUE(seen.insert(key).second) << key;
    ASSERT_TRUE(dbm->Remove(key).IsOK());
    ASSERT_TRUE(iter->Next().IsOK());
  }
  EXPECT_EQ(seen.size(), 50u);
  EXPECT_EQ(dbm->CountSimple(), 0);
}

TYPED_TEST(MemDBMTest, ConcurrentWritersKeepExactTotals) {
  DBM* dbm = this->dbm_.get();
  constexpr int kThreads = 4;
  constexpr int kOps = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([dbm, t] {
      for (int i = 0; i < kOps; i++) {
        // A shared counter and a record of this thread's own.
        EXPECT_TRUE(dbm->Increment("counter", 1).IsOK());
        const std::string key = std::to_string(t) + ":" + std::to_string(i % 100);
        EXPECT_TRUE(dbm->Increment(key, 1).IsOK());
        std::string value;
        EXPECT_TRUE(dbm->Get(key, &value).IsOK());
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  int64_t total = 0;
  EXPECT_TRUE(dbm->Increment("counter", INT64_MIN, &total).IsOK());
  EXPECT_EQ(total, kThreads * kOps);
  EXPECT_EQ(dbm->CountSimple(), 1 + kThreads * 100);
  int64_t one = 0;
  EXPECT_TRUE(dbm->Increment("3:42", INT64_MIN, &one).IsOK());
  EXPECT_EQ(one, kOps / 100);
}

TYPED_TEST(MemDBMTest, CloseRacesWithCallsInFlight) {
  // Calls running while the database closes either finish or are refused.
  DBM* dbm = this->dbm_.get();
  std::atomic<bool> started{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; t++) {
    threads.emplace_back([dbm, t, &started] {
      auto iter = dbm->MakeIterator();
      for (int i = 0; i < 3000; i++) {
        const std::string key = std::to_string(t * 10000 + i);
        const Status set = dbm->Set(key, key);
        EXPECT_TRUE(set.IsOK() || set == Status::PRECONDITION_ERROR) << set;
        const Status get = dbm->Get(key);
        EXPECT_TRUE(get.IsOK() || get == Status::PRECONDITION_ERROR) << get;
        const Status moved = i % 2 == 0 ? iter->First() : iter->Next();
        EXPECT_TRUE(moved.IsOK() || moved == Status::PRECONDITION_ERROR ||
                    moved == Status::NOT_FOUND_ERROR) << moved;
        started = true;
      }
    });
  }
  while (!started) std::this_thread::yield();
  EXPECT_TRUE(dbm->Close().IsOK());
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(dbm->Get("0"), Status::PRECONDITION_ERROR);
}

TYPED_TEST(MemDBMTest, CompareExchangeMultiIsAllOrNothingUnderContention) {
  // Threads move units between accounts; each transfer checks both balances
  // and writes both, so the sum stays constant only if every call is atomic.
  DBM* dbm = this->dbm_.get();
  constexpr int kAccounts = 8;
  for (int i = 0; i < kAccounts; i++) {
    ASSERT_TRUE(dbm->Set("acct" + std::to_string(i), std::to_string(100)).IsOK());
  }
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([dbm, t, &done] {
      for (int i = 0; i < 500; i++) {
        const std::string from = "acct" + std::to_string((t + i) % kAccounts);
        const std::string to = "acct" + std::to_string((t + i * 3 + 1) % kAccounts);
        if (from == to) continue;
        std::string fv, tv;
        if (!dbm->Get(from, &fv).IsOK() || !dbm->Get(to, &tv).IsOK()) continue;
        const int f = std::stoi(fv), v = std::stoi(tv);
        if (f == 0) continue;
        const std::string nf = std::to_string(f - 1), nt = std::to_string(v + 1);
        const Status status = dbm->CompareExchangeMulti({{from, fv}, {to, tv}}, {{from, nf}, {to, nt}});
        if (status.IsOK()) {
          done++;
        } else {
          EXPECT_EQ(status, Status::INFEASIBLE_ERROR);
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  int sum = 0;
  for (int i = 0; i < kAccounts; i++) {
    std::string value;
    ASSERT_TRUE(dbm->Get("acct" + std::to_string(i), &value).IsOK());
    sum += std::stoi(value);
  }
  EXPECT_EQ(sum, kAccounts * 100);
  EXPECT_GT(done.load(), 0);
}

TYPED_TEST(MemDBMTest, IteratorsStayValidUnderConcurrentWriters) {
  // A writer keeps adding and removing "tmp" keys while a reader walks; every
  // stable key must be seen exactly once, whatever happens around it.
  DBM* dbm = this->dbm_.get();
  for (int i = 0; i < 1000; i++) {
    ASSERT_TRUE(dbm->Set("stable" + std::to_string(i), "v").IsOK());
  }
  std::atomic<bool> stop{false};
  std::thread writer([dbm, &stop] {
    int i = 0;
    while (!stop) {
      const std::string key = "tmp" + std::to_string(i++ % 300);
      dbm->Set(key, "x");
      dbm->Remove("tmp" + std::to_string((i * 7) % 300));
    }
  });
  for (int round = 0; round < 3; round++) {
    auto iter = dbm->MakeIterator();
    ASSERT_TRUE(iter->First().IsOK());
    std::set<std::string> seen;
    std::string key;
    while (iter->Step(&key).IsOK()) {
      if (key.compare(0, 6, "stable") == 0) {
        EXPECT_TRUE(seen.insert(key).second) << key;
      }
    }
    EXPECT_EQ(seen.size(), 1000u);
  }
  stop = true;
  writer.join();
}

TYPED_TEST(MemDBMTest, FileRoundTripAcrossCloseAndReopen) {
  const std::string path = this->Path("db.flat");
  const auto records = morvel_test::RandomRecords(500, 12, 40, 7);
  {
    auto dbm = MakeSmall<TypeParam>();
    ASSERT_TRUE(dbm->Open(path, true).IsOK());
    for (const auto& rec : records) {
      ASSERT_TRUE(dbm->Set(rec.first, rec.second).IsOK());
    }
    ASSERT_TRUE(dbm->Synchronize(false).IsOK());
    EXPECT_GT(dbm->GetFileSizeSimple(), 0);
    std::string got_path;
    EXPECT_TRUE(dbm->GetFilePath(&got_path).IsOK());
    EXPECT_EQ(got_path, path);
    EXPECT_FALSE(std::isnan(dbm->GetTimestampSimple()));
    ASSERT_TRUE(dbm->Set("late", "after sync").IsOK());
    ASSERT_TRUE(dbm->CopyFileData(this->Path("copy.flat")).IsOK());
    ASSERT_TRUE(dbm->Close().IsOK());
  }
  auto expected = records;
  expected["late"] = "after sync";
  for (const std::string& p : {path, this->Path("copy.flat")}) {
    auto dbm = MakeSmall<TypeParam>();
    ASSERT_TRUE(dbm->Open(p, false).IsOK()) << p;
    EXPECT_EQ(this->Dump(dbm.get()), expected) << p;
  }
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  // Truncation drops the content.
  auto dbm = MakeSmall<TypeParam>();
  ASSERT_TRUE(dbm->Open(path, true, File::OPEN_TRUNCATE).IsOK());
  EXPECT_EQ(dbm->CountSimple(), 0);
}

TYPED_TEST(MemDBMTest, FileOpenFailures) {
  auto dbm = MakeSmall<TypeParam>();
  EXPECT_EQ(dbm->Open(this->Path("missing"), false), Status::NOT_FOUND_ERROR);
  EXPECT_EQ(dbm->Open(this->Path("missing"), true, File::OPEN_NO_CREATE),
            Status::NOT_FOUND_ERROR);
  EXPECT_FALSE(dbm->IsOpen());
  // A damaged file is refused read-only, not half loaded.
  const std::string bad = this->Path("bad.flat");
  {
    std::FILE* fp = std::fopen(bad.c_str(), "wb");
    std::fputs("garbage that is not a frame", fp);
    std::fclose(fp);
  }
  EXPECT_EQ(dbm->Open(bad, false), Status::BROKEN_DATA_ERROR);
  EXPECT_FALSE(dbm->IsOpen());
  // No file: the file queries fail clearly.
  ASSERT_TRUE(dbm->Open("", true).IsOK());
  int64_t size = 0;
  EXPECT_EQ(dbm->GetFileSize(&size), Status::PRECONDITION_ERROR);
  std::string path;
  EXPECT_EQ(dbm->GetFilePath(&path), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm->CopyFileData(this->Path("x")), Status::PRECONDITION_ERROR);
}

TYPED_TEST(MemDBMTest, FileIsLockedWhileOpen) {
  const std::string path = this->Path("locked.flat");
  auto first = MakeSmall<TypeParam>();
  ASSERT_TRUE(first->Open(path, true).IsOK());
  ASSERT_TRUE(first->Synchronize(false).IsOK());
  auto second = MakeSmall<TypeParam>();
  EXPECT_EQ(second->Open(path, true, File::OPEN_NO_WAIT), Status::INFEASIBLE_ERROR);
  // Regression: without no_wait, a second open in this process waited for
  // ever for its own lock; the claim follows the file Synchronize renamed in.
  EXPECT_EQ(second->Open(path, false), Status::INFEASIBLE_ERROR);
  ASSERT_TRUE(first->Close().IsOK());
  EXPECT_TRUE(second->Open(path, true, File::OPEN_NO_WAIT).IsOK());
}

TYPED_TEST(MemDBMTest, RestoreStopsAtTheDamage) {
  const std::string path = this->Path("db.flat");
  {
    auto dbm = MakeSmall<TypeParam>();
    ASSERT_TRUE(dbm->Open(path, true).IsOK());
    for (int i = 0; i < 10; i++) {
      ASSERT_TRUE(dbm->Set("key" + std::to_string(i), "value").IsOK());
    }
    ASSERT_TRUE(dbm->Close().IsOK());
  }
  // Cuts the file in the middle of the last frame, before the 16-byte trailer.
  const auto size = std::filesystem::file_size(path);
  std::filesystem::resize_file(path, size - 16 - 3);
  const std::string restored = this->Path("restored.flat");
  ASSERT_TRUE(RestoreMemoryDatabaseFile(path, restored, -1).IsOK());
  auto dbm = MakeSmall<TypeParam>();
  ASSERT_TRUE(dbm->Open(restored, false).IsOK());
  EXPECT_EQ(dbm->CountSimple(), 9);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// Ten records "key0".."key9" with values "value-of-0".."value-of-9".
std::map<std::string, std::string> TenRecords() {
  std::map<std::string, std::string> records;
  for (int i = 0; i < 10; i++) {
    records["key" + std::to_string(i)] = "value-of-" + std::to_string(i);
  }
  return records;
}

// Regression: a file saved by Synchronize kept a zero-filled reserved tail
// until Close, so a process killed after Synchronize left a file that did not
// open.
TYPED_TEST(MemDBMTest, SynchronizedFileIsWholeWhenTheProcessIsKilled) {
  const std::string path = this->Path("killed.flat");
  const auto records = morvel_test::RandomRecords(200, 8, 100);
  int ready_pipe[2];
  ASSERT_EQ(0, pipe(ready_pipe));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto dbm = MakeSmall<TypeParam>();
    if (!dbm->Open(path, true).IsOK()) _exit(2);
    for (const auto& [key, value] : records) {
      if (!dbm->Set(key, value).IsOK()) _exit(3);
    }
    if (!dbm->Synchronize(false).IsOK()) _exit(4);
    // Written after the save, so lost with the process.
    if (!dbm->Set("unsaved", "x").IsOK()) _exit(5);
    if (write(ready_pipe[1], "y", 1) != 1) _exit(6);
    while (true) pause();
  }
  char ready = 0;
  ASSERT_EQ(1, read(ready_pipe[0], &ready, 1));
  ASSERT_EQ(0, kill(pid, SIGKILL));
  int wstatus = 0;
  ASSERT_EQ(pid, waitpid(pid, &wstatus, 0));
  close(ready_pipe[0]);
  close(ready_pipe[1]);
  auto dbm = MakeSmall<TypeParam>();
  ASSERT_EQ(dbm->Open(path, false), Status::SUCCESS);
  EXPECT_EQ(this->Dump(dbm.get()), records);
  int64_t size = -1;
  ASSERT_TRUE(dbm->GetFileSize(&size).IsOK());
  EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(path)), size);
}

// Damage of several kinds: refused read-only with nothing loaded; opened
// writable, every whole record is kept and the file is made whole at once.
TYPED_TEST(MemDBMTest, DamagedFileIsRefusedReadOnlyAndRestoredWritable) {
  struct Case {
    const char* name;
    std::function<std::string(const std::string&)> damage;
    size_t num_kept;
  };
  const auto legacy_frames = [] {
    std::string frames;
    for (const auto& [key, value] : TenRecords()) {
      for (const std::string& data : {key, value}) {
        frames += '\xFF';
        frames += static_cast<char>(data.size());
        frames += data;
      }
    }
    return frames;
  };
  const std::vector<Case> cases = {
      // A flipped byte keeps every frame whole; only the checksum tells.
      {"flipped value byte",
       [](const std::string& data) {
         std::string damaged = data;
         damaged[damaged.find("value-of-7") + 3] ^= 0x01;
         return damaged;
       },
       10},
      {"cut in the last frame",
       [](const std::string& data) { return data.substr(0, data.size() - 16 - 3); }, 9},
      {"cut in the trailer",
       [](const std::string& data) { return data.substr(0, data.size() - 5); }, 10},
      {"cut in the header",
       [](const std::string& data) { return data.substr(0, 5); }, 0},
      // What an older version left after a crash: frames and a zero tail.
      {"frames with a zero tail",
       [&](const std::string&) { return legacy_frames() + std::string(4096, '\0'); }, 10},
  };
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    const std::string path = this->Path("damaged.flat");
    std::filesystem::remove(path);
    {
      auto dbm = MakeSmall<TypeParam>();
      ASSERT_TRUE(dbm->Open(path, true).IsOK());
      for (const auto& [key, value] : TenRecords()) ASSERT_TRUE(dbm->Set(key, value).IsOK());
      ASSERT_TRUE(dbm->Close().IsOK());
    }
    WriteFileBytes(path, test_case.damage(ReadFileBytes(path)));
    auto dbm = MakeSmall<TypeParam>();
    const Status status = dbm->Open(path, false);
    EXPECT_EQ(status, Status::BROKEN_DATA_ERROR);
    EXPECT_NE(status.GetMessage().find(path), std::string::npos) << status;
    EXPECT_FALSE(dbm->IsOpen());
    ASSERT_EQ(dbm->Open(path, true), Status::SUCCESS);
    EXPECT_EQ(dbm->CountSimple(), static_cast<int64_t>(test_case.num_kept));
    // Whole before the database is even closed.
    auto reader = MakeSmall<TypeParam>();
    auto copy = this->Path("copy-of-restored.flat");
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(reader->Open(copy, false), Status::SUCCESS);
    EXPECT_EQ(reader->CountSimple(), static_cast<int64_t>(test_case.num_kept));
    ASSERT_TRUE(reader->Close().IsOK());
    ASSERT_TRUE(dbm->Close().IsOK());
  }
}

// Files written before the format had a checksum are frames alone; they open
// as they are and are written in the new form at the next save.
TYPED_TEST(MemDBMTest, FileWithoutChecksumStillOpens) {
  const std::string path = this->Path("legacy.flat");
  {
    PositionalParallelFile file;
    ASSERT_TRUE(file.Open(path, true).IsOK());
    FlatRecordWriter writer(&file);
    for (const auto& [key, value] : TenRecords()) {
      ASSERT_TRUE(writer.WriteRecord(key, value).IsOK());
    }
    ASSERT_TRUE(writer.Flush().IsOK());
    ASSERT_TRUE(file.Close().IsOK());
  }
  auto dbm = MakeSmall<TypeParam>();
  ASSERT_EQ(dbm->Open(path, false), Status::SUCCESS);
  EXPECT_EQ(this->Dump(dbm.get()), TenRecords());
  ASSERT_TRUE(dbm->Close().IsOK());
  ASSERT_EQ(dbm->Open(path, true), Status::SUCCESS);
  ASSERT_TRUE(dbm->Close().IsOK());
  EXPECT_NE(ReadFileBytes(path)[0], '\xFF');
  ASSERT_EQ(dbm->Open(path, false), Status::SUCCESS);
  EXPECT_EQ(this->Dump(dbm.get()), TenRecords());
}

// Regression: CopyFileData took no lock, so it replaced the file of a live
// database, and it knew its own file only by the same path string.
TYPED_TEST(MemDBMTest, CopyFileDataTakesTheDestinationsLock) {
  const std::string path = this->Path("source.flat");
  auto dbm = MakeSmall<TypeParam>();
  ASSERT_TRUE(dbm->Open(path, true).IsOK());
  for (const auto& [key, value] : TenRecords()) ASSERT_TRUE(dbm->Set(key, value).IsOK());
  ASSERT_TRUE(dbm->Synchronize(false).IsOK());
  const std::string link = this->Path("link.flat");
  ASSERT_EQ(0, ::link(path.c_str(), link.c_str()));
  EXPECT_EQ(dbm->CopyFileData(link), Status::INVALID_ARGUMENT_ERROR);
  // Another database of this process, of either kind, holds its file.
  const std::string live_mem = this->Path("live.flat");
  auto live = MakeSmall<TypeParam>();
  ASSERT_TRUE(live->Open(live_mem, true).IsOK());
  ASSERT_TRUE(live->Set("mine", "kept").IsOK());
  ASSERT_TRUE(live->Synchronize(false).IsOK());
  const std::string live_hash = this->Path("live.mvh");
  HashDBM hash;
  ASSERT_TRUE(hash.OpenAdvanced(live_hash, true, 0, {{"num_buckets", "100"}}).IsOK());
  ASSERT_TRUE(hash.Set("mine", "kept").IsOK());
  for (const std::string& dest : {live_mem, live_hash}) {
    const Status status = dbm->CopyFileData(dest);
    EXPECT_EQ(status, Status::INFEASIBLE_ERROR) << dest;
    EXPECT_NE(status.GetMessage().find("in this process"), std::string::npos) << status;
  }
  ASSERT_TRUE(live->Close().IsOK());
  ASSERT_TRUE(live->Open(live_mem, false).IsOK());
  std::string value;
  EXPECT_TRUE(live->Get("mine", &value).IsOK());
  EXPECT_EQ(value, "kept");
  ASSERT_TRUE(hash.Close().IsOK());
  ASSERT_TRUE(hash.Open(live_hash, false).IsOK());
  value.clear();
  EXPECT_TRUE(hash.Get("mine", &value).IsOK());
  EXPECT_EQ(value, "kept");
  // A free destination gets a whole copy.
  const std::string copy = this->Path("copy.flat");
  ASSERT_TRUE(dbm->CopyFileData(copy, true).IsOK());
  ASSERT_TRUE(dbm->Close().IsOK());
  for (const std::string& p : {path, copy}) {
    auto reader = MakeSmall<TypeParam>();
    ASSERT_EQ(reader->Open(p, false), Status::SUCCESS) << p;
    EXPECT_EQ(this->Dump(reader.get()), TenRecords()) << p;
  }
}

// Regression: a process waiting in Open held the replaced file of the last
// save, so when the holder closed, it loaded stale records and later saved them
// over the live file, losing the holder's writes. Two processes take turns
// incrementing one counter; every increment must survive.
class MemDBMFileLockTest : public morvel_test::TempDirTest {};

TEST_F(MemDBMFileLockTest, ProcessesTakingTurnsLoseNoWrite) {
  const std::string path = Path("counter.mvmt");
  constexpr int kProcesses = 2;
  constexpr int kRounds = 40;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; p++) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kRounds; i++) {
        TinyDBM dbm;
        if (!dbm.Open(path, true).IsOK()) _exit(2);
        if (!dbm.Increment("counter", 1, nullptr, 0).IsOK()) _exit(3);
        // A save in the middle renames a new file in while the rival waits.
        if (!dbm.Synchronize(false).IsOK()) _exit(4);
        if (!dbm.Close().IsOK()) _exit(5);
      }
      _exit(0);
    }
    pids.push_back(pid);
  }
  for (const pid_t pid : pids) {
    int wstatus = 0;
    ASSERT_EQ(pid, waitpid(pid, &wstatus, 0));
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
  }
  TinyDBM dbm;
  ASSERT_TRUE(dbm.Open(path, false).IsOK());
  std::string value;
  ASSERT_TRUE(dbm.Get("counter", &value).IsOK());
  EXPECT_EQ(kProcesses * kRounds, StrToIntBigEndian(value));
  ASSERT_TRUE(dbm.Close().IsOK());
}

TYPED_TEST(MemDBMTest, InspectReportsTheBasics) {
  ASSERT_TRUE(this->dbm_->Set("a", "1").IsOK());
  std::map<std::string, std::string> items;
  for (const auto& item : this->dbm_->Inspect()) {
    items[item.first] = item.second;
  }
  EXPECT_EQ(items["class"], this->dbm_->IsOrdered() ? "BabyDBM" : "TinyDBM");
  EXPECT_EQ(items["num_records"], "1");
  EXPECT_EQ(items["healthy"], "true");
  EXPECT_EQ(items.count("path"), 1u);
}

TEST(TinyDBMTest, UnorderedMovesAreNotImplemented) {
  TinyDBM dbm;
  ASSERT_TRUE(dbm.Open("", true).IsOK());
  auto iter = dbm.MakeIterator();
  EXPECT_EQ(iter->Last(), Status::NOT_IMPLEMENTED_ERROR);
  EXPECT_EQ(iter->Previous(), Status::NOT_IMPLEMENTED_ERROR);
  EXPECT_EQ(iter->JumpLower("a"), Status::NOT_IMPLEMENTED_ERROR);
  EXPECT_EQ(iter->JumpUpper("a"), Status::NOT_IMPLEMENTED_ERROR);
  EXPECT_EQ(iter->Jump("missing"), Status::NOT_FOUND_ERROR);
  EXPECT_FALSE(dbm.IsOrdered());
}

TEST(TinyDBMTest, FirstRecordIsFoundAfterEarlierBucketsFillAgain) {
  // Finding the first record skips buckets known to be empty; records added
  // to those buckets later must still be found.
  TinyDBM dbm(1000);
  ASSERT_TRUE(dbm.Open("", true).IsOK());
  for (int round = 0; round < 3; round++) {
    for (int i = 0; i < 300; i++) {
      ASSERT_TRUE(dbm.Set(std::to_string(round * 1000 + i), "v").IsOK());
    }
    int popped = 0;
    while (dbm.PopFirst().IsOK()) popped++;
    EXPECT_EQ(popped, 300);
    EXPECT_EQ(dbm.CountSimple(), 0);
    ASSERT_TRUE(dbm.Set("late" + std::to_string(round), "v").IsOK());
    auto iter = dbm.MakeIterator();
    ASSERT_TRUE(iter->First().IsOK());
    std::string key;
    ASSERT_TRUE(iter->Get(&key).IsOK());
    EXPECT_EQ(key, "late" + std::to_string(round));
    ASSERT_TRUE(dbm.PopFirst().IsOK());
  }
}

TEST(TinyDBMTest, HugeBucketCountFailsCleanly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer allocators abort on a failed huge allocation";
#endif
  TinyDBM dbm;
  // The largest count accepted, whose bucket array cannot be allocated here.
  const Status status = dbm.OpenAdvanced("", true, 0, {{"num_buckets", "1099511627776"}});
  EXPECT_EQ(status, Status::SYSTEM_ERROR);
  EXPECT_FALSE(dbm.IsOpen());
  ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {}).IsOK());
  EXPECT_TRUE(dbm.Set("a", "b").IsOK());
}

TEST(TinyDBMTest, RebuildChangesTheBucketCountAndKeepsRecords) {
  TinyDBM dbm(3);
  ASSERT_TRUE(dbm.Open("", true).IsOK());
  for (int i = 0; i < 200; i++) {
    ASSERT_TRUE(dbm.Set(std::to_string(i), std::to_string(i * 2)).IsOK());
  }
  // Inserts grow the table; a Rebuild may still make it smaller than the count.
  ASSERT_TRUE(dbm.RebuildAdvanced({{"num_buckets", "3"}}).IsOK());
  EXPECT_TRUE(dbm.ShouldBeRebuiltSimple());
  auto iter = dbm.MakeIterator();
  ASSERT_TRUE(iter->Jump("17").IsOK());
  ASSERT_TRUE(dbm.RebuildAdvanced({{"num_buckets", "1000"}}).IsOK());
  std::string key;
  // The iterator finds its key again in the new table.
  ASSERT_TRUE(iter->Get(&key).IsOK());
  EXPECT_EQ(key, "17");
  EXPECT_FALSE(dbm.ShouldBeRebuiltSimple());
  for (int i = 0; i < 200; i++) {
    std::string value;
    ASSERT_TRUE(dbm.Get(std::to_string(i), &value).IsOK());
    EXPECT_EQ(value, std::to_string(i * 2));
  }
}

class BabyDBMTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dbm_.Open("", true).IsOK());
    for (const char* k : {"b", "d", "f"}) {
      ASSERT_TRUE(dbm_.Set(k, k).IsOK());
    }
  }
  std::string KeyAt(DBM::Iterator* iter) {
    std::string key;
    return iter->Get(&key).IsOK() ? key : "(none)";
  }
  BabyDBM dbm_;
};

TEST_F(BabyDBMTest, OrderedJumps) {
  auto iter = dbm_.MakeIterator();
  const struct {
    std::function<Status(DBM::Iterator*)> move;
    const char* expected;
  } cases[] = {
      {[](DBM::Iterator* it) { return it->First(); }, "b"},
      {[](DBM::Iterator* it) { return it->Last(); }, "f"},
      {[](DBM::Iterator* it) { return it->Jump("c"); }, "d"},
      {[](DBM::Iterator* it) { return it->Jump("d"); }, "d"},
      {[](DBM::Iterator* it) { return it->Jump("g"); }, "(none)"},
      {[](DBM::Iterator* it) { return it->JumpLower("d", false); }, "b"},
      {[](DBM::Iterator* it) { return it->JumpLower("d", true); }, "d"},
      {[](DBM::Iterator* it) { return it->JumpLower("a", true); }, "(none)"},
      {[](DBM::Iterator* it) { return it->JumpUpper("d", false); }, "f"},
      {[](DBM::Iterator* it) { return it->JumpUpper("d", true); }, "d"},
      {[](DBM::Iterator* it) { return it->JumpUpper("f", false); }, "(none)"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(c.move(iter.get()).IsOK());
    EXPECT_EQ(KeyAt(iter.get()), c.expected);
  }
  ASSERT_TRUE(iter->Last().IsOK());
  ASSERT_TRUE(iter->Previous().IsOK());
  EXPECT_EQ(KeyAt(iter.get()), "d");
  ASSERT_TRUE(iter->Previous().IsOK());
  ASSERT_TRUE(iter->Previous().IsOK());
  EXPECT_EQ(KeyAt(iter.get()), "(none)");
}

TEST_F(BabyDBMTest, RemovingTheCurrentRecordLeavesTheIteratorOnTheNext) {
  auto iter = dbm_.MakeIterator();
  ASSERT_TRUE(iter->Jump("d").IsOK());
  ASSERT_TRUE(dbm_.Remove("d").IsOK());
  EXPECT_EQ(KeyAt(iter.get()), "f");
  ASSERT_TRUE(iter->Jump("b").IsOK());
  ASSERT_TRUE(dbm_.Set("c", "c").IsOK());
  ASSERT_TRUE(iter->Next().IsOK());
  EXPECT_EQ(KeyAt(iter.get()), "c");
  // Regression: when another caller removed the current record, Next skipped
  // the record after it.
  ASSERT_TRUE(dbm_.Remove("c").IsOK());
  ASSERT_TRUE(iter->Next().IsOK());
  EXPECT_EQ(KeyAt(iter.get()), "f");
  // Removing through the iterator stands it on the next record, and Next
  // moves past that one.
  ASSERT_TRUE(iter->First().IsOK());
  ASSERT_TRUE(iter->Remove().IsOK());
  EXPECT_EQ(KeyAt(iter.get()), "f");
  ASSERT_TRUE(iter->Next().IsOK());
  EXPECT_EQ(KeyAt(iter.get()), "(none)");
}

TEST(BabyDBMComparatorTest, ComparatorDecidesTheOrder) {
  BabyDBM dbm;
  EXPECT_EQ(dbm.OpenAdvanced("", true, 0, {{"key_comparator", "nonsense"}}),
            Status::INVALID_ARGUMENT_ERROR);
  ASSERT_TRUE(dbm.OpenAdvanced("", true, 0, {{"key_comparator", "Decimal"}}).IsOK());
  for (const char* k : {"10", "9", "100", "-1"}) {
    ASSERT_TRUE(dbm.Set(k, "").IsOK());
  }
  std::vector<std::string> keys;
  auto iter = dbm.MakeIterator();
  ASSERT_TRUE(iter->First().IsOK());
  std::string key;
  while (iter->Step(&key).IsOK()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"-1", "9", "10", "100"}));
  std::map<std::string, std::string> items;
  for (const auto& item : dbm.Inspect()) items[item.first] = item.second;
  EXPECT_EQ(items["key_comparator"], "DecimalKeyComparator");
}

// Regression: a processor that threw left TinyDBM's stripe locked, so the next
// call of the thread failed with EDEADLK and another thread hung.
TEST(MemDBMTest, ThrowingProcessorReleasesItsLocks) {
  struct Thrower : DBM::RecordProcessor {
    std::string_view ProcessFull(std::string_view, std::string_view) override {
      throw std::runtime_error("processor failed");
    }
    std::string_view ProcessEmpty(std::string_view) override {
      throw std::runtime_error("processor failed");
    }
  };
  using Call = std::function<void(DBM*, Thrower*)>;
  const std::vector<std::pair<std::string, Call>> calls = {
      {"Process", [](DBM* dbm, Thrower* proc) { dbm->Process("k", proc, true); }},
      {"ProcessMulti",
       [](DBM* dbm, Thrower* proc) { dbm->ProcessMulti({{"k", proc}, {"other", proc}}, true); }},
      {"ProcessFirst", [](DBM* dbm, Thrower* proc) { dbm->ProcessFirst(proc, true); }},
      {"ProcessEach", [](DBM* dbm, Thrower* proc) { dbm->ProcessEach(proc, true); }},
  };
  const std::vector<std::pair<std::string, std::function<std::unique_ptr<DBM>()>>> classes = {
      {"TinyDBM", [] { return std::make_unique<TinyDBM>(); }},
      {"BabyDBM", [] { return std::make_unique<BabyDBM>(); }},
      {"CacheDBM", [] { return std::make_unique<CacheDBM>(); }},
  };
  for (const auto& [class_name, make] : classes) {
    for (const auto& [name, call] : calls) {
      SCOPED_TRACE(class_name + " " + name);
      std::unique_ptr<DBM> dbm = make();
      ASSERT_TRUE(dbm->Open("", true).IsOK());
      ASSERT_TRUE(dbm->Set("k", "v").IsOK());
      Thrower thrower;
      EXPECT_THROW(call(dbm.get(), &thrower), std::runtime_error);
      // The same thread again, then another thread, then a whole-database call.
      Status status;
      ASSERT_NO_THROW(status = dbm->Set("k", "after"));
      EXPECT_EQ(status, Status::SUCCESS);
      std::thread other([&] { status = dbm->Set("other", "x"); });
      other.join();
      EXPECT_EQ(status, Status::SUCCESS);
      EXPECT_TRUE(dbm->Rebuild().IsOK());
      std::string value;
      EXPECT_TRUE(dbm->Get("k", &value).IsOK());
      EXPECT_EQ(value, "after");
    }
  }
}

}  // namespace
}  // namespace morvel
