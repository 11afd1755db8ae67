// Tests that the hash database puts a new file in place of the old one
// durably: the new file is synchronized before it is renamed over the
// database, and the directory after. The test program interposes pwrite,
// fdatasync, fsync and rename to log them, so it is a program of its own; the
// databases use the positional file class, whose writes are pwrite calls.

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "morvel/file.h"
#include "morvel/hash_dbm.h"
#include "morvel/hash_util.h"
#include "hash_dbm_test_util.h"

namespace {

struct Event {
  std::string call;  // "write", "sync" or "rename"
  std::string path;  // what was synchronized, or the new name
  std::string from;  // the old name of a rename
};

std::mutex g_mutex;
std::vector<Event> g_events;

std::string FdPath(int fd) {
  char buf[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t size = readlink(link.c_str(), buf, sizeof(buf));
  return size < 0 ? std::string() : std::string(buf, size);
}

void Log(Event event) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_events.push_back(std::move(event));
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t size, off_t off) {
  static const auto real =
      reinterpret_cast<ssize_t (*)(int, const void*, size_t, off_t)>(dlsym(RTLD_NEXT, "pwrite"));
  Log({"write", FdPath(fd), ""});
  return real(fd, buf, size, off);
}

extern "C" int fdatasync(int fd) {
  static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fdatasync"));
  Log({"sync", FdPath(fd), ""});
  return real(fd);
}

extern "C" int fsync(int fd) {
  static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
  Log({"sync", FdPath(fd), ""});
  return real(fd);
}

extern "C" int rename(const char* old_path, const char* new_path) {
  static const auto real =
      reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
  Log({"rename", new_path, old_path});
  return real(old_path, new_path);
}

namespace morvel {
namespace {

using namespace hash_test;

const ParamMap kParams = {{"num_buckets", "7"}, {"file", "PositionalParallelFile"}};

class HashDBMSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.clear();
  }

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_events;
  }

  // The new file at |tmp_path| was renamed over |path| once, synchronized
  // before that and the directory after.
  void ExpectDurableRename(const std::string& tmp_path, const std::string& path) {
    const std::vector<Event> events = Events();
    size_t rename_at = events.size();
    for (size_t i = 0; i < events.size(); i++) {
      if (events[i].call == "rename" && events[i].from == tmp_path && events[i].path == path) {
        EXPECT_EQ(events.size(), rename_at) << "renamed twice";
        rename_at = i;
      }
    }
    ASSERT_LT(rename_at, events.size()) << "no rename of " << tmp_path;
    // A synchronization of the new file after its last write.
    bool file_synced = false;
    for (size_t i = 0; i < rename_at; i++) {
      if (events[i].path == tmp_path) {
        file_synced = events[i].call == "sync" || (file_synced && events[i].call != "write");
      }
    }
    EXPECT_TRUE(file_synced) << "the new file was not synchronized before the rename";
    bool dir_synced = false;
    for (size_t i = rename_at + 1; i < events.size(); i++) {
      dir_synced |= events[i].call == "sync" && events[i].path + "/" == dir_.Path("");
    }
    EXPECT_TRUE(dir_synced) << "the directory was not synchronized after the rename";
  }

  TempDir dir_;
};

// Rebuild renamed the new file over the database without synchronizing it or
// the directory, so a power cut could leave an empty or missing database.
TEST_F(HashDBMSyncTest, RebuildReplacesTheFileDurably) {
  const std::string path = dir_.Path("rebuild.mvh");
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, kParams));
  for (int i = 0; i < 50; i++) {
    ASSERT_EQ(Status::SUCCESS, dbm.Set("key" + std::to_string(i), "value"));
  }
  SetUp();
  ASSERT_EQ(Status::SUCCESS, dbm.Rebuild());
  ExpectDurableRename(path + ".tmp.rebuild", path);
  EXPECT_EQ(50, dbm.CountSimple());
  ASSERT_EQ(Status::SUCCESS, dbm.Close());
}

// Restoring at open renamed the restored file over the database the same way.
TEST_F(HashDBMSyncTest, RestoreAtOpenReplacesTheFileDurably) {
  const std::string path = dir_.Path("restore.mvh");
  {
    HashDBM dbm;
    ASSERT_EQ(Status::SUCCESS,
              dbm.OpenAdvanced(path, true, File::OPEN_TRUNCATE, kParams));
    for (int i = 0; i < 50; i++) {
      ASSERT_EQ(Status::SUCCESS, dbm.Set("key" + std::to_string(i), "value"));
    }
    ASSERT_EQ(Status::SUCCESS, dbm.Close());
  }
  // Clears the cleanly-closed flag, keeping the header's checksum valid.
  std::string data = ReadWholeFile(path);
  data[32] = 0;
  const uint32_t crc = HashCRC32(data.data() + 32, 48);
  for (int i = 0; i < 4; i++) data[80 + i] = static_cast<char>(crc >> (24 - 8 * i));
  WriteWholeFile(path, data);

  SetUp();
  HashDBM dbm;
  ASSERT_EQ(Status::SUCCESS, dbm.OpenAdvanced(path, true, 0, kParams));
  ExpectDurableRename(path + ".tmp.restore", path);
  EXPECT_TRUE(dbm.IsHealthy());
  EXPECT_EQ(50, dbm.CountSimple());
  ASSERT_EQ(Status::SUCCESS, dbm.Close());
}

}  // namespace
}  // namespace morvel
