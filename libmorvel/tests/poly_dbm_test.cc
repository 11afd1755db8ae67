#include "morvel/poly_dbm.h"

#include <gtest/gtest.h>

#include "morvel/mem_dbm.h"
#include "test_util.h"

namespace morvel {
namespace {

class PolyDBMTest : public morvel_test::TempDirTest {};

std::string InspectClass(DBM* dbm) {
  for (const auto& item : dbm->Inspect()) {
    if (item.first == "class") return item.second;
  }
  return "";
}

TEST_F(PolyDBMTest, ChooseClassName) {
  const struct {
    const char* path;
    ParamMap params;
    const char* expected;
  } cases[] = {
      {"", {}, "TinyDBM"},
      {"x.mvh", {}, "HashDBM"},
      {"x.unknown", {}, "HashDBM"},
      {"noext", {}, "HashDBM"},
      {"x.mvt", {}, "TreeDBM"},
      {"x.TREE", {}, "TreeDBM"},
      {"x.mvmt", {}, "TinyDBM"},
      {"/d.mvmb/x.mvmb", {}, "BabyDBM"},
      {"x.mvmc", {}, "CacheDBM"},
      {"x.mvh", {{"dbm", "baby"}}, "BabyDBM"},
      {"", {{"dbm", "BabyDBM"}}, "BabyDBM"},
      {"", {{"dbm", "TREEDBM"}}, "TreeDBM"},
      {"", {{"dbm", "Tiny"}}, "TinyDBM"},
  };
  for (const auto& c : cases) {
    std::string name;
    ASSERT_TRUE(PolyDBM::ChooseClassName(c.path, c.params, &name).IsOK()) << c.path;
    EXPECT_EQ(name, c.expected) << c.path;
  }
  std::string name;
  EXPECT_EQ(PolyDBM::ChooseClassName("x.mvh", {{"dbm", "bogus"}}, &name),
            Status::INVALID_ARGUMENT_ERROR);
}

TEST_F(PolyDBMTest, OpensTheChosenClassAndForwards) {
  PolyDBM dbm;
  EXPECT_EQ(dbm.Get("a"), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm.MakeIterator()->First(), Status::PRECONDITION_ERROR);
  EXPECT_EQ(dbm.GetInternalDBM(), nullptr);
  // A shard count is accepted by every class.
  ASSERT_TRUE(dbm.OpenAdvanced(Path("a.mvmb"), true, 0,
                               {{"num_shards", "3"}, {"key_comparator", "decimal"}})
                  .IsOK());
  EXPECT_EQ(InspectClass(&dbm), "BabyDBM");
  EXPECT_TRUE(dbm.IsOrdered());
  EXPECT_NE(dynamic_cast<BabyDBM*>(dbm.GetInternalDBM()), nullptr);
  ASSERT_TRUE(dbm.Set("10", "x").IsOK());
  ASSERT_TRUE(dbm.Set("9", "y").IsOK());
  int64_t current = 0;
  ASSERT_TRUE(dbm.Increment("50", 5, &current).IsOK());
  std::string key;
  ASSERT_TRUE(dbm.PopFirst(&key).IsOK());
  EXPECT_EQ(key, "9");
  EXPECT_EQ(dbm.OpenAdvanced("", true, 0, {}), Status::PRECONDITION_ERROR);
  ASSERT_TRUE(dbm.Close().IsOK());
  EXPECT_FALSE(dbm.IsOpen());
  EXPECT_EQ(dbm.Get("10"), Status::PRECONDITION_ERROR);
  // Reopening finds what was saved.
  ASSERT_TRUE(dbm.OpenAdvanced(Path("a.mvmb"), false, 0, {{"key_comparator", "decimal"}}).IsOK());
  std::string value;
  ASSERT_TRUE(dbm.Get("10", &value).IsOK());
  EXPECT_EQ(value, "x");
  EXPECT_EQ(dbm.CountSimple(), 2);
}

TEST_F(PolyDBMTest, UnknownNames) {
  PolyDBM dbm;
  EXPECT_EQ(dbm.OpenAdvanced("", true, 0, {{"dbm", "nosuch"}}), Status::INVALID_ARGUMENT_ERROR);
  std::unique_ptr<DBM> made;
  EXPECT_EQ(PolyDBM::MakeDBMByName("nosuch", &made), Status::INVALID_ARGUMENT_ERROR);
  ASSERT_TRUE(PolyDBM::MakeDBMByName("tiny", &made).IsOK());
  EXPECT_NE(dynamic_cast<TinyDBM*>(made.get()), nullptr);
}

TEST_F(PolyDBMTest, ExportIntoItselfIsHarmless) {
  PolyDBM dbm;
  ASSERT_TRUE(dbm.Open("", true).IsOK());
  ASSERT_TRUE(dbm.Set("a", "1").IsOK());
  EXPECT_TRUE(dbm.Export(&dbm).IsOK());
  EXPECT_EQ(dbm.CountSimple(), 1);
}

TEST_F(PolyDBMTest, RestoreDatabaseOfAMemoryFile) {
  const std::string path = Path("src.mvmt");
  {
    PolyDBM dbm;
    ASSERT_TRUE(dbm.Open(path, true).IsOK());
    for (int i = 0; i < 20; i++) {
      ASSERT_TRUE(dbm.Set("k" + std::to_string(i), "v").IsOK());
    }
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  const std::string restored = Path("dest.mvmt");
  // The class comes from the extension; the parameter text is parsed and ignored.
  ASSERT_TRUE(PolyDBM::RestoreDatabase(path, restored, "", -1, "num_buckets=10, x = y").IsOK());
  PolyDBM dbm;
  ASSERT_TRUE(dbm.Open(restored, false).IsOK());
  EXPECT_EQ(dbm.CountSimple(), 20);
  // Named as a tree database, a memory file is not one.
  EXPECT_EQ(PolyDBM::RestoreDatabase(path, Path("t"), "tree", -1),
            Status::BROKEN_DATA_ERROR);
  EXPECT_EQ(PolyDBM::RestoreDatabase(path, Path("t"), "nosuch", -1),
            Status::INVALID_ARGUMENT_ERROR);
  EXPECT_EQ(PolyDBM::RestoreDatabase(Path("missing.mvmt"), Path("t"), "", -1),
            Status::NOT_FOUND_ERROR);
}

TEST_F(PolyDBMTest, RestoreDetectsAHashFileByItsHeadBeforeTheExtension) {
  // A hash database in a file whose extension names a memory class.
  const std::string path = Path("misnamed.mvmt");
  {
    PolyDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, {{"dbm", "hash"}, {"num_buckets", "100"}}).IsOK());
    EXPECT_EQ(InspectClass(&dbm), "HashDBM");
    for (int i = 0; i < 10; i++) {
      ASSERT_TRUE(dbm.Set(std::to_string(i), "v").IsOK());
    }
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  const std::string restored = Path("restored.mvh");
  ASSERT_TRUE(PolyDBM::RestoreDatabase(path, restored, "", -1, "num_buckets=50").IsOK());
  PolyDBM dbm;
  ASSERT_TRUE(dbm.Open(restored, false).IsOK());
  EXPECT_EQ(InspectClass(&dbm), "HashDBM");
  EXPECT_EQ(dbm.CountSimple(), 10);
}

}  // namespace
}  // namespace morvel
