// PolyFile: a file whose concrete class is chosen at open time by the parameter
// "file" (a class name of file_impl.h; default MemoryMapParallelFile).
// Further parameters: "alloc_init_size", "alloc_inc_factor". Safe for
// concurrent use by several threads once open; Open and Close are not to race
// with other calls.

#ifndef MORVEL_POLY_FILE_H_
#define MORVEL_POLY_FILE_H_

#include <memory>
#include <string>

#include "morvel/file.h"
#include "morvel/str_util.h"

namespace morvel {

class PolyFile final : public File {
 public:
  PolyFile();
  ~PolyFile() override;

  // Opens with the default class (or the class set by an earlier OpenAdvanced).
  Status Open(const std::string& path, bool writable, int32_t options = OPEN_DEFAULT) override;
  // Opens with the class and allocation of |params|. An unknown "file" value is
  // INVALID_ARGUMENT_ERROR; unknown keys are ignored.
  Status OpenAdvanced(const std::string& path, bool writable, int32_t options,
                      const ParamMap& params);
  Status Close() override;
  Status Read(int64_t off, void* buf, size_t size) override;
  Status Write(int64_t off, const void* buf, size_t size) override;
  Status Append(const void* buf, size_t size, int64_t* off = nullptr) override;
  Status Expand(size_t inc_size, int64_t* old_size = nullptr) override;
  Status Truncate(int64_t size) override;
  Status Synchronize(bool hard, int64_t off = 0, int64_t size = 0) override;
  Status GetSize(int64_t* size) override;
  Status SetAllocationStrategy(int64_t init_size, double inc_factor) override;
  Status GetPath(std::string* path) override;
  Status Rename(const std::string& new_path) override;
  bool IsOpen() const override;
  bool IsMemoryMapping() const override;
  bool IsAtomic() const override;
  std::unique_ptr<File> MakeFile() const override;

  // The concrete file while open, else null. Owned by this object.
  File* GetInternalFile() const;

  // A new unopened file of the class named |class_name| (as for "file"), or null
  // for an unknown name.
  static std::unique_ptr<File> MakeFileByName(const std::string& class_name);

 private:
  std::unique_ptr<File> file_;
  int64_t alloc_init_size_;
  double alloc_inc_factor_;
};

}  // namespace morvel

#endif  // MORVEL_POLY_FILE_H_
