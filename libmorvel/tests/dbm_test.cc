// The default bodies of DBM, exercised through TinyDBM, which overrides none.

#include "morvel/dbm.h"

#include <gtest/gtest.h>

#include <cmath>

#include "morvel/mem_dbm.h"
#include "morvel/str_util.h"

namespace morvel {
namespace {

class DBMDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dbm_.Open("", true).IsOK()); }
  std::string ValueOf(std::string_view key) {
    std::string value;
    return dbm_.Get(key, &value).IsOK() ? value : "(none)";
  }
  TinyDBM dbm_{97};
};

TEST(DBMMarkersTest, MarkersAreDistinctAndRecognisedByAddress) {
  const std::string_view any = DBM::ANY_DATA;
  const std::string_view noop = DBM::RecordProcessor::NOOP;
  const std::string_view remove = DBM::RecordProcessor::REMOVE;
  EXPECT_NE(any.data(), noop.data());
  EXPECT_NE(noop.data(), remove.data());
  EXPECT_NE(any.data(), remove.data());
  // A value with the marker's bytes is an ordinary value.
  TinyDBM dbm(7);
  ASSERT_TRUE(dbm.Open("", true).IsOK());
  const std::string copy(DBM::RecordProcessor::REMOVE);
  ASSERT_TRUE(dbm.Set("k", copy).IsOK());
  std::string value;
  ASSERT_TRUE(dbm.Get("k", &value).IsOK());
  EXPECT_EQ(value, copy);
}

TEST(DBMMarkersTest, BaseProcessorAndLambdaAnswers) {
  DBM::RecordProcessor base;
  EXPECT_EQ(base.ProcessFull("k", "v").data(), DBM::RecordProcessor::NOOP.data());
  EXPECT_EQ(base.ProcessEmpty("k").data(), DBM::RecordProcessor::NOOP.data());
  std::string seen;
  DBM::RecordProcessorLambda lambda([&](std::string_view key, std::string_view value) {
    seen = value.data() == DBM::RecordProcessor::NOOP.data() ? "missing" : std::string(value);
    return key;
  });
  EXPECT_EQ(lambda.ProcessFull("k", "v"), "k");
  EXPECT_EQ(seen, "v");
  lambda.ProcessEmpty("k");
  EXPECT_EQ(seen, "missing");
}

TEST(DBMMarkersTest, CallProcessorEnforcesTheReadOnlyRule) {
  DBM::RecordProcessorLambda setter(
      [](std::string_view, std::string_view) { return std::string_view("new"); });
  const std::string_view value = "old";
  Status status;
  EXPECT_EQ(CallProcessor(&setter, "k", &value, true, &status), "new");
  EXPECT_TRUE(status.IsOK());
  EXPECT_EQ(CallProcessor(&setter, "k", &value, false, &status).data(),
            DBM::RecordProcessor::NOOP.data());
  EXPECT_EQ(status, Status::PRECONDITION_ERROR);
  EXPECT_NE(status.GetMessage().find("read-only"), std::string::npos);
}

TEST_F(DBMDefaultsTest, ReadOnlyProcessChangesNothing) {
  ASSERT_TRUE(dbm_.Set("k", "v").IsOK());
  for (const std::string_view answer :
       {DBM::RecordProcessor::REMOVE, std::string_view("changed")}) {
    const Status status = dbm_.Process(
        "k", [answer](std::string_view, std::string_view) { return answer; }, false);
    EXPECT_EQ(status, Status::PRECONDITION_ERROR);
    EXPECT_EQ(ValueOf("k"), "v");
  }
  const Status status = dbm_.Process(
      "missing", [](std::string_view, std::string_view) { return std::string_view("x"); }, false);
  EXPECT_EQ(status, Status::PRECONDITION_ERROR);
  EXPECT_EQ(ValueOf("missing"), "(none)");
}

TEST_F(DBMDefaultsTest, Increment) {
  int64_t current = 0;
  // Reading a missing counter gives the initial value and creates nothing.
  ASSERT_TRUE(dbm_.Increment("c", INT64_MIN, &current, 40).IsOK());
  EXPECT_EQ(current, 40);
  EXPECT_EQ(ValueOf("c"), "(none)");
  ASSERT_TRUE(dbm_.Increment("c", 2, &current, 40).IsOK());
  EXPECT_EQ(current, 42);
  EXPECT_EQ(ValueOf("c"), IntToStrBigEndian(42));
  ASSERT_TRUE(dbm_.Increment("c", -50, &current).IsOK());
  EXPECT_EQ(current, -8);
  ASSERT_TRUE(dbm_.Increment("c", INT64_MIN, &current).IsOK());
  EXPECT_EQ(current, -8);
  // Wraps on overflow.
  ASSERT_TRUE(dbm_.Set("w", IntToStrBigEndian(INT64_MAX)).IsOK());
  ASSERT_TRUE(dbm_.Increment("w", 1, &current).IsOK());
  EXPECT_EQ(current, INT64_MIN);
  // A short stored value is read as an unsigned number of its length.
  ASSERT_TRUE(dbm_.Set("s", "\x01").IsOK());
  ASSERT_TRUE(dbm_.Increment("s", 1, &current).IsOK());
  EXPECT_EQ(current, 2);
}

TEST_F(DBMDefaultsTest, CompareExchange) {
  const std::string_view absent;
  const std::string_view any = DBM::ANY_DATA;
  const struct {
    const char* initial;  // null: no record
    std::string_view expected;
    std::string_view desired;
    int32_t code;
    const char* after;
    bool found;
  } cases[] = {
      {nullptr, absent, "new", Status::SUCCESS, "new", false},
      {nullptr, "x", "new", Status::INFEASIBLE_ERROR, "(none)", false},
      {nullptr, any, "new", Status::INFEASIBLE_ERROR, "(none)", false},
      {nullptr, absent, absent, Status::SUCCESS, "(none)", false},
      {nullptr, absent, any, Status::SUCCESS, "(none)", false},
      {"old", "old", "new", Status::SUCCESS, "new", true},
      {"old", "other", "new", Status::INFEASIBLE_ERROR, "old", true},
      {"old", "ol", "new", Status::INFEASIBLE_ERROR, "old", true},
      {"old", absent, "new", Status::INFEASIBLE_ERROR, "old", true},
      {"old", any, "new", Status::SUCCESS, "new", true},
      {"old", "old", absent, Status::SUCCESS, "(none)", true},
      {"old", any, any, Status::SUCCESS, "old", true},
      {"", "", "e", Status::SUCCESS, "e", true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(dbm_.Clear().IsOK());
    if (c.initial != nullptr) {
      ASSERT_TRUE(dbm_.Set("k", c.initial).IsOK());
    }
    std::string actual = "junk";
    bool found = !c.found;
    const Status status = dbm_.CompareExchange("k", c.expected, c.desired, &actual, &found);
    const std::string label = std::string(c.initial ? c.initial : "null") + " / " +
                              std::string(c.expected.data() ? c.expected : "absent");
    EXPECT_EQ(status.GetCode(), c.code) << label;
    EXPECT_EQ(ValueOf("k"), c.after) << label;
    EXPECT_EQ(found, c.found) << label;
    EXPECT_EQ(actual, c.initial ? c.initial : "") << label;
  }
}

TEST_F(DBMDefaultsTest, CompareExchangeMultiIsAllOrNothing) {
  ASSERT_TRUE(dbm_.Set("a", "1").IsOK());
  ASSERT_TRUE(dbm_.Set("b", "2").IsOK());
  // One failing expectation: nothing changes.
  EXPECT_EQ(dbm_.CompareExchangeMulti({{"a", "1"}, {"b", "wrong"}}, {{"a", "10"}, {"c", "30"}}),
            Status::INFEASIBLE_ERROR);
  EXPECT_EQ(ValueOf("a"), "1");
  EXPECT_EQ(ValueOf("c"), "(none)");
  // All hold: every desired pair applies, absent removes.
  EXPECT_TRUE(dbm_.CompareExchangeMulti({{"a", "1"}, {"b", DBM::ANY_DATA}, {"c", {}}},
                                        {{"a", "10"}, {"b", {}}, {"c", "30"}})
                  .IsOK());
  EXPECT_EQ(ValueOf("a"), "10");
  EXPECT_EQ(ValueOf("b"), "(none)");
  EXPECT_EQ(ValueOf("c"), "30");
}

TEST_F(DBMDefaultsTest, Rekey) {
  ASSERT_TRUE(dbm_.Set("old", "v").IsOK());
  ASSERT_TRUE(dbm_.Set("taken", "t").IsOK());
  std::string value;
  EXPECT_EQ(dbm_.Rekey("missing", "x"), Status::NOT_FOUND_ERROR);
  EXPECT_EQ(ValueOf("x"), "(none)");
  EXPECT_EQ(dbm_.Rekey("old", "taken", false), Status::DUPLICATION_ERROR);
  EXPECT_EQ(ValueOf("old"), "v");
  EXPECT_EQ(ValueOf("taken"), "t");
  EXPECT_TRUE(dbm_.Rekey("old", "copy", true, true).IsOK());
  EXPECT_EQ(ValueOf("old"), "v");
  EXPECT_EQ(ValueOf("copy"), "v");
  EXPECT_TRUE(dbm_.Rekey("old", "taken", true, false, &value).IsOK());
  EXPECT_EQ(value, "v");
  EXPECT_EQ(ValueOf("old"), "(none)");
  EXPECT_EQ(ValueOf("taken"), "v");
  // Regression: rekeying a record onto its own key used to remove it.
  EXPECT_TRUE(dbm_.Rekey("taken", "taken").IsOK());
  EXPECT_EQ(ValueOf("taken"), "v");
  EXPECT_EQ(dbm_.Rekey("taken", "taken", false), Status::DUPLICATION_ERROR);
}

TEST_F(DBMDefaultsTest, MultiOperationsKeepTheFirstFailure) {
  ASSERT_TRUE(dbm_.Set("b", "old").IsOK());
  EXPECT_EQ(dbm_.SetMulti({{"a", "1"}, {"b", "2"}, {"c", "3"}}, false),
            Status::DUPLICATION_ERROR);
  EXPECT_EQ(ValueOf("a"), "1");
  EXPECT_EQ(ValueOf("b"), "old");
  EXPECT_EQ(ValueOf("c"), "3");
  std::map<std::string, std::string> records;
  EXPECT_EQ(dbm_.GetMulti({"a", "zz", "c"}, &records), Status::NOT_FOUND_ERROR);
  EXPECT_EQ(records, (std::map<std::string, std::string>{{"a", "1"}, {"c", "3"}}));
  EXPECT_EQ(dbm_.RemoveMulti({"a", "missing", "b"}), Status::NOT_FOUND_ERROR);
  EXPECT_EQ(ValueOf("a"), "(none)");
  EXPECT_EQ(ValueOf("b"), "(none)");
  EXPECT_TRUE(dbm_.AppendMulti({{"c", "x"}, {"d", "y"}}, "-").IsOK());
  EXPECT_EQ(ValueOf("c"), "3-x");
  EXPECT_EQ(ValueOf("d"), "y");
  // On a read-only failure every kind stops at once.
  TinyDBM closed;
  EXPECT_EQ(closed.SetMulti({{"a", "1"}}), Status::PRECONDITION_ERROR);
  EXPECT_EQ(closed.RemoveMulti({"a"}), Status::PRECONDITION_ERROR);
}

TEST_F(DBMDefaultsTest, PushLastMakesIncreasingTimeKeys) {
  std::string key1, key2, key3;
  ASSERT_TRUE(dbm_.PushLast("first", 100.0, &key1).IsOK());
  ASSERT_TRUE(dbm_.PushLast("second", 100.0, &key2).IsOK());
  EXPECT_EQ(StrToIntBigEndian(key1), 10000000000LL);
  EXPECT_EQ(StrToIntBigEndian(key2), 10000000001LL) << "a clash takes the next number";
  ASSERT_TRUE(dbm_.PushLast("now", -1, &key3).IsOK());
  EXPECT_GT(key3, key2);
  EXPECT_EQ(ValueOf(key2), "second");
  EXPECT_EQ(dbm_.CountSimple(), 3);
}

TEST_F(DBMDefaultsTest, ExportCopiesEveryRecordAndKeepsOthers) {
  for (int i = 0; i < 50; i++) {
    ASSERT_TRUE(dbm_.Set(std::to_string(i), "v" + std::to_string(i)).IsOK());
  }
  TinyDBM dest(13);
  ASSERT_TRUE(dest.Open("", true).IsOK());
  ASSERT_TRUE(dest.Set("other", "o").IsOK());
  ASSERT_TRUE(dbm_.Export(&dest).IsOK());
  EXPECT_EQ(dest.CountSimple(), 51);
  std::string value;
  ASSERT_TRUE(dest.Get("7", &value).IsOK());
  EXPECT_EQ(value, "v7");
  // Regression: exporting into itself used to deadlock on its own lock.
  EXPECT_TRUE(dbm_.Export(&dbm_).IsOK());
  EXPECT_EQ(dbm_.CountSimple(), 50);
  // A destination that refuses is reported.
  TinyDBM closed;
  EXPECT_EQ(dbm_.Export(&closed), Status::PRECONDITION_ERROR);
}

TEST_F(DBMDefaultsTest, SimpleFormsOnFailure) {
  TinyDBM closed;
  EXPECT_EQ(closed.CountSimple(), -1);
  EXPECT_EQ(closed.GetFileSizeSimple(), -1);
  EXPECT_TRUE(std::isnan(closed.GetTimestampSimple()));
  EXPECT_FALSE(closed.ShouldBeRebuiltSimple());
}

}  // namespace
}  // namespace morvel
