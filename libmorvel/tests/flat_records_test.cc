// Tests of the flat-record writer and reader, including damaged input.

#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "morvel/file_impl.h"
#include "morvel/flat_records.h"
#include "test_util.h"

namespace morvel {
namespace {

using Records = std::vector<std::pair<std::string, std::string>>;

class FlatRecordsTest : public morvel_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_TRUE(file_.Open(Path("records.flat"), true).IsOK());
  }

  void TearDown() override {
    file_.Close();
    TempDirTest::TearDown();
  }

  // Replaces the file content with |data|.
  void Reset(const std::string& data) {
    ASSERT_TRUE(file_.Truncate(0).IsOK());
    ASSERT_TRUE(file_.Append(data.data(), data.size()).IsOK());
  }

  std::string Content() { return file_.ReadSimple(0, file_.GetSizeSimple()); }

  // Reads records until a failure; gives the records and the final status.
  Status ReadAllRecords(Records* records, int64_t offset = 0, int64_t end_offset = -1) {
    FlatRecordReader reader(&file_, offset, end_offset);
    while (true) {
      std::string key, value;
      Status status = reader.ReadRecord(&key, &value);
      if (!status.IsOK()) return status;
      records->emplace_back(key, value);
    }
  }

  MemoryMapParallelFile file_;
};

TEST_F(FlatRecordsTest, RoundTripOfBinaryData) {
  const Records records = {
      {"", ""},
      {std::string("\0", 1), std::string("\0\0\xff", 3)},
      {"key", std::string(70000, 'v')},  // larger than the reader's chunk
      {std::string(200, '\xff'), "x"},   // magic bytes inside the data
      {"last", ""},
  };
  {
    // A small buffer makes the writer flush many times.
    FlatRecordWriter writer(&file_, 16);
    for (const auto& [key, value] : records) ASSERT_TRUE(writer.WriteRecord(key, value).IsOK());
    ASSERT_TRUE(writer.Flush().IsOK());
  }
  Records read;
  EXPECT_EQ(Status::NOT_FOUND_ERROR, ReadAllRecords(&read).GetCode());
  EXPECT_EQ(records, read);

  // Frame by frame, with offsets that walk the whole file.
  FlatRecordReader reader(&file_);
  std::string_view data;
  for (const auto& [key, value] : records) {
    ASSERT_TRUE(reader.Read(&data).IsOK());
    EXPECT_EQ(key, data);
    ASSERT_TRUE(reader.Read(&data).IsOK());
    EXPECT_EQ(value, data);
  }
  EXPECT_EQ(file_.GetSizeSimple(), reader.GetOffset());
  EXPECT_EQ(Status::NOT_FOUND_ERROR, reader.Read(&data).GetCode());
}

TEST_F(FlatRecordsTest, WriterAppendsAfterExistingContent) {
  Reset("head");
  {
    FlatRecordWriter writer(&file_);
    ASSERT_TRUE(writer.WriteRecord("k", "v").IsOK());
    // The destructor flushes.
  }
  EXPECT_EQ(std::string("head\xff\x01k\xff\x01v", 10), Content());
  Records read;
  EXPECT_EQ(Status::NOT_FOUND_ERROR, ReadAllRecords(&read, 4).GetCode());
  EXPECT_EQ(Records({{"k", "v"}}), read);
}

TEST_F(FlatRecordsTest, EndOffsetStopsTheReader) {
  {
    FlatRecordWriter writer(&file_);
    ASSERT_TRUE(writer.WriteRecord("a", "1").IsOK());
    ASSERT_TRUE(writer.WriteRecord("b", "2").IsOK());
  }
  Records read;
  EXPECT_EQ(Status::NOT_FOUND_ERROR, ReadAllRecords(&read, 0, 6).GetCode());
  EXPECT_EQ(Records({{"a", "1"}}), read);
  read.clear();
  // An end inside a frame cuts that frame short.
  EXPECT_EQ(Status::BROKEN_DATA_ERROR, ReadAllRecords(&read, 0, 8).GetCode());
  EXPECT_EQ(Records({{"a", "1"}}), read);
}

TEST_F(FlatRecordsTest, EveryTruncationIsDetected) {
  const Records records = {{"alpha", "one"}, {"", std::string(300, 'z')}, {"c", ""}};
  {
    FlatRecordWriter writer(&file_);
    for (const auto& [key, value] : records) ASSERT_TRUE(writer.WriteRecord(key, value).IsOK());
  }
  const std::string whole = Content();
  // The ends of the records, where a cut is a clean end.
  std::vector<size_t> ends;
  size_t pos = 0;
  for (const auto& [key, value] : records) {
    pos += 2 + key.size() + (value.size() < 128 ? 2 : 3) + value.size();
    ends.push_back(pos);
  }
  ASSERT_EQ(whole.size(), ends.back());
  for (size_t cut = 0; cut < whole.size(); cut++) {
    SCOPED_TRACE(cut);
    Reset(whole.substr(0, cut));
    size_t complete = 0;
    while (complete < ends.size() && ends[complete] <= cut) complete++;
    const bool at_boundary = cut == 0 || (complete > 0 && ends[complete - 1] == cut);
    Records read;
    const Status status = ReadAllRecords(&read);
    EXPECT_EQ(at_boundary ? Status::NOT_FOUND_ERROR : Status::BROKEN_DATA_ERROR,
              status.GetCode());
    EXPECT_EQ(Records(records.begin(), records.begin() + complete), read);
  }
}

TEST_F(FlatRecordsTest, DamagedFramesAreBrokenData) {
  const std::string good = std::string("\xff\x01k\xff\x01v", 6);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"bad magic", std::string("\x00\x01k\xff\x01v", 6)},
      {"bad magic of the value", std::string("\xff\x01k\x7f\x01v", 6)},
      {"bad magic after a good record", good + "garbage"},
      {"length past the end", std::string("\xff\x05k\xff\x01v", 6)},
      {"value length past the end", std::string("\xff\x01k\xff\x02v", 6)},
      {"huge length", std::string("\xff\xff\xff\xff\xff\xff\xff\xff\x7f", 9)},
      {"varint without end", std::string("\xff") + std::string(12, '\x80')},
      {"varint cut by the end", std::string("\xff\x80", 2)},
      {"magic alone", std::string("\xff", 1)},
      {"key without a value", good + std::string("\xff\x01k", 3)},
  };
  for (const auto& [name, data] : cases) {
    SCOPED_TRACE(name);
    Reset(data);
    Records read;
    EXPECT_EQ(Status::BROKEN_DATA_ERROR, ReadAllRecords(&read).GetCode());
    // Only whole records before the damage come out.
    EXPECT_LE(read.size(), 1u);
    for (const auto& record : read) EXPECT_EQ(std::make_pair(std::string("k"), std::string("v")), record);
  }
}

}  // namespace
}  // namespace morvel
