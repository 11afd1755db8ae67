// Helpers of the hash database tests: a temporary directory, whole-file
// reads and writes, Inspect lookups and a dump through the iterator.

#ifndef MORVEL_TESTS_HASH_DBM_TEST_UTIL_H_
#define MORVEL_TESTS_HASH_DBM_TEST_UTIL_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "morvel/dbm.h"
#include "morvel/status.h"

namespace morvel {

// Lets EXPECT_EQ compare a code with a status.
inline bool operator==(Status::Code code, const Status& status) { return status == code; }

namespace hash_test {

class TempDir {
 public:
  // Under TMPDIR, else in memory when the system has /dev/shm (the tests
  // synchronize to the device often), else /tmp.
  TempDir() {
    std::string base = "/tmp";
    if (const char* env = std::getenv("TMPDIR"); env != nullptr && *env != '\0') {
      base = env;
    } else if (access("/dev/shm", W_OK) == 0) {
      base = "/dev/shm";
    }
    std::string tmpl = base + "/morvel_hash_test.XXXXXX";
    const char* dir = mkdtemp(tmpl.data());
    path_ = dir == nullptr ? std::string("/tmp") : std::string(dir);
  }
  ~TempDir() {
    const std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "cannot remove %s\n", path_.c_str());
    }
  }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), data.size());
}

inline std::string InspectValue(DBM* dbm, const std::string& name) {
  for (const auto& pair : dbm->Inspect()) {
    if (pair.first == name) return pair.second;
  }
  return "";
}

// Every record of |dbm| through its iterator; fails the test on an error or a
// key seen twice.
inline std::map<std::string, std::string> Dump(DBM* dbm) {
  std::map<std::string, std::string> records;
  auto iter = dbm->MakeIterator();
  EXPECT_EQ(Status::SUCCESS, iter->First());
  while (true) {
    std::string key, value;
    const Status status = iter->Get(&key, &value);
    if (status == Status::NOT_FOUND_ERROR) break;
    EXPECT_EQ(Status::SUCCESS, status);
    if (!status.IsOK()) break;
    EXPECT_TRUE(records.emplace(key, value).second) << "visited twice: " << key;
    EXPECT_EQ(Status::SUCCESS, iter->Next());
  }
  return records;
}

}  // namespace hash_test
}  // namespace morvel

#endif  // MORVEL_TESTS_HASH_DBM_TEST_UTIL_H_
