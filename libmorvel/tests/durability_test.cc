// What reaches the device and in which order, and what a full disk does.
//
// A binary of its own: it interposes fsync, fdatasync and rename (the
// library's calls resolve to the definitions below first) to log the order
// of the calls, and it mounts small file systems in private mount namespaces.

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "morvel/file.h"
#include "morvel/mem_dbm.h"
#include "morvel/poly_dbm.h"
#include "morvel/poly_file.h"
#include "test_util.h"

namespace {

// The logged calls: the call's name and the path it acted on.
std::mutex log_mutex;
std::atomic<bool> logging(false);
std::vector<std::pair<std::string, std::string>> call_log;

std::string PathOfDescriptor(int fd) {
  char buf[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t size = readlink(link.c_str(), buf, sizeof(buf));
  return size > 0 ? std::string(buf, size) : "";
}

void LogCall(const char* name, const std::string& path) {
  if (!logging.load()) return;
  std::lock_guard<std::mutex> lock(log_mutex);
  call_log.emplace_back(name, path);
}

template <typename Func>
Func RealFunction(const char* name) {
  return reinterpret_cast<Func>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  static const auto real = RealFunction<int (*)(int)>("fsync");
  LogCall("fsync", PathOfDescriptor(fd));
  return real(fd);
}

extern "C" int fdatasync(int fd) {
  static const auto real = RealFunction<int (*)(int)>("fdatasync");
  LogCall("fsync", PathOfDescriptor(fd));
  return real(fd);
}

extern "C" int rename(const char* old_path, const char* new_path) {
  static const auto real = RealFunction<int (*)(const char*, const char*)>("rename");
  LogCall("rename", new_path);
  return real(old_path, new_path);
}

namespace morvel {
namespace {

class DurabilityTest : public morvel_test::TempDirTest {
 protected:
  void StartLog() {
    std::lock_guard<std::mutex> lock(log_mutex);
    call_log.clear();
    logging.store(true);
  }

  std::vector<std::pair<std::string, std::string>> StopLog() {
    logging.store(false);
    std::lock_guard<std::mutex> lock(log_mutex);
    return call_log;
  }

  // Checks that |log| syncs |synced| (the new file under its old name), then
  // renames onto |path|, then syncs the directory.
  void ExpectDurableRename(const std::vector<std::pair<std::string, std::string>>& log,
                           const std::string& synced, const std::string& path) {
    std::string text;
    for (const auto& [name, arg] : log) text += name + " " + arg + "\n";
    SCOPED_TRACE(text);
    size_t rename_index = log.size();
    for (size_t i = 0; i < log.size(); i++) {
      if (log[i] == std::make_pair(std::string("rename"), path)) rename_index = i;
    }
    ASSERT_LT(rename_index, log.size());
    bool file_synced = false;
    for (size_t i = 0; i < rename_index; i++) {
      file_synced |= log[i] == std::make_pair(std::string("fsync"), synced);
    }
    EXPECT_TRUE(file_synced);
    bool dir_synced = false;
    for (size_t i = rename_index + 1; i < log.size(); i++) {
      dir_synced |= log[i] == std::make_pair(std::string("fsync"), dir_);
    }
    EXPECT_TRUE(dir_synced);
  }
};

// Regression: a rename over a file was not preceded by a sync of the new file
// nor followed by one of the directory, so a crash could leave the name on
// unwritten data, or the old file back.
TEST_F(DurabilityTest, FileRenameSyncsTheFileBeforeAndTheDirectoryAfter) {
  for (const char* class_name : {"StdFile", "PositionalParallelFile", "PositionalAtomicFile",
                                 "MemoryMapParallelFile", "MemoryMapAtomicFile"}) {
    SCOPED_TRACE(class_name);
    const std::string path = Path(std::string(class_name) + ".dat");
    auto file = PolyFile::MakeFileByName(class_name);
    ASSERT_TRUE(file->Open(path + ".tmp", true).IsOK());
    ASSERT_TRUE(file->Append("data", 4).IsOK());
    StartLog();
    ASSERT_TRUE(file->Rename(path).IsOK());
    ExpectDurableRename(StopLog(), path + ".tmp", path);
    ASSERT_TRUE(file->Close().IsOK());
  }
}

TEST_F(DurabilityTest, MemoryDatabaseSavesRenameDurably) {
  const std::string path = Path("db.mvmt");
  TinyDBM dbm;
  ASSERT_TRUE(dbm.Open(path, true).IsOK());
  ASSERT_TRUE(dbm.Set("key", "value").IsOK());
  StartLog();
  ASSERT_TRUE(dbm.Synchronize(false).IsOK());
  ExpectDurableRename(StopLog(), path + ".tmp", path);
  StartLog();
  ASSERT_TRUE(dbm.Close().IsOK());
  ExpectDurableRename(StopLog(), path + ".tmp", path);
}

// Runs |body| in a child process whose mount namespace has a file system of
// |size| bytes mounted on the test directory; the child's exit status comes
// back, or -1 when it was killed (the signal in |*signal|). Skips when the
// environment cannot mount.
constexpr int kCannotMount = 77;

int RunOnSmallDisk(const std::string& dir, const char* size, const std::function<int()>& body,
                   int* signal) {
  const pid_t pid = fork();
  if (pid < 0) return -2;
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 &&
        unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      _exit(kCannotMount);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) != 0) {
      _exit(kCannotMount);
    }
    _exit(body());
  }
  int wstatus = 0;
  if (waitpid(pid, &wstatus, 0) != pid) return -2;
  if (WIFSIGNALED(wstatus)) {
    *signal = WTERMSIG(wstatus);
    return -1;
  }
  return WEXITSTATUS(wstatus);
}

// Regression: with the default memory-mapped file class, a full disk killed
// the process with SIGBUS; growth now reserves blocks first, so it is an error
// of the call, and the file stays usable.
TEST_F(DurabilityTest, FullDiskIsAnErrorForMappedFiles) {
  for (const char* class_name : {"MemoryMapParallelFile", "MemoryMapAtomicFile"}) {
    SCOPED_TRACE(class_name);
    const std::string path = Path("full.dat");
    int signal = 0;
    const int code = RunOnSmallDisk(dir_, "1m", [&] {
      auto file = PolyFile::MakeFileByName(class_name);
      if (!file->SetAllocationStrategy(4096, 2.0).IsOK()) return 10;
      if (!file->Open(path, true).IsOK()) return 11;
      const std::string chunk(50000, 'x');
      Status status;
      int64_t written = 0;
      for (int i = 0; i < 1000 && status.IsOK(); i++) {
        status = file->Append(chunk.data(), chunk.size());
        if (status.IsOK()) written += chunk.size();
      }
      if (status != Status::SYSTEM_ERROR) return 12;
      if (status.GetMessage().find("fallocate") == std::string::npos) return 13;
      if (file->GetSizeSimple() != written || written == 0) return 14;
      if (file->ReadSimple(written - chunk.size(), chunk.size()) != chunk) return 15;
      if (!file->Append("small", 5).IsOK()) return 16;
      if (!file->Synchronize(true).IsOK()) return 17;
      if (!file->Close().IsOK()) return 18;
      if (!file->Open(path, false).IsOK() || file->GetSizeSimple() != written + 5) return 19;
      return 0;
    }, &signal);
    if (code == kCannotMount) GTEST_SKIP() << "cannot mount a small file system here";
    EXPECT_EQ(0, signal);
    EXPECT_EQ(0, code);
  }
}

TEST_F(DurabilityTest, FullDiskIsAnErrorForTheHashDatabase) {
  const std::string path = Path("full.mvh");
  int signal = 0;
  const int code = RunOnSmallDisk(dir_, "2m", [&] {
    PolyDBM dbm;
    if (!dbm.OpenAdvanced(path, true, 0, {{"num_buckets", "1000"}}).IsOK()) return 10;
    const std::string value(5000, 'v');
    Status status;
    int num_set = 0;
    for (int i = 0; i < 10000 && status.IsOK(); i++) {
      status = dbm.Set("key" + std::to_string(i), value);
      if (status.IsOK()) num_set++;
    }
    if (status != Status::SYSTEM_ERROR) return 11;
    std::string got;
    if (num_set == 0 || !dbm.Get("key0", &got).IsOK() || got != value) return 12;
    dbm.Close();
    return 0;
  }, &signal);
  if (code == kCannotMount) GTEST_SKIP() << "cannot mount a small file system here";
  EXPECT_EQ(0, signal);
  EXPECT_EQ(0, code);
}

}  // namespace
}  // namespace morvel
