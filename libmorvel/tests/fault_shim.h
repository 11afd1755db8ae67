// Control of the failing system calls of fault_shim.c.
//
// While armed, every call of pwrite, write, fsync, fdatasync, msync,
// ftruncate, fallocate, posix_fallocate and rename is counted, and the
// |fail_at|-th (1-based) fails. Not meant for calls racing with FaultArm.

#ifndef MORVEL_TESTS_FAULT_SHIM_H_
#define MORVEL_TESTS_FAULT_SHIM_H_

#ifdef __cplusplus
extern "C" {
#endif

enum FaultMode {
  FAULT_ONCE = 0,    // only the |fail_at|-th call fails (EIO); later ones work
  FAULT_STICKY = 1,  // that call and every later one fail, as a device gone away
  FAULT_TORN = 2,    // that call fails with ENOSPC; a write first puts half its data
};

// Starts counting from zero; |fail_at| <= 0 only counts.
void FaultArm(long fail_at, int mode);
void FaultDisarm(void);
// The calls counted since FaultArm.
long FaultCalls(void);
// The name of the call that was failed, or null.
const char* FaultFailedCall(void);

#ifdef __cplusplus
}
#endif

#endif  // MORVEL_TESTS_FAULT_SHIM_H_
