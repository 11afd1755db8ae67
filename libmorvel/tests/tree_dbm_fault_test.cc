// TreeDBM write-back cut short: a Synchronize whose writes stop at any point
// (every later write failing, as when the process dies there) leaves a file
// that restores to every record as of the previous Synchronize or with a value
// it was given after it. The changes between the two split and merge leaves,
// so records move between pages while their pages wait to be written.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "fault_shim.h"
#include "morvel/file.h"
#include "morvel/tree_dbm.h"
#include "test_util.h"

namespace {

using morvel::File;
using morvel::ParamMap;
using morvel::Status;
using morvel::TreeDBM;

class TreeWriteBackTest : public morvel_test::TempDirTest {};

// Positional files write with pwrite, which the shim counts and fails.
const ParamMap kParams = {
    {"max_page_size", "256"}, {"max_branches", "6"}, {"file", "PositionalParallelFile"}};

std::string Key(int i) {
  char buf[16];
  snprintf(buf, sizeof(buf), "k%06d", i);
  return buf;
}

// The synchronized records, then the changes after them: each key maps to
// every value it had since (nullopt: removed).
struct History {
  std::map<std::string, std::string> synced;
  std::map<std::string, std::set<std::optional<std::string>>> since;
};

// Makes a synchronized tree at |path|, then changes it in memory (no write
// happens: the cache holds the whole tree) and returns the open database.
void MakeChangedTree(const std::string& path, TreeDBM* dbm, History* history) {
  ASSERT_TRUE(dbm->OpenAdvanced(path, true, File::OPEN_TRUNCATE, kParams).IsOK());
  std::mt19937 rng(5);
  for (int i = 0; i < 1500; i++) {
    const std::string key = Key(rng() % 3000);
    const std::string value(rng() % 30, 'a' + i % 26);
    ASSERT_TRUE(dbm->Set(key, value).IsOK());
    history->synced[key] = value;
  }
  ASSERT_TRUE(dbm->Synchronize(false).IsOK());
  for (int i = 0; i < 3000; i++) {
    const std::string key = Key(rng() % 3000);
    if (rng() % 3 == 0) {
      dbm->Remove(key);
      history->since[key].insert(std::nullopt);
    } else {
      const std::string value(rng() % 30, 'A' + i % 26);
      ASSERT_TRUE(dbm->Set(key, value).IsOK());
      history->since[key].insert(value);
    }
  }
}

TEST_F(TreeWriteBackTest, SynchronizeCutShortKeepsEverySynchronizedRecord) {
  const std::string path = Path("tree.mvt");
  const std::string copy = Path("copy.mvt");
  // Counts the writes of a whole Synchronize.
  long num_calls = 0;
  {
    TreeDBM dbm;
    History history;
    MakeChangedTree(path, &dbm, &history);
    FaultArm(0, FAULT_ONCE);
    ASSERT_TRUE(dbm.Synchronize(false).IsOK());
    num_calls = FaultCalls();
    FaultDisarm();
    ASSERT_TRUE(dbm.Close().IsOK());
  }
  ASSERT_GT(num_calls, 100);
  const long step = std::max<long>(1, num_calls / 60);
  for (long fail_at = 1; fail_at <= num_calls; fail_at += step) {
    TreeDBM dbm;
    History history;
    MakeChangedTree(path, &dbm, &history);
    FaultArm(fail_at, FAULT_STICKY);
    EXPECT_FALSE(dbm.Synchronize(false).IsOK()) << fail_at;
    FaultDisarm();
    // The file as the failed writes left it, restored as after a crash.
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
    TreeDBM restored;
    ASSERT_TRUE(restored.OpenAdvanced(copy, true, 0, kParams).IsOK()) << fail_at;
    EXPECT_TRUE(restored.IsHealthy());
    std::set<std::string> keys;
    for (const auto& rec : history.synced) keys.insert(rec.first);
    for (const auto& rec : history.since) keys.insert(rec.first);
    int64_t found = 0;
    for (const auto& key : keys) {
      std::string value;
      const Status status = restored.Get(key, &value);
      ASSERT_TRUE(status.IsOK() || status == Status::NOT_FOUND_ERROR) << key;
      const std::optional<std::string> got =
          status.IsOK() ? std::optional<std::string>(value) : std::nullopt;
      found += got.has_value();
      const auto synced = history.synced.find(key);
      const std::optional<std::string> before =
          synced == history.synced.end() ? std::nullopt
                                         : std::optional<std::string>(synced->second);
      const auto later = history.since.find(key);
      const bool ok = got == before ||
                      (later != history.since.end() && later->second.count(got) > 0);
      ASSERT_TRUE(ok) << "write " << fail_at << " of " << num_calls << ": " << key
                      << (got ? " found " + *got : " missing");
    }
    EXPECT_EQ(restored.CountSimple(), found);
    ASSERT_TRUE(restored.Close().IsOK());
    dbm.Close();
  }
}

}  // namespace
