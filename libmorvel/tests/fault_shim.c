// Failing system calls for the fault-injection test.
//
// This file is linked into the test executable, whose dynamic symbols come
// before libc's: the engine's calls of the functions below land here. Each one
// forwards to the next definition (libc's, or a sanitizer's) unless the test
// armed a failure for it. Written in C so that the definitions match libc's
// declarations exactly.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include "fault_shim.h"

static atomic_int g_armed;
static atomic_long g_calls;
static atomic_long g_fail_at;
static atomic_int g_mode;
static const char* _Atomic g_failed_call;

void FaultArm(long fail_at, int mode) {
  atomic_store(&g_calls, 0);
  atomic_store(&g_fail_at, fail_at);
  atomic_store(&g_mode, mode);
  atomic_store(&g_failed_call, (const char*)NULL);
  atomic_store(&g_armed, 1);
}

void FaultDisarm(void) { atomic_store(&g_armed, 0); }

long FaultCalls(void) { return atomic_load(&g_calls); }

const char* FaultFailedCall(void) { return atomic_load(&g_failed_call); }

// Counts the call and returns whether it is to fail.
static int ShouldFail(const char* name) {
  if (!atomic_load(&g_armed)) return 0;
  const long n = atomic_fetch_add(&g_calls, 1) + 1;
  const long at = atomic_load(&g_fail_at);
  if (at <= 0 || n < at) return 0;
  if (n > at && atomic_load(&g_mode) != FAULT_STICKY) return 0;
  if (n == at) atomic_store(&g_failed_call, name);
  return 1;
}

static int FailErrno(void) { return atomic_load(&g_mode) == FAULT_TORN ? ENOSPC : EIO; }

// The next definition of |name|, looked up once.
#define REAL(name)                          \
  static __typeof__(&name) real_##name;     \
  if (real_##name == NULL) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

ssize_t pwrite(int fd, const void* buf, size_t size, off_t off) {
  REAL(pwrite);
  if (ShouldFail("pwrite")) {
    // A torn write puts the first half of the data in place before failing.
    if (atomic_load(&g_mode) == FAULT_TORN && size > 1) real_pwrite(fd, buf, size / 2, off);
    errno = FailErrno();
    return -1;
  }
  return real_pwrite(fd, buf, size, off);
}

ssize_t pwrite64(int fd, const void* buf, size_t size, off64_t off) {
  REAL(pwrite64);
  if (ShouldFail("pwrite64")) {
    if (atomic_load(&g_mode) == FAULT_TORN && size > 1) real_pwrite64(fd, buf, size / 2, off);
    errno = FailErrno();
    return -1;
  }
  return real_pwrite64(fd, buf, size, off);
}

ssize_t write(int fd, const void* buf, size_t size) {
  REAL(write);
  if (ShouldFail("write")) {
    if (atomic_load(&g_mode) == FAULT_TORN && size > 1) real_write(fd, buf, size / 2);
    errno = FailErrno();
    return -1;
  }
  return real_write(fd, buf, size);
}

int fsync(int fd) {
  REAL(fsync);
  if (ShouldFail("fsync")) {
    errno = EIO;
    return -1;
  }
  return real_fsync(fd);
}

int fdatasync(int fd) {
  REAL(fdatasync);
  if (ShouldFail("fdatasync")) {
    errno = EIO;
    return -1;
  }
  return real_fdatasync(fd);
}

int msync(void* addr, size_t size, int flags) {
  REAL(msync);
  if (ShouldFail("msync")) {
    errno = EIO;
    return -1;
  }
  return real_msync(addr, size, flags);
}

int ftruncate(int fd, off_t size) {
  REAL(ftruncate);
  if (ShouldFail("ftruncate")) {
    errno = FailErrno();
    return -1;
  }
  return real_ftruncate(fd, size);
}

int ftruncate64(int fd, off64_t size) {
  REAL(ftruncate64);
  if (ShouldFail("ftruncate64")) {
    errno = FailErrno();
    return -1;
  }
  return real_ftruncate64(fd, size);
}

int fallocate(int fd, int mode, off_t off, off_t size) {
  REAL(fallocate);
  if (ShouldFail("fallocate")) {
    errno = ENOSPC;
    return -1;
  }
  return real_fallocate(fd, mode, off, size);
}

int fallocate64(int fd, int mode, off64_t off, off64_t size) {
  REAL(fallocate64);
  if (ShouldFail("fallocate64")) {
    errno = ENOSPC;
    return -1;
  }
  return real_fallocate64(fd, mode, off, size);
}

int posix_fallocate(int fd, off_t off, off_t size) {
  REAL(posix_fallocate);
  if (ShouldFail("posix_fallocate")) return ENOSPC;
  return real_posix_fallocate(fd, off, size);
}

int posix_fallocate64(int fd, off64_t off, off64_t size) {
  REAL(posix_fallocate64);
  if (ShouldFail("posix_fallocate64")) return ENOSPC;
  return real_posix_fallocate64(fd, off, size);
}

int rename(const char* old_path, const char* new_path) {
  REAL(rename);
  if (ShouldFail("rename")) {
    errno = EIO;
    return -1;
  }
  return real_rename(old_path, new_path);
}
