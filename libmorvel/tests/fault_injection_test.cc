// Failing writes and syncs: whichever system call of an operation fails, the
// database reopened afterwards holds the state before the operation or the
// state after it, exactly; an operation that reported success holds the state
// after it.
//
// fault_shim.c replaces the engine's write, sync, truncate, allocate and
// rename calls in this executable. Each case first counts the calls of one
// operation (with the Close after it), then runs it again from the same file
// once for every call, failing that call, and reopens the file writable.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "fault_shim.h"
#include "morvel/dbm.h"
#include "morvel/file.h"
#include "morvel/poly_dbm.h"
#include "test_util.h"

namespace {

using morvel::DBM;
using morvel::ParamMap;
using morvel::PolyDBM;
using morvel::Status;
using Records = std::map<std::string, std::string>;

constexpr const char* kModeNames[] = {"once", "sticky", "torn"};

// Every record of the database at |path|, opened writable (which restores it).
Status Load(const std::string& path, const ParamMap& params, Records* records) {
  records->clear();
  PolyDBM dbm;
  Status status = dbm.OpenAdvanced(path, true, 0, params);
  if (!status.IsOK()) return status;
  status = dbm.ProcessEach(
      [&](std::string_view key, std::string_view value) -> std::string_view {
        records->emplace(key, value);
        return DBM::RecordProcessor::NOOP;
      },
      false);
  int64_t count = -1;
  status |= dbm.Count(&count);
  if (status.IsOK() && count != static_cast<int64_t>(records->size())) {
    status = Status(Status::BROKEN_DATA_ERROR, "Count disagrees with the records walked");
  }
  status |= dbm.Close();
  return status;
}

Status Store(const std::string& path, const ParamMap& params, const Records& records) {
  PolyDBM dbm;
  Status status = dbm.OpenAdvanced(path, true, morvel::File::OPEN_TRUNCATE, params);
  for (const auto& [key, value] : records) {
    if (status.IsOK()) status = dbm.Set(key, value);
  }
  status |= dbm.Close();
  return status;
}

// One operation on an open database; |post| gets the records it leads to.
struct Operation {
  const char* name;
  // Whether success of |run| alone makes the change durable (else it takes a
  // successful Close as well).
  bool durable;
  // For the memory databases: changes made in memory before the failing part.
  std::function<void(DBM*, Records*)> prepare;
  std::function<Status(DBM*, Records*)> run;
};

std::string Bytes(size_t size, char c) { return std::string(size, c); }

Status SetRecord(DBM* dbm, Records* post, const std::string& key, const std::string& value) {
  (*post)[key] = value;
  return dbm->Set(key, value);
}

Status RemoveRecord(DBM* dbm, Records* post, const std::string& key) {
  post->erase(key);
  return dbm->Remove(key);
}

const Operation kHashOperations[] = {
    {"set_new", true, nullptr,
     [](DBM* dbm, Records* post) { return SetRecord(dbm, post, "fresh", Bytes(100, 'n')); }},
    {"overwrite_same_size", true, nullptr,
     [](DBM* dbm, Records* post) { return SetRecord(dbm, post, "target", Bytes(40, 's')); }},
    {"overwrite_smaller", true, nullptr,
     [](DBM* dbm, Records* post) { return SetRecord(dbm, post, "target", Bytes(5, 'm')); }},
    {"overwrite_larger", true, nullptr,
     [](DBM* dbm, Records* post) { return SetRecord(dbm, post, "target", Bytes(3000, 'l')); }},
    {"remove", true, nullptr,
     [](DBM* dbm, Records* post) { return RemoveRecord(dbm, post, "target"); }},
    {"synchronize_hard", true, nullptr, [](DBM* dbm, Records*) { return dbm->Synchronize(true); }},
    {"rebuild", true, nullptr, [](DBM* dbm, Records*) { return dbm->Rebuild(); }},
    {"rebuild_retuned", true, nullptr,
     [](DBM* dbm, Records*) {
       return dbm->RebuildAdvanced({{"num_buckets", "31"}, {"align_pow", "4"}});
     }},
};

// The memory databases write their file at Synchronize and Close only.
const Operation kMemoryOperations[] = {
    {"synchronize_hard", true,
     [](DBM* dbm, Records* post) {
       SetRecord(dbm, post, "fresh", Bytes(100, 'n'));
       SetRecord(dbm, post, "target", Bytes(40, 's'));
       RemoveRecord(dbm, post, "k007");
     },
     [](DBM* dbm, Records*) { return dbm->Synchronize(true); }},
    {"close_only", false,
     [](DBM* dbm, Records* post) { RemoveRecord(dbm, post, "target"); },
     [](DBM*, Records*) { return Status(); }},
};

struct Config {
  const char* name;
  ParamMap params;
  const char* extension;
  const Operation* operations;
  size_t num_operations;
};

std::string ConfigName(const ::testing::TestParamInfo<Config>& info) { return info.param.name; }
void PrintTo(const Config& config, std::ostream* os) { *os << config.name; }

class FaultInjectionTest : public morvel_test::TempDirTest,
                           public ::testing::WithParamInterface<Config> {};

TEST_P(FaultInjectionTest, EveryFailedCallLeavesPreOrPostState) {
  const Config& config = GetParam();
  const std::string base_path = Path(std::string("base") + config.extension);
  const std::string path = Path(std::string("db") + config.extension);
  Records base;
  for (int i = 0; i < 40; ++i) {
    char key[16];
    snprintf(key, sizeof(key), "k%03d", i);
    base[key] = Bytes(i * 7 % 90, static_cast<char>('a' + i % 26));
  }
  base["target"] = Bytes(40, 't');
  ASSERT_TRUE(Store(base_path, config.params, base).IsOK());

  int failures_seen = 0;
  for (size_t op_index = 0; op_index < config.num_operations; ++op_index) {
    const Operation& op = config.operations[op_index];
    // Runs the operation and Close on a fresh copy, failing call |fail_at|.
    // Returns the status of the operation, and of Close.
    auto attempt = [&](long fail_at, int mode, Records* pre, Records* post, Status* op_status,
                       Status* close_status) {
      std::filesystem::copy_file(base_path, path,
                                 std::filesystem::copy_options::overwrite_existing);
      PolyDBM dbm;
      ASSERT_TRUE(dbm.OpenAdvanced(path, true, 0, config.params).IsOK());
      *pre = base;
      *post = base;
      if (op.prepare) op.prepare(&dbm, post);
      FaultArm(fail_at, mode);
      *op_status = op.run(&dbm, post);
      *close_status = dbm.Close();
      FaultDisarm();
    };

    Records pre, post;
    Status op_status, close_status;
    attempt(0, FAULT_ONCE, &pre, &post, &op_status, &close_status);
    const long num_calls = FaultCalls();
    ASSERT_TRUE(op_status.IsOK()) << op.name << ": " << morvel::ToString(op_status);
    ASSERT_TRUE(close_status.IsOK()) << op.name << ": " << morvel::ToString(close_status);
    ASSERT_GT(num_calls, 0) << op.name << " made no write or sync";

    for (int mode = FAULT_ONCE; mode <= FAULT_TORN; ++mode) {
      for (long fail_at = 1; fail_at <= num_calls; ++fail_at) {
        attempt(fail_at, mode, &pre, &post, &op_status, &close_status);
        const std::string failed = FaultFailedCall() ? FaultFailedCall() : "nothing";
        SCOPED_TRACE(std::string(op.name) + ", " + kModeNames[mode] + " failure of call " +
                     std::to_string(fail_at) + " of " + std::to_string(num_calls) + " (" +
                     failed + "); operation: " + morvel::ToString(op_status) +
                     "; close: " + morvel::ToString(close_status));
        if (!op_status.IsOK() || !close_status.IsOK()) ++failures_seen;
        Records found;
        const Status status = Load(path, config.params, &found);
        if (!status.IsOK()) {
          ADD_FAILURE() << "reopen: " << morvel::ToString(status);
          continue;
        }
        // A file database has the operation's result in the file once it
        // reported success; a memory database once Synchronize did.
        const bool acknowledged = op_status.IsOK() && (op.durable || close_status.IsOK());
        if (acknowledged) {
          EXPECT_EQ(found, post) << "an acknowledged change is missing";
        } else {
          EXPECT_TRUE(found == pre || found == post)
              << "neither the state before nor after: " << found.size() << " records, "
              << pre.size() << " before, " << post.size() << " after";
        }
      }
    }
  }
  // The shim really reached the engine.
  EXPECT_GT(failures_seen, 0);
}

// A file as a crash leaves it: for a hash database, its bytes taken while it
// is open after its writes; for a memory database, a whole file followed by
// the start of a frame cut short.
void MakeDamagedFile(const Config& config, const std::string& path, const Records& records) {
  if (config.operations == kHashOperations) {
    PolyDBM dbm;
    ASSERT_TRUE(dbm.OpenAdvanced(path + ".live", true, morvel::File::OPEN_TRUNCATE,
                                 config.params).IsOK());
    for (const auto& [key, value] : records) ASSERT_TRUE(dbm.Set(key, value).IsOK());
    std::filesystem::copy_file(path + ".live", path,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(dbm.Close().IsOK());
  } else {
    ASSERT_TRUE(Store(path, config.params, records).IsOK());
    FILE* fp = fopen(path.c_str(), "ab");
    ASSERT_NE(fp, nullptr);
    fputs("\xff\x30partial", fp);
    fclose(fp);
  }
}

// The open of a damaged file restores it; a failure anywhere in that restore
// leaves a file that the next open restores to the same records.
TEST_P(FaultInjectionTest, FailedRestoreCanBeRestoredAgain) {
  const Config& config = GetParam();
  const std::string damaged_path = Path(std::string("damaged") + config.extension);
  const std::string path = Path(std::string("db") + config.extension);
  Records records;
  for (int i = 0; i < 30; ++i) {
    records["key" + std::to_string(i)] = Bytes(i * 11 % 70, static_cast<char>('A' + i % 26));
  }
  MakeDamagedFile(config, damaged_path, records);

  auto attempt = [&](long fail_at, int mode, Status* open_status) {
    std::filesystem::copy_file(damaged_path, path,
                               std::filesystem::copy_options::overwrite_existing);
    PolyDBM dbm;
    FaultArm(fail_at, mode);
    *open_status = dbm.OpenAdvanced(path, true, 0, config.params);
    if (open_status->IsOK()) dbm.Close();
    FaultDisarm();
  };
  Status open_status;
  attempt(0, FAULT_ONCE, &open_status);
  const long num_calls = FaultCalls();
  ASSERT_TRUE(open_status.IsOK()) << morvel::ToString(open_status);
  ASSERT_GT(num_calls, 0) << "the open did not restore";
  for (int mode = FAULT_ONCE; mode <= FAULT_TORN; ++mode) {
    for (long fail_at = 1; fail_at <= num_calls; ++fail_at) {
      attempt(fail_at, mode, &open_status);
      SCOPED_TRACE(std::string(kModeNames[mode]) + " failure of call " +
                   std::to_string(fail_at) + " of " + std::to_string(num_calls) + " (" +
                   (FaultFailedCall() ? FaultFailedCall() : "nothing") +
                   "); open: " + morvel::ToString(open_status));
      Records found;
      const Status status = Load(path, config.params, &found);
      if (!status.IsOK()) {
        ADD_FAILURE() << "reopen: " << morvel::ToString(status);
        continue;
      }
      EXPECT_EQ(found, records);
    }
  }
}

ParamMap HashParams(const char* file, const char* mode) {
  return {{"dbm", "hash"}, {"num_buckets", "101"}, {"file", file}, {"update_mode", mode}};
}

INSTANTIATE_TEST_SUITE_P(
    Databases, FaultInjectionTest,
    ::testing::Values(
        Config{"HashPositionalInPlace", HashParams("PositionalParallelFile", "in_place"), ".mvh",
               kHashOperations, std::size(kHashOperations)},
        Config{"HashPositionalAppending", HashParams("PositionalParallelFile", "appending"),
               ".mvh", kHashOperations, std::size(kHashOperations)},
        Config{"HashMemoryMapInPlace", HashParams("MemoryMapParallelFile", "in_place"), ".mvh",
               kHashOperations, std::size(kHashOperations)},
        Config{"TinyDBM", {{"dbm", "tiny"}}, ".mvmt", kMemoryOperations,
               std::size(kMemoryOperations)},
        Config{"BabyDBM", {{"dbm", "baby"}}, ".mvmb", kMemoryOperations,
               std::size(kMemoryOperations)}),
    ConfigName);

}  // namespace
