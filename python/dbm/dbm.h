// The record behind a DBM object, and what the DBM methods share.
//
// Lifetime: the engine database is held in a DBMCore shared by the DBM with
// what is made from it (iterators, asynchronous adapters) and with every call
// in flight with the interpreter lock released. Close and deallocation close
// the engine database at once (releasing its file lock) and drop the DBM's
// share; whatever still holds a share then gets PRECONDITION_ERROR from the
// closed engine object, never freed memory.

#ifndef MORVEL_PYTHON_DBM_DBM_H_
#define MORVEL_PYTHON_DBM_DBM_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>

#include "engine/engine.h"

// The state of an open database that the state queries and repr give while a
// callable of a callback method runs: the engine cannot be asked then, since
// the callable's caller may hold the locks those queries take.
struct DBMState {
  // Fixed at Open.
  std::string class_name = "unknown";
  std::string path = "-";
  bool writable = false;
  bool ordered = false;
  // Read again just before each callback call.
  bool healthy = false;
};

struct DBMCore {
  explicit DBMCore(std::unique_ptr<morvel::DBM> engine_dbm) : dbm(std::move(engine_dbm)) {}
  // The engine database: a PolyDBM or a ShardDBM.
  std::unique_ptr<morvel::DBM> dbm;
  // Above zero while a Python callable of Process, ProcessMulti or ProcessEach
  // runs on this database. Read and written only with the interpreter lock.
  int callback_depth = 0;
  // Read and written only with the interpreter lock.
  DBMState state;
  // Engine calls on this database in flight with the interpreter lock
  // released, plus one for each live asynchronous adapter, whose workers take
  // the engine's locks at any time. While it is zero, no thread can hold an
  // engine lock of this database for long: a call in concurrent mode may then
  // keep the interpreter lock for a short record operation, since it cannot
  // wait long on an engine lock (and none of the lock holders waits for the
  // interpreter lock while holding one). Read and written only with the
  // interpreter lock.
  int released_calls = 0;
  // Whether the last read of a single record in concurrent mode met a value of
  // at least kLongRecordBytes, so the next one releases the interpreter lock.
  // Read and written only with the interpreter lock.
  bool long_values = false;
};

// The size from which a record operation in concurrent mode releases the
// interpreter lock: copying that many bytes takes long enough for other
// threads to gain from running meanwhile, while below it switching threads
// costs more than the call.
constexpr size_t kLongRecordBytes = 32768;

// Releases the interpreter lock for an engine call on |core| when |release|,
// counting the call in |core->released_calls| meanwhile. Needs the
// interpreter lock at construction; retakes it at destruction.
class CoreNativeLock final {
 public:
  CoreNativeLock(DBMCore* core, bool release)
      : core_(release ? core : nullptr), thstate_(nullptr) {
    if (core_ == nullptr) return;
    core_->released_calls++;
    thstate_ = PyEval_SaveThread();
  }
  CoreNativeLock(const CoreNativeLock&) = delete;
  CoreNativeLock& operator=(const CoreNativeLock&) = delete;
  ~CoreNativeLock() {
    if (core_ == nullptr) return;
    PyEval_RestoreThread(thstate_);
    core_->released_calls--;
  }

 private:
  DBMCore* core_;
  PyThreadState* thstate_;
};

// Fills the fixed part of |core|'s state from the engine database, just
// opened; needs no interpreter lock (nothing else can see |core| yet).
void ReadFixedState(DBMCore* core);

struct DBMObject {
  PyObject_HEAD
  // The shared engine database; null while the handle is not open. Held through
  // a heap pointer because the object record is raw memory.
  std::shared_ptr<DBMCore>* dbm;
  // Whether engine calls release the interpreter lock.
  bool concurrent;
};

// The status of a call refused because a callback of the database is running.
morvel::Status BusyCallbackStatus();

// Whether a callable of a callback method is running on |core|.
inline bool IsBusyInCallback(const DBMCore& core) { return core.callback_depth > 0; }

#endif  // MORVEL_PYTHON_DBM_DBM_H_
