// Tests of export, import, key lines and the search modes.

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "morvel/dbm_util.h"
#include "morvel/file_impl.h"
#include "morvel/mem_dbm.h"
#include "test_util.h"

namespace morvel {
namespace {

using Strings = std::vector<std::string>;

class DBMUtilTest : public morvel_test::TempDirTest {
 protected:
  // An open memory database, ordered (BabyDBM) or not (TinyDBM).
  static std::unique_ptr<DBM> MakeDBM(bool ordered) {
    std::unique_ptr<DBM> dbm;
    if (ordered) {
      dbm = std::make_unique<BabyDBM>();
    } else {
      dbm = std::make_unique<TinyDBM>(101);
    }
    EXPECT_TRUE(dbm->Open("", true).IsOK());
    return dbm;
  }

  static std::map<std::string, std::string> AllRecords(DBM* dbm) {
    std::map<std::string, std::string> records;
    dbm->ProcessEach(
        [&](std::string_view key, std::string_view value) -> std::string_view {
          records.emplace(key, value);
          return DBM::RecordProcessor::NOOP;
        },
        false);
    return records;
  }

  std::unique_ptr<File> OpenFile(const std::string& name) {
    auto file = std::make_unique<PositionalParallelFile>();
    EXPECT_TRUE(file->Open(Path(name), true).IsOK());
    return file;
  }

};

const std::map<std::string, std::string> kTransferRecords = {
    {"", "empty key"},
    {std::string("nul\0key", 7), std::string("\0value\0", 7)},
    {"big", std::string(100000, 'b')},
    {"empty value", ""},
    {"\xff\xfe", "high bytes"},
};

TEST_F(DBMUtilTest, ExportImportRoundTrip) {
  for (const bool ordered : {false, true}) {
    SCOPED_TRACE(ordered ? "ordered" : "unordered");
    auto src = MakeDBM(ordered);
    auto records = morvel_test::RandomRecords(300, 6, 300);
    records.insert(kTransferRecords.begin(), kTransferRecords.end());
    for (const auto& [key, value] : records) ASSERT_TRUE(src->Set(key, value).IsOK());
    auto file = OpenFile(ordered ? "ordered.flat" : "unordered.flat");
    ASSERT_TRUE(ExportDBMToFlatRecords(src.get(), file.get()).IsOK());
    const int64_t one_size = file->GetSizeSimple();
    // A second export appends after the first.
    ASSERT_TRUE(src->Set("extra", "x").IsOK());
    ASSERT_TRUE(ExportDBMToFlatRecords(src.get(), file.get()).IsOK());
    EXPECT_LT(2 * one_size, file->GetSizeSimple());

    auto dest = MakeDBM(ordered);
    ASSERT_TRUE(dest->Set("kept", "old").IsOK());
    ASSERT_TRUE(ImportDBMFromFlatRecords(dest.get(), file.get()).IsOK());
    auto expected = records;
    expected["extra"] = "x";
    expected["kept"] = "old";
    EXPECT_EQ(expected, AllRecords(dest.get()));
  }
}

TEST_F(DBMUtilTest, ImportStopsAtDamageKeepingWhatCameBefore) {
  auto src = MakeDBM(true);
  ASSERT_TRUE(src->Set("a", "1").IsOK());
  ASSERT_TRUE(src->Set("b", "2").IsOK());
  auto file = OpenFile("damaged.flat");
  ASSERT_TRUE(ExportDBMToFlatRecords(src.get(), file.get()).IsOK());
  // A cut second record: its key frame alone.
  ASSERT_TRUE(file->Truncate(file->GetSizeSimple() - 3).IsOK());
  auto dest = MakeDBM(true);
  EXPECT_EQ(Status::BROKEN_DATA_ERROR, ImportDBMFromFlatRecords(dest.get(), file.get()).GetCode());
  EXPECT_EQ((std::map<std::string, std::string>{{"a", "1"}}), AllRecords(dest.get()));

  // Text that is not flat records at all.
  ASSERT_TRUE(file->Truncate(0).IsOK());
  ASSERT_TRUE(file->Append("hello\n", 6).IsOK());
  auto other = MakeDBM(false);
  EXPECT_EQ(Status::BROKEN_DATA_ERROR, ImportDBMFromFlatRecords(other.get(), file.get()).GetCode());
  EXPECT_EQ(0, other->CountSimple());

  // An empty file imports nothing, successfully.
  ASSERT_TRUE(file->Truncate(0).IsOK());
  EXPECT_TRUE(ImportDBMFromFlatRecords(other.get(), file.get()).IsOK());
  EXPECT_EQ(0, other->CountSimple());
}

TEST_F(DBMUtilTest, ExportFailureLeavesTheFileAsItWas) {
  auto src = MakeDBM(false);
  ASSERT_TRUE(src->Set("a", "1").IsOK());
  auto file = OpenFile("readonly.flat");
  ASSERT_TRUE(file->Append("head", 4).IsOK());
  ASSERT_TRUE(file->Close().IsOK());
  ASSERT_TRUE(file->Open(Path("readonly.flat"), false).IsOK());
  EXPECT_NE(Status::SUCCESS, ExportDBMToFlatRecords(src.get(), file.get()).GetCode());
  EXPECT_NE(Status::SUCCESS, ExportDBMKeysAsLines(src.get(), file.get()).GetCode());
  EXPECT_EQ("head", file->ReadSimple(0, file->GetSizeSimple()));
}

TEST_F(DBMUtilTest, KeysAsLines) {
  auto dbm = MakeDBM(true);
  for (const char* key : {"b", "a", "c d", ""}) ASSERT_TRUE(dbm->Set(key, "v").IsOK());
  auto file = OpenFile("keys.txt");
  ASSERT_TRUE(file->Append("#\n", 2).IsOK());
  ASSERT_TRUE(ExportDBMKeysAsLines(dbm.get(), file.get()).IsOK());
  EXPECT_EQ("#\n\na\nb\nc d\n", file->ReadSimple(0, file->GetSizeSimple()));

  // The lines read back by the text search are the keys.
  Strings lines;
  ASSERT_TRUE(SearchTextFileModal(file.get(), "contain", "", &lines).IsOK());
  EXPECT_EQ(Strings({"#", "", "a", "b", "c d"}), lines);
}

const Strings kSearchKeys = {
    "app",   "apple",      "Apple pie", "apple-tart", "applesauce", "banana", "crab apple",
    "grape", "pineapple", "café",      "cafes",      "日本語",     "日本ab",
};

struct SearchCase {
  const char* mode;
  const char* pattern;
  size_t capacity;
  Strings expected;  // in the order of an ordered database
};

// Predicate and edit modes; expected in byte order, or nearest first.
const std::vector<SearchCase> kSearchCases = {
    {"contain", "apple", 0, {"apple", "apple-tart", "applesauce", "crab apple", "pineapple"}},
    {"contain", "apple", 2, {"apple", "apple-tart"}},
    {"contain", "", 0, {"Apple pie", "app", "apple", "apple-tart", "applesauce", "banana",
                        "cafes", "café", "crab apple", "grape", "pineapple", "日本ab", "日本語"}},
    {"contain", "zzz", 0, {}},
    {"containcase", "APPLE", 0,
     {"Apple pie", "apple", "apple-tart", "applesauce", "crab apple", "pineapple"}},
    {"containword", "apple", 0, {"apple", "apple-tart", "crab apple"}},
    {"containword", "Apple", 0, {"Apple pie"}},
    {"containword", "caf", 0, {}},
    {"containword", "tart", 0, {"apple-tart"}},
    {"begin", "app", 0, {"app", "apple", "apple-tart", "applesauce"}},
    {"begin", "日本", 0, {"日本ab", "日本語"}},
    {"end", "apple", 0, {"apple", "crab apple", "pineapple"}},
    {"end", "", 1, {"Apple pie"}},
    {"regex", "^a.*e$", 0, {"apple", "applesauce"}},
    {"regex", "(?i)^apple", 0, {"Apple pie", "apple", "apple-tart", "applesauce"}},
    {"regex", "^.本", 0, {"日本ab", "日本語"}},
    {"regex", "an", 1, {"banana"}},
    // Anchored literal prefixes: a quantified last letter, an escape, an
    // alternation and a capacity.
    {"regex", "^applex?", 0, {"apple", "apple-tart", "applesauce"}},
    {"regex", "^apple\\-t", 0, {"apple-tart"}},
    {"regex", "^crab|^pine", 0, {"crab apple", "pineapple"}},
    {"regex", "^app", 2, {"app", "apple"}},
    {"begin", "", 2, {"Apple pie", "app"}},
    {"edit", "aple", 3, {"apple", "app", "grape"}},
    {"edit", "aple", 0, {"apple", "app", "grape", "cafes", "café", "日本ab", "日本語", "banana",
                         "pineapple", "Apple pie", "apple-tart", "applesauce", "crab apple"}},
    {"edit", "日本", 2, {"日本語", "日本ab"}},
    {"editbin", "日本", 2, {"日本ab", "日本語"}},
    {"edit", "cafe", 2, {"cafes", "café"}},
    {"editbin", "cafe", 3, {"cafes", "café", "app"}},
    {"edit", "", 1, {"app"}},
};

TEST_F(DBMUtilTest, SearchModes) {
  for (const bool ordered : {false, true}) {
    auto dbm = MakeDBM(ordered);
    for (const auto& key : kSearchKeys) ASSERT_TRUE(dbm->Set(key, "v").IsOK());
    for (const auto& c : kSearchCases) {
      SCOPED_TRACE(std::string(ordered ? "ordered " : "unordered ") + c.mode + " \"" +
                   c.pattern + "\" " + std::to_string(c.capacity));
      Strings matched = {"stale"};
      ASSERT_TRUE(SearchDBMModal(dbm.get(), c.mode, c.pattern, &matched, c.capacity).IsOK());
      const bool edit = std::string(c.mode).rfind("edit", 0) == 0;
      if (ordered || edit) {
        // Edit modes break ties by key bytes even without an order.
        EXPECT_EQ(c.expected, matched);
      } else if (c.capacity == 0) {
        std::sort(matched.begin(), matched.end());
        EXPECT_EQ(c.expected, matched);
      } else {
        // Which matches fill the capacity depends on the hash order.
        EXPECT_EQ(c.expected.size(), matched.size());
      }
    }
  }
}

TEST_F(DBMUtilTest, OrderedSearchModes) {
  auto dbm = MakeDBM(true);
  for (const char* key : {"a", "b", "c", "d", "e"}) ASSERT_TRUE(dbm->Set(key, "v").IsOK());
  const std::vector<SearchCase> cases = {
      {"upper", "b", 0, {"c", "d", "e"}},
      {"upperinc", "b", 0, {"b", "c", "d", "e"}},
      {"upperinc", "bb", 0, {"c", "d", "e"}},
      {"upper", "b", 2, {"c", "d"}},
      {"upper", "e", 0, {}},
      {"upperinc", "", 1, {"a"}},
      {"lower", "d", 0, {"c", "b", "a"}},
      {"lowerinc", "d", 0, {"d", "c", "b", "a"}},
      {"lowerinc", "cc", 0, {"c", "b", "a"}},
      {"lower", "d", 2, {"c", "b"}},
      {"lower", "a", 0, {}},
      {"lowerinc", "z", 1, {"e"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " \"" + c.pattern + "\" " + std::to_string(c.capacity));
    Strings matched;
    ASSERT_TRUE(SearchDBMModal(dbm.get(), c.mode, c.pattern, &matched, c.capacity).IsOK());
    EXPECT_EQ(c.expected, matched);
  }

  // The same modes on an unordered database are refused, naming the mode.
  auto unordered = MakeDBM(false);
  ASSERT_TRUE(unordered->Set("a", "v").IsOK());
  for (const char* mode : {"upper", "upperinc", "lower", "lowerinc"}) {
    Strings matched;
    const Status status = SearchDBMModal(unordered.get(), mode, "a", &matched);
    EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR, status.GetCode());
    EXPECT_NE(std::string::npos, status.GetMessage().find(mode));
    EXPECT_TRUE(matched.empty());
  }
}

TEST_F(DBMUtilTest, BadModesAndPatterns) {
  auto dbm = MakeDBM(true);
  ASSERT_TRUE(dbm->Set("a", "v").IsOK());
  auto file = OpenFile("lines.txt");
  ASSERT_TRUE(file->Append("a\n", 2).IsOK());
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"nosuchmode", "a"}, {"", "a"},  {"Contain", "a"},
      {"regex", "("},      {"regex", "a{2,1}"}, {"regex", "[z-a]"},
  };
  for (const auto& [mode, pattern] : cases) {
    SCOPED_TRACE(std::string(mode) + " " + pattern);
    const std::string named = std::string(mode) == "regex" ? pattern : mode;
    Strings matched;
    Status status = SearchDBMModal(dbm.get(), mode, pattern, &matched);
    EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR, status.GetCode());
    EXPECT_NE(std::string::npos, status.GetMessage().find(named));
    status = SearchTextFileModal(file.get(), mode, pattern, &matched);
    EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR, status.GetCode());
    EXPECT_NE(std::string::npos, status.GetMessage().find(named));
  }
  Strings matched;
  EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR,
            SearchTextFileModal(file.get(), "upper", "a", &matched).GetCode());
}

TEST_F(DBMUtilTest, TextFileSearch) {
  auto file = OpenFile("text.txt");
  // A line longer than a read chunk, an empty line, a last line without "\n".
  const std::string long_line = "x" + std::string(1500000, 'y') + "needle";
  const std::string text = "one\ntwo\n\n" + long_line + "\nthree needle\nlast";
  ASSERT_TRUE(file->Append(text.data(), text.size()).IsOK());
  const std::vector<SearchCase> cases = {
      {"contain", "", 0, {"one", "two", "", long_line, "three needle", "last"}},
      {"contain", "needle", 0, {long_line, "three needle"}},
      {"contain", "needle", 1, {long_line}},
      {"containword", "needle", 0, {"three needle"}},
      {"begin", "x", 0, {long_line}},
      {"end", "st", 0, {"last"}},
      {"containcase", "ONE", 0, {"one"}},
      {"regex", "^t", 0, {"two", "three needle"}},
      {"edit", "tw", 2, {"two", ""}},
      {"editbin", "lost", 1, {"last"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " \"" + c.pattern + "\" " + std::to_string(c.capacity));
    Strings matched;
    ASSERT_TRUE(SearchTextFileModal(file.get(), c.mode, c.pattern, &matched, c.capacity).IsOK());
    EXPECT_EQ(c.expected, matched);
  }

  // A final "\n" ends the last line; it does not start an empty one.
  ASSERT_TRUE(file->Truncate(0).IsOK());
  ASSERT_TRUE(file->Append("a\n\n", 3).IsOK());
  Strings matched;
  ASSERT_TRUE(SearchTextFileModal(file.get(), "contain", "", &matched).IsOK());
  EXPECT_EQ(Strings({"a", ""}), matched);
  ASSERT_TRUE(file->Truncate(0).IsOK());
  ASSERT_TRUE(SearchTextFileModal(file.get(), "contain", "", &matched).IsOK());
  EXPECT_TRUE(matched.empty());
}

}  // namespace
}  // namespace morvel
