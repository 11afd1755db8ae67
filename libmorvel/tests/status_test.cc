#include "morvel/status.h"

#include <gtest/gtest.h>

#include <sstream>

namespace morvel {
namespace {

TEST(StatusTest, CodeNamesCoverEveryCodeAndNothingElse) {
  const struct {
    int32_t code;
    const char* name;
  } cases[] = {
      {0, "SUCCESS"},          {1, "UNKNOWN_ERROR"},          {2, "SYSTEM_ERROR"},
      {3, "NOT_IMPLEMENTED_ERROR"}, {4, "PRECONDITION_ERROR"}, {5, "INVALID_ARGUMENT_ERROR"},
      {6, "CANCELED_ERROR"},   {7, "NOT_FOUND_ERROR"},        {8, "PERMISSION_ERROR"},
      {9, "INFEASIBLE_ERROR"}, {10, "DUPLICATION_ERROR"},     {11, "BROKEN_DATA_ERROR"},
      {12, "NETWORK_ERROR"},   {13, "APPLICATION_ERROR"},     {14, "unnamed error"},
      {-1, "unnamed error"},   {INT32_MIN, "unnamed error"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(StatusCodeName(c.code), c.name) << c.code;
  }
}

TEST(StatusTest, MessageAbsentDiffersFromEmpty) {
  const Status bare(Status::NOT_FOUND_ERROR);
  const Status empty(Status::NOT_FOUND_ERROR, "");
  EXPECT_FALSE(bare.HasMessage());
  EXPECT_TRUE(empty.HasMessage());
  EXPECT_EQ(ToString(bare), "NOT_FOUND_ERROR");
  EXPECT_EQ(ToString(empty), "NOT_FOUND_ERROR: ");
  EXPECT_EQ(ToString(Status(Status::SYSTEM_ERROR, "disk")), "SYSTEM_ERROR: disk");
  std::ostringstream os;
  os << Status(Status::SUCCESS, "ok");
  EXPECT_EQ(os.str(), "SUCCESS: ok");
}

TEST(StatusTest, CopyDuplicatesAndMoveTakesTheMessage) {
  Status original(Status::BROKEN_DATA_ERROR, "bad frame");
  Status copy(original);
  EXPECT_NE(copy.GetMessagePtr(), original.GetMessagePtr());
  EXPECT_EQ(copy.GetMessage(), "bad frame");
  const char* ptr = original.GetMessagePtr();
  Status moved(std::move(original));
  EXPECT_EQ(moved.GetMessagePtr(), ptr);
  EXPECT_FALSE(original.HasMessage());

  Status target(Status::APPLICATION_ERROR, "a much longer message than the source");
  target = copy;
  EXPECT_EQ(target, Status::BROKEN_DATA_ERROR);
  EXPECT_EQ(target.GetMessage(), "bad frame");
  target = Status(Status::SUCCESS);
  EXPECT_FALSE(target.HasMessage());
  Status& self = target;
  target = self;
  EXPECT_TRUE(target.IsOK());
}

TEST(StatusTest, MessageStopsAtFirstZeroByteAndReleaseHandsOverBuffer) {
  Status status;
  ASSERT_TRUE(status.SetRaw(Status::UNKNOWN_ERROR, "ab\0cd", 5));
  EXPECT_EQ(status.GetMessage(), "ab");
  EXPECT_EQ(ToString(status), "UNKNOWN_ERROR: ab");
  char* buf = status.ReleaseMessage();
  ASSERT_NE(buf, nullptr);
  EXPECT_FALSE(status.HasMessage());
  free(buf);
}

TEST(StatusTest, JoinKeepsTheFirstFailure) {
  Status status;
  status |= Status();
  EXPECT_TRUE(status.IsOK());
  status |= Status(Status::NOT_FOUND_ERROR, "first");
  status |= Status(Status::SYSTEM_ERROR, "second");
  EXPECT_EQ(status, Status::NOT_FOUND_ERROR);
  EXPECT_EQ(status.GetMessage(), "first");
}

}  // namespace
}  // namespace morvel
