// The record behind a File object, and the engine file it holds.
//
// Lifetime: the engine file is a GuardedFile shared by the File object with
// every call in flight with the interpreter lock released (its own methods,
// and DBM and AsyncDBM transfers that read or write it). Close and
// deallocation close it at once (releasing its file lock) and drop the File's
// share; a holder of another share then gets PRECONDITION_ERROR from the
// closed file, never freed memory.

#ifndef MORVEL_PYTHON_FILE_FILE_H_
#define MORVEL_PYTHON_FILE_FILE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <shared_mutex>
#include <string>
#include <typeinfo>

#include "engine/engine.h"

// A PolyFile whose opening and closing never race its other calls. The engine
// file may be used by several threads at once, but its Open and Close must not
// overlap another call; here every call holds |mutex_| shared and Open and
// Close hold it exclusively, so a Close from one Python thread waits for a read
// or an append of another to finish, and the calls after it get
// PRECONDITION_ERROR. Safe to call from several threads at once.
class GuardedFile final : public morvel::File {
 public:
  GuardedFile() = default;

  morvel::Status Open(const std::string& path, bool writable,
                      int32_t options = OPEN_DEFAULT) override;
  morvel::Status OpenAdvanced(const std::string& path, bool writable, int32_t options,
                              const morvel::ParamMap& params);
  morvel::Status Close() override;
  morvel::Status Read(int64_t off, void* buf, size_t size) override;
  morvel::Status Write(int64_t off, const void* buf, size_t size) override;
  morvel::Status Append(const void* buf, size_t size, int64_t* off = nullptr) override;
  morvel::Status Expand(size_t inc_size, int64_t* old_size = nullptr) override;
  morvel::Status Truncate(int64_t size) override;
  morvel::Status Synchronize(bool hard, int64_t off = 0, int64_t size = 0) override;
  morvel::Status GetSize(int64_t* size) override;
  morvel::Status SetAllocationStrategy(int64_t init_size, double inc_factor) override;
  morvel::Status GetPath(std::string* path) override;
  morvel::Status Rename(const std::string& new_path) override;
  bool IsOpen() const override;
  bool IsMemoryMapping() const override;
  bool IsAtomic() const override;
  std::unique_ptr<morvel::File> MakeFile() const override;

  // The name of the concrete class the engine chose ("StdFile", ..., or
  // "unknown" when it is none of the five), the path ("" on failure) and the
  // size (-1 on failure). Never waits: while an Open or Close of another thread
  // holds the file, it gives "unknown", "" and -1.
  void Describe(std::string* class_name, std::string* path, int64_t* size);

 private:
  // Guards the opening and closing of |file_| (see the class comment).
  mutable std::shared_mutex mutex_;
  morvel::PolyFile file_;
};

struct FileObject {
  PyObject_HEAD
  // The shared engine file; null while the File is not open. Held through a
  // heap pointer because the object record is raw memory.
  std::shared_ptr<GuardedFile>* file;
  // Whether engine calls release the interpreter lock.
  bool concurrent;
};

#endif  // MORVEL_PYTHON_FILE_FILE_H_
