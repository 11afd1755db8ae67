// Platform facts and clocks, read from the C library and /proc.

#include "morvel/lib_common.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#ifndef MORVEL_PACKAGE_VERSION
#define MORVEL_PACKAGE_VERSION "0.0.0"
#endif

namespace morvel {

namespace {

int32_t ReadPageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<int32_t>(size) : 4096;
}

// Reads the "NAME:  1234 kB" line of a /proc file and returns it in bytes.
int64_t ReadProcKiloBytes(const char* path, const char* name) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    return -1;
  }
  const size_t name_size = std::strlen(name);
  int64_t result = -1;
  char line[256];
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    if (std::strncmp(line, name, name_size) == 0 && line[name_size] == ':') {
      long long kb = 0;
      if (std::sscanf(line + name_size + 1, "%lld", &kb) == 1 && kb >= 0) {
        result = static_cast<int64_t>(kb) * 1024;
      }
      break;
    }
  }
  std::fclose(file);
  return result;
}

}  // namespace

const char* const PACKAGE_VERSION = MORVEL_PACKAGE_VERSION;
const char* const OS_NAME = "Linux";
const int32_t PAGE_SIZE = ReadPageSize();

double GetWallTime() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 1e9;
}

int64_t GetMemoryCapacity() {
  return ReadProcKiloBytes("/proc/meminfo", "MemTotal");
}

int64_t GetMemoryUsage() {
  return ReadProcKiloBytes("/proc/self/status", "VmRSS");
}

}  // namespace morvel
