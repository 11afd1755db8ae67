// AsyncDBM and StatusFuture: ordering, the result of each kind, copies of the
// arguments, destruction with a full queue, and a database closed under
// queued operations.

#include "morvel/async_dbm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "morvel/mem_dbm.h"
#include "morvel/str_util.h"

namespace morvel {
namespace {

// An empty file whose GetSize blocks until Open() is called. Importing from it
// holds a worker without holding any lock of the database, so the operations
// queued behind it wait in the queue for as long as the test likes.
class GateFile final : public File {
 public:
  GateFile() : opened_(gate_.get_future().share()) {}
  // Lets the blocked worker go.
  void Release() { gate_.set_value(); }

  Status GetSize(int64_t* size) override {
    opened_.wait();
    *size = 0;
    return Status();
  }
  Status Open(const std::string&, bool, int32_t) override { return Status(); }
  Status Close() override { return Status(); }
  Status Read(int64_t, void*, size_t) override { return Status(Status::NOT_FOUND_ERROR); }
  Status Write(int64_t, const void*, size_t) override { return Status(); }
  Status Append(const void*, size_t, int64_t*) override { return Status(); }
  Status Expand(size_t, int64_t*) override { return Status(); }
  Status Truncate(int64_t) override { return Status(); }
  Status Synchronize(bool, int64_t, int64_t) override { return Status(); }
  Status SetAllocationStrategy(int64_t, double) override { return Status(); }
  Status GetPath(std::string*) override { return Status(Status::NOT_FOUND_ERROR); }
  Status Rename(const std::string&) override { return Status(); }
  bool IsOpen() const override { return true; }
  bool IsMemoryMapping() const override { return false; }
  bool IsAtomic() const override { return true; }
  std::unique_ptr<File> MakeFile() const override { return nullptr; }

 private:
  std::promise<void> gate_;
  std::shared_future<void> opened_;
};

class AsyncDBMTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dbm_->Open("", true).IsOK()); }
  std::string ValueOf(std::string_view key) {
    std::string value;
    return dbm_->Get(key, &value).IsOK() ? value : "(none)";
  }
  std::shared_ptr<DBM> dbm_ = std::make_shared<TinyDBM>(101);
};

TEST_F(AsyncDBMTest, OneWorkerRunsOneProducersOperationsInOrder) {
  AsyncDBM adbm(dbm_, 1);
  std::string expected;
  std::vector<StatusFuture> futures;
  for (int i = 0; i < 1000; i++) {
    const std::string item = std::to_string(i);
    futures.push_back(adbm.Append("k", item, ","));
    expected += (i == 0 ? "" : ",") + item;
  }
  // A Get queued after the appends sees all of them.
  auto [status, value] = adbm.Get("k").GetString();
  EXPECT_EQ(status, Status::SUCCESS);
  EXPECT_EQ(value, expected);
  for (auto& future : futures) EXPECT_EQ(future.Get(), Status::SUCCESS);
}

TEST_F(AsyncDBMTest, ManyWorkersLoseNoOperation) {
  AsyncDBM adbm(dbm_, 4);
  EXPECT_EQ(adbm.GetNumberOfWorkers(), 4U);
  std::vector<StatusFuture> futures;
  for (int i = 0; i < 2000; i++) futures.push_back(adbm.Increment("n", 3));
  for (auto& future : futures) EXPECT_EQ(future.GetInteger().first, Status::SUCCESS);
  auto [status, total] = adbm.Increment("n", 0).GetInteger();
  EXPECT_EQ(status, Status::SUCCESS);
  EXPECT_EQ(total, 6000);
}

TEST_F(AsyncDBMTest, ZeroOrNegativeWorkersMeanOnePerCore) {
  const size_t cores = std::max(1U, std::thread::hardware_concurrency());
  for (int32_t count : {0, -5}) {
    AsyncDBM adbm(dbm_, count);
    EXPECT_EQ(adbm.GetNumberOfWorkers(), cores);
    EXPECT_EQ(adbm.Set("a", "b").Get(), Status::SUCCESS);
  }
}

TEST_F(AsyncDBMTest, ResultOfEachKind) {
  AsyncDBM adbm(dbm_, 2);
  StatusFuture set = adbm.Set("a", "1");
  EXPECT_EQ(set.GetExtraType(), typeid(void));
  EXPECT_EQ(set.Get(), Status::SUCCESS);
  EXPECT_EQ(adbm.Set("a", "2", false).Get(), Status::DUPLICATION_ERROR);

  StatusFuture get = adbm.Get("a");
  EXPECT_EQ(get.GetExtraType(), typeid(std::string));
  EXPECT_EQ(get.GetString(), std::make_pair(Status(), std::string("1")));
  EXPECT_EQ(adbm.Get("missing").GetString().first, Status::NOT_FOUND_ERROR);

  StatusFuture incr = adbm.Increment("n", 5, 100);
  EXPECT_EQ(incr.GetExtraType(), typeid(int64_t));
  auto [incr_status, incr_value] = incr.GetInteger();
  EXPECT_EQ(incr_status, Status::SUCCESS);
  EXPECT_EQ(incr_value, 105);

  StatusFuture multi = adbm.GetMulti({"a", "missing", "a"});
  EXPECT_EQ(multi.GetExtraType(), typeid(StatusFuture::StringMap));
  auto [multi_status, records] = multi.GetStringMap();
  EXPECT_EQ(multi_status, Status::NOT_FOUND_ERROR);
  EXPECT_EQ(records, (StatusFuture::StringMap{{"a", "1"}}));

  StatusFuture search = adbm.SearchModal("begin", "a");
  EXPECT_EQ(search.GetExtraType(), typeid(StatusFuture::StringVector));
  EXPECT_EQ(search.GetStringVector(), std::make_pair(Status(), StatusFuture::StringVector{"a"}));
  EXPECT_EQ(adbm.SearchModal("nosuchmode", "a").GetStringVector().first,
            Status::INVALID_ARGUMENT_ERROR);

  EXPECT_EQ(adbm.Remove("n").Get(), Status::SUCCESS);
  StatusFuture pop = adbm.PopFirst();
  EXPECT_EQ(pop.GetExtraType(), typeid(StatusFuture::StringPair));
  EXPECT_EQ(pop.GetStringPair(),
            std::make_pair(Status(), StatusFuture::StringPair("a", "1")));
  EXPECT_EQ(adbm.PopFirst().GetStringPair().first, Status::NOT_FOUND_ERROR);
}

TEST_F(AsyncDBMTest, RecordAndDatabaseOperations) {
  AsyncDBM adbm(dbm_, 2);
  EXPECT_EQ(adbm.SetMulti({{"a", "1"}, {"b", "2"}}).Get(), Status::SUCCESS);
  EXPECT_EQ(adbm.SetMulti({{"a", "9"}}, false).Get(), Status::DUPLICATION_ERROR);
  EXPECT_EQ(adbm.AppendMulti({{"a", "x"}, {"c", "y"}}, "+").Get(), Status::SUCCESS);
  EXPECT_EQ(ValueOf("a"), "1+x");
  EXPECT_EQ(ValueOf("c"), "y");
  EXPECT_EQ(adbm.Rekey("c", "d").Get(), Status::SUCCESS);
  EXPECT_EQ(adbm.Rekey("d", "a", false).Get(), Status::DUPLICATION_ERROR);
  EXPECT_EQ(adbm.Rekey("d", "e", true, true).Get(), Status::SUCCESS);
  EXPECT_EQ(ValueOf("d"), "y");
  EXPECT_EQ(ValueOf("e"), "y");
  EXPECT_EQ(adbm.RemoveMulti({"d", "e"}).Get(), Status::SUCCESS);
  EXPECT_EQ(adbm.Remove("d").Get(), Status::NOT_FOUND_ERROR);
  EXPECT_EQ(adbm.PushLast("queued", 1.5).Get(), Status::SUCCESS);
  EXPECT_EQ(ValueOf(IntToStrBigEndian(150000000)), "queued");

  TinyDBM dest(11);
  ASSERT_TRUE(dest.Open("", true).IsOK());
  EXPECT_EQ(adbm.Export(&dest).Get(), Status::SUCCESS);
  EXPECT_EQ(dest.CountSimple(), 3);

  EXPECT_EQ(adbm.Rebuild({{"num_buckets", "17"}}).Get(), Status::SUCCESS);
  EXPECT_EQ(adbm.Synchronize(false).Get(), Status::SUCCESS);
  EXPECT_EQ(adbm.Clear().Get(), Status::SUCCESS);
  EXPECT_EQ(dbm_->CountSimple(), 0);
}

TEST_F(AsyncDBMTest, CompareExchangeSelectorsKeepTheirMeaning) {
  AsyncDBM adbm(dbm_, 1);
  const std::string_view absent;
  struct Case {
    std::string_view expected;
    std::string_view desired;
    int32_t code;
    std::string value_after;
  };
  const Case cases[] = {
      {absent, "v1", Status::SUCCESS, "v1"},                  // created when missing
      {absent, "v2", Status::INFEASIBLE_ERROR, "v1"},         // exists, so no match
      {"v0", "v2", Status::INFEASIBLE_ERROR, "v1"},           // other bytes
      {"v1", "v2", Status::SUCCESS, "v2"},                    // the bytes match
      {DBM::ANY_DATA, "v3", Status::SUCCESS, "v3"},           // any value matches
      {DBM::ANY_DATA, absent, Status::SUCCESS, "(none)"},     // removed
      {DBM::ANY_DATA, "v4", Status::INFEASIBLE_ERROR, "(none)"},  // any, but missing
  };
  for (const Case& c : cases) {
    // The selectors reach the worker through copies of buffers that are gone.
    std::string key = "k";
    StatusFuture future = adbm.CompareExchange(key, c.expected, c.desired);
    key.assign("garbage");
    EXPECT_EQ(future.Get(), c.code) << c.expected << " -> " << c.desired;
    EXPECT_EQ(ValueOf("k"), c.value_after);
  }
  // The same selectors through the multi form; an ANY_DATA byte copy is data.
  ASSERT_TRUE(dbm_->Set("x", "1").IsOK());
  const std::string any_bytes(DBM::ANY_DATA);
  EXPECT_EQ(adbm.CompareExchangeMulti({{"x", any_bytes}}, {{"x", "2"}}).Get(),
            Status::INFEASIBLE_ERROR);
  EXPECT_EQ(adbm.CompareExchangeMulti({{"x", DBM::ANY_DATA}, {"y", absent}},
                                      {{"x", absent}, {"y", "3"}})
                .Get(),
            Status::SUCCESS);
  EXPECT_EQ(ValueOf("x"), "(none)");
  EXPECT_EQ(ValueOf("y"), "3");
}

TEST_F(AsyncDBMTest, ArgumentsAreCopiedBeforeTheCallReturns) {
  AsyncDBM adbm(dbm_, 1);
  GateFile gate;
  StatusFuture blocked = adbm.ImportFromFlatRecords(&gate);
  std::vector<StatusFuture> futures;
  {
    std::string key = "key";
    std::string value = "value";
    std::vector<std::string> keys = {"m1", "m2"};
    std::vector<std::string_view> key_views(keys.begin(), keys.end());
    std::map<std::string, std::string> owned = {{"m1", "one"}, {"m2", "two"}};
    std::map<std::string_view, std::string_view> records(owned.begin(), owned.end());
    futures.push_back(adbm.Set(key, value));
    futures.push_back(adbm.SetMulti(records));
    futures.push_back(adbm.Append(key, value, key));
    futures.push_back(adbm.GetMulti(key_views));
    key.assign(100, 'x');
    value.assign(100, 'y');
    for (auto& [k, v] : owned) v.assign(50, 'z');
    for (std::string& k : keys) k.assign(40, 'w');
  }
  EXPECT_FALSE(blocked.Wait(0));
  EXPECT_FALSE(futures.back().Wait(0.01));
  gate.Release();
  EXPECT_TRUE(blocked.Wait());
  EXPECT_EQ(blocked.Get(), Status::SUCCESS);
  for (size_t i = 0; i + 1 < futures.size(); i++) EXPECT_EQ(futures[i].Get(), Status::SUCCESS);
  EXPECT_EQ(ValueOf("key"), "valuekeyvalue");
  // The key views of GetMulti were copied before their strings changed.
  EXPECT_EQ(futures.back().GetStringMap(),
            std::make_pair(Status(), StatusFuture::StringMap{{"m1", "one"}, {"m2", "two"}}));
}

TEST_F(AsyncDBMTest, FetchOfAnotherKindOrTwiceFailsWithoutWaiting) {
  AsyncDBM adbm(dbm_, 1);
  StatusFuture future = adbm.Get("k");
  EXPECT_EQ(future.Get(), Status::PRECONDITION_ERROR);
  EXPECT_EQ(future.GetInteger().first, Status::PRECONDITION_ERROR);
  EXPECT_EQ(future.GetString().first, Status::NOT_FOUND_ERROR);
  EXPECT_EQ(future.GetString().first, Status::PRECONDITION_ERROR);
  EXPECT_TRUE(future.Wait(0));

  StatusFuture empty;
  EXPECT_TRUE(empty.Wait());
  EXPECT_EQ(empty.GetExtraType(), typeid(void));
  EXPECT_EQ(empty.Get(), Status::PRECONDITION_ERROR);

  // Moving hands over the pending result.
  StatusFuture moved = adbm.Set("k", "v");
  StatusFuture target;
  target = std::move(moved);
  EXPECT_EQ(target.Get(), Status::SUCCESS);
}

TEST_F(AsyncDBMTest, DestructionFinishesAFullQueue) {
  constexpr int kNum = 20000;
  std::vector<StatusFuture> futures;
  GateFile gate;
  {
    AsyncDBM adbm(dbm_, 3);
    futures.push_back(adbm.ImportFromFlatRecords(&gate));
    for (int i = 0; i < kNum; i++) futures.push_back(adbm.Set(std::to_string(i), "v"));
    // Dropped futures do not hold their operations back.
    for (int i = 0; i < 100; i++) adbm.Set("dropped" + std::to_string(i), "v");
    gate.Release();
  }
  for (auto& future : futures) {
    ASSERT_TRUE(future.Wait(0));
    EXPECT_EQ(future.Get(), Status::SUCCESS);
  }
  EXPECT_EQ(dbm_->CountSimple(), kNum + 100);
}

TEST_F(AsyncDBMTest, OperationsAfterTheDatabaseClosed) {
  std::vector<StatusFuture> futures;
  GateFile gate;
  std::weak_ptr<DBM> watch = dbm_;
  {
    AsyncDBM adbm(dbm_, 2);
    futures.push_back(adbm.ImportFromFlatRecords(&gate));
    futures.push_back(adbm.ImportFromFlatRecords(&gate));
    // Queued while the database is open, run after it closed and after the
    // caller dropped its own share.
    StatusFuture set = adbm.Set("a", "b");
    StatusFuture get = adbm.Get("a");
    StatusFuture pop = adbm.PopFirst();
    ASSERT_TRUE(dbm_->Close().IsOK());
    dbm_.reset();
    EXPECT_FALSE(watch.expired());
    gate.Release();
    EXPECT_EQ(set.Get(), Status::PRECONDITION_ERROR);
    EXPECT_EQ(get.GetString().first, Status::PRECONDITION_ERROR);
    EXPECT_EQ(pop.GetStringPair().first, Status::PRECONDITION_ERROR);
    // Handed over after the close.
    EXPECT_EQ(adbm.Increment("n").GetInteger().first, Status::PRECONDITION_ERROR);
    EXPECT_EQ(adbm.Clear().Get(), Status::PRECONDITION_ERROR);
  }
  // The adapter and its tasks were the last holders.
  EXPECT_TRUE(watch.expired());
}

TEST_F(AsyncDBMTest, SharedExportDestinationOutlivesTheCaller) {
  AsyncDBM adbm(dbm_, 1);
  ASSERT_TRUE(dbm_->Set("a", "1").IsOK());
  GateFile gate;
  StatusFuture blocked = adbm.ImportFromFlatRecords(&gate);
  auto dest = std::make_shared<TinyDBM>(7);
  ASSERT_TRUE(dest->Open("", true).IsOK());
  std::weak_ptr<TinyDBM> watch = dest;
  StatusFuture exported = adbm.Export(std::shared_ptr<DBM>(dest));
  dest.reset();
  EXPECT_FALSE(watch.expired());
  gate.Release();
  EXPECT_EQ(exported.Get(), Status::SUCCESS);
  EXPECT_EQ(blocked.Get(), Status::SUCCESS);
  // The task that held the last share is gone once its result is delivered.
  EXPECT_EQ(adbm.Get("a").GetString().first, Status::SUCCESS);
  EXPECT_TRUE(watch.expired());
}

TEST_F(AsyncDBMTest, WaitWithATimeoutOnAPendingOperation) {
  AsyncDBM adbm(dbm_, 1);
  GateFile gate;
  StatusFuture blocked = adbm.ImportFromFlatRecords(&gate);
  StatusFuture set = adbm.Set("k", "v");
  EXPECT_FALSE(set.Wait(0));
  EXPECT_FALSE(set.Wait(0.001));
  EXPECT_FALSE(set.Wait(std::nan("")));
  gate.Release();
  EXPECT_TRUE(set.Wait(std::numeric_limits<double>::infinity()));
  EXPECT_TRUE(set.Wait(-1));
  EXPECT_TRUE(set.Wait(0));
  EXPECT_EQ(set.Get(), Status::SUCCESS);
  EXPECT_EQ(blocked.Get(), Status::SUCCESS);
}

}  // namespace
}  // namespace morvel
