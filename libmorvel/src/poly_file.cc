// PolyFile: forwards every call to a concrete file made at open time. The
// concrete file is kept after Close, closed, so that a later Open uses the
// same class again; GetInternalFile gives it only while it is open.

#include "morvel/poly_file.h"

#include <strings.h>

#include "file_util.h"
#include "morvel/file_impl.h"
#include "param_check.h"

namespace morvel {


PolyFile::PolyFile() : alloc_init_size_(-1), alloc_inc_factor_(0) {}

PolyFile::~PolyFile() = default;

std::unique_ptr<File> PolyFile::MakeFileByName(const std::string& class_name) {
  const char* name = class_name.c_str();
  if (strcasecmp(name, "MemoryMapParallelFile") == 0) {
    return std::make_unique<MemoryMapParallelFile>();
  }
  if (strcasecmp(name, "MemoryMapAtomicFile") == 0) {
    return std::make_unique<MemoryMapAtomicFile>();
  }
  if (strcasecmp(name, "PositionalParallelFile") == 0) {
    return std::make_unique<PositionalParallelFile>();
  }
  if (strcasecmp(name, "PositionalAtomicFile") == 0) {
    return std::make_unique<PositionalAtomicFile>();
  }
  if (strcasecmp(name, "StdFile") == 0) return std::make_unique<StdFile>();
  return nullptr;
}

Status PolyFile::Open(const std::string& path, bool writable, int32_t options) {
  if (file_ != nullptr && file_->IsOpen()) {
    return Status(Status::PRECONDITION_ERROR, "the file is already open");
  }
  if (file_ == nullptr) file_ = std::make_unique<MemoryMapParallelFile>();
  if (alloc_init_size_ >= 0) {
    Status status = file_->SetAllocationStrategy(alloc_init_size_, alloc_inc_factor_);
    if (!status.IsOK()) return status;
  }
  return file_->Open(path, writable, options);
}

Status PolyFile::OpenAdvanced(const std::string& path, bool writable, int32_t options,
                              const ParamMap& params) {
  if (file_ != nullptr && file_->IsOpen()) {
    return Status(Status::PRECONDITION_ERROR, "the file is already open");
  }
  static const ParamRule kRules[] = {
      {"file", ParamRule::kText},
      {"alloc_init_size", ParamRule::kInteger, 0, INT64_MAX},
      {"alloc_inc_factor", ParamRule::kReal, 1, INT64_MAX},
  };
  Status checked = CheckParams(params, kRules, false);
  if (!checked.IsOK()) {
    return checked;
  }
  std::unique_ptr<File> file;
  const auto class_it = params.find("file");
  if (class_it != params.end()) {
    file = MakeFileByName(class_it->second);
    if (file == nullptr) {
      return Status(Status::INVALID_ARGUMENT_ERROR, "unknown file class: " + class_it->second);
    }
  }
  int64_t init_size = alloc_init_size_ >= 0 ? alloc_init_size_ : kDefaultAllocInitSize;
  double inc_factor = alloc_init_size_ >= 0 ? alloc_inc_factor_ : kDefaultAllocIncFactor;
  const auto init_it = params.find("alloc_init_size");
  const auto factor_it = params.find("alloc_inc_factor");
  if (init_it != params.end()) {
    init_size = StrToInt(init_it->second, -1);
    if (init_size < 0) {
      return Status(Status::INVALID_ARGUMENT_ERROR,
                    "invalid alloc_init_size: " + init_it->second);
    }
  }
  if (factor_it != params.end()) {
    inc_factor = StrToDouble(factor_it->second, 0.0);
    if (!CheckAllocationStrategy(init_size, inc_factor).IsOK()) {
      return Status(Status::INVALID_ARGUMENT_ERROR,
                    "invalid alloc_inc_factor: " + factor_it->second);
    }
  }
  if (file != nullptr) file_ = std::move(file);
  alloc_init_size_ = init_size;
  alloc_inc_factor_ = inc_factor;
  return Open(path, writable, options);
}

Status PolyFile::Close() {
  if (file_ == nullptr) return NotOpenError();
  return file_->Close();
}

Status PolyFile::Read(int64_t off, void* buf, size_t size) {
  if (file_ == nullptr) return NotOpenError();
  return file_->Read(off, buf, size);
}

Status PolyFile::Write(int64_t off, const void* buf, size_t size) {
  if (file_ == nullptr) return NotOpenError();
  return file_->Write(off, buf, size);
}

Status PolyFile::Append(const void* buf, size_t size, int64_t* off) {
  if (file_ == nullptr) return NotOpenError();
  return file_->Append(buf, size, off);
}

Status PolyFile::Expand(size_t inc_size, int64_t* old_size) {
  if (file_ == nullptr) return NotOpenError();
  return file_->Expand(inc_size, old_size);
}

Status PolyFile::Truncate(int64_t size) {
  if (file_ == nullptr) return NotOpenError();
  return file_->Truncate(size);
}

Status PolyFile::Synchronize(bool hard, int64_t off, int64_t size) {
  if (file_ == nullptr) return NotOpenError();
  return file_->Synchronize(hard, off, size);
}

Status PolyFile::GetSize(int64_t* size) {
  if (file_ == nullptr) return NotOpenError();
  return file_->GetSize(size);
}

Status PolyFile::SetAllocationStrategy(int64_t init_size, double inc_factor) {
  Status status = CheckAllocationStrategy(init_size, inc_factor);
  if (!status.IsOK()) return status;
  alloc_init_size_ = init_size;
  alloc_inc_factor_ = inc_factor;
  return Status();
}

Status PolyFile::GetPath(std::string* path) {
  if (file_ == nullptr) return NotOpenError();
  return file_->GetPath(path);
}

Status PolyFile::Rename(const std::string& new_path) {
  if (file_ == nullptr) return NotOpenError();
  return file_->Rename(new_path);
}

bool PolyFile::IsOpen() const { return file_ != nullptr && file_->IsOpen(); }

bool PolyFile::IsMemoryMapping() const {
  // The default class maps memory.
  return file_ == nullptr || file_->IsMemoryMapping();
}

bool PolyFile::IsAtomic() const { return file_ != nullptr && file_->IsAtomic(); }

std::unique_ptr<File> PolyFile::MakeFile() const {
  auto file = std::make_unique<PolyFile>();
  if (file_ != nullptr) file->file_ = file_->MakeFile();
  file->alloc_init_size_ = alloc_init_size_;
  file->alloc_inc_factor_ = alloc_inc_factor_;
  return file;
}

File* PolyFile::GetInternalFile() const {
  return file_ != nullptr && file_->IsOpen() ? file_.get() : nullptr;
}

}  // namespace morvel
