// The five concrete file classes. All are safe for concurrent use by several
// threads; see File for the contract of each method.
//
//   StdFile                 buffered stream I/O under one mutex
//   PositionalParallelFile  pread/pwrite, lock-free; the logical size is atomic
//   PositionalAtomicFile    pread/pwrite under a reader-writer lock
//   MemoryMapParallelFile   mmap, grown by remapping; readers never block
//   MemoryMapAtomicFile     mmap under a reader-writer lock

#ifndef MORVEL_FILE_IMPL_H_
#define MORVEL_FILE_IMPL_H_

#include <memory>
#include <string>

#include "morvel/file.h"

namespace morvel {

#define MORVEL_FILE_METHODS(ClassName)                                              \
 public:                                                                           \
  ClassName();                                                                     \
  ~ClassName() override;                                                           \
  Status Open(const std::string& path, bool writable,                              \
              int32_t options = OPEN_DEFAULT) override;                            \
  Status Close() override;                                                         \
  Status Read(int64_t off, void* buf, size_t size) override;                       \
  Status Write(int64_t off, const void* buf, size_t size) override;                \
  Status Append(const void* buf, size_t size, int64_t* off = nullptr) override;    \
  Status Expand(size_t inc_size, int64_t* old_size = nullptr) override;            \
  Status Truncate(int64_t size) override;                                          \
  Status Synchronize(bool hard, int64_t off = 0, int64_t size = 0) override;       \
  Status GetSize(int64_t* size) override;                                          \
  Status SetAllocationStrategy(int64_t init_size, double inc_factor) override;     \
  Status GetPath(std::string* path) override;                                      \
  Status Rename(const std::string& new_path) override;                             \
  bool IsOpen() const override;                                                    \
  bool IsMemoryMapping() const override;                                           \
  bool IsAtomic() const override;                                                  \
  std::unique_ptr<File> MakeFile() const override;                                 \
                                                                                   \
 private:                                                                          \
  struct Impl;                                                                     \
  std::unique_ptr<Impl> impl_;

class StdFile final : public File { MORVEL_FILE_METHODS(StdFile) };
class PositionalParallelFile final : public File { MORVEL_FILE_METHODS(PositionalParallelFile) };
class PositionalAtomicFile final : public File { MORVEL_FILE_METHODS(PositionalAtomicFile) };
class MemoryMapParallelFile final : public File { MORVEL_FILE_METHODS(MemoryMapParallelFile) };
class MemoryMapAtomicFile final : public File { MORVEL_FILE_METHODS(MemoryMapAtomicFile) };

#undef MORVEL_FILE_METHODS

}  // namespace morvel

#endif  // MORVEL_FILE_IMPL_H_
