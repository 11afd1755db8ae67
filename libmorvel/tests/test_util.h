// Shared helpers of the engine tests: a temporary directory per test and
// reproducible random records.

#ifndef MORVEL_TESTS_TEST_UTIL_H_
#define MORVEL_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>

namespace morvel_test {

// A fresh directory for each test, removed afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/morvel-test-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

// |num| records with distinct keys of |key_size| random bytes (any byte value)
// and values of 0 to |max_value_size| bytes, the same for the same seed.
inline std::map<std::string, std::string> RandomRecords(size_t num, size_t key_size,
                                                        size_t max_value_size,
                                                        uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::map<std::string, std::string> records;
  while (records.size() < num) {
    std::string key(key_size, '\0');
    for (auto& c : key) c = static_cast<char>(rng());
    std::string value(rng() % (max_value_size + 1), '\0');
    for (auto& c : value) c = static_cast<char>(rng());
    records.emplace(std::move(key), std::move(value));
  }
  return records;
}

}  // namespace morvel_test

#endif  // MORVEL_TESTS_TEST_UTIL_H_
