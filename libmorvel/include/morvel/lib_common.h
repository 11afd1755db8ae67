// Platform facts and clocks. Safe to call from several threads at once.

#ifndef MORVEL_LIB_COMMON_H_
#define MORVEL_LIB_COMMON_H_

#include <cstdint>

namespace morvel {

// The project's version, e.g. "0.1.0".
extern const char* const PACKAGE_VERSION;
// The operating system's name: "Linux".
extern const char* const OS_NAME;
// The memory page size in bytes, from sysconf.
extern const int32_t PAGE_SIZE;

// Seconds since the epoch, with sub-microsecond resolution.
double GetWallTime();

// Total memory of the machine (MemTotal) in bytes, or -1 on failure.
int64_t GetMemoryCapacity();

// Resident memory of this process (VmRSS) in bytes, or -1 on failure.
int64_t GetMemoryUsage();

}  // namespace morvel

#endif  // MORVEL_LIB_COMMON_H_
