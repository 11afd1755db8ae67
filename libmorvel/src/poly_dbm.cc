// PolyDBM: picks the concrete class at open time and forwards every call.
//
// Close closes the concrete database but keeps the object until the next Open
// or the destructor, so that a call racing with Close reaches a closed database
// (PRECONDITION_ERROR) rather than freed memory.

#include "morvel/poly_dbm.h"

#include <sys/stat.h>

#include "morvel/file_impl.h"
#include "morvel/hash_dbm.h"
#include "morvel/mem_dbm.h"
#include "morvel/tree_dbm.h"

namespace morvel {

namespace {

struct ClassEntry {
  const char* name;
  const char* short_name;
  const char* alt_name;
};

const ClassEntry kClasses[] = {
    {"HashDBM", "hash", ""},   {"TreeDBM", "tree", "treedbm"},
    {"TinyDBM", "tiny", ""},   {"BabyDBM", "baby", ""},
    {"CacheDBM", "cache", ""},
};

// The full class name for a full or short name in any case, or "".
std::string NormalizeClassName(const std::string& name) {
  const std::string lower = StrLowerCase(name);
  for (const auto& entry : kClasses) {
    if (lower == StrLowerCase(entry.name) || lower == entry.short_name ||
        (*entry.alt_name != '\0' && lower == entry.alt_name)) {
      return entry.name;
    }
  }
  return "";
}

Status ClosedStatus() {
  return Status(Status::PRECONDITION_ERROR, "not opened database");
}

// The iterator of a PolyDBM that was never opened.
class ClosedIterator final : public DBM::Iterator {
 public:
  Status First() override { return ClosedStatus(); }
  Status Last() override { return ClosedStatus(); }
  Status Jump(std::string_view) override { return ClosedStatus(); }
  Status JumpLower(std::string_view, bool) override { return ClosedStatus(); }
  Status JumpUpper(std::string_view, bool) override { return ClosedStatus(); }
  Status Next() override { return ClosedStatus(); }
  Status Previous() override { return ClosedStatus(); }
  Status Process(DBM::RecordProcessor*, bool) override { return ClosedStatus(); }
};

// Parses "name=value,name=value"; spaces around names and values are dropped.
ParamMap ParseParamText(std::string_view text) {
  ParamMap params;
  for (const auto& item : StrSplit(text, ',')) {
    const size_t pos = item.find('=');
    if (pos == std::string::npos) {
      continue;
    }
    auto trim = [](std::string str) {
      const size_t begin = str.find_first_not_of(" \t");
      if (begin == std::string::npos) {
        return std::string();
      }
      const size_t end = str.find_last_not_of(" \t");
      return str.substr(begin, end - begin + 1);
    };
    const std::string name = trim(item.substr(0, pos));
    if (!name.empty()) {
      params[name] = trim(item.substr(pos + 1));
    }
  }
  return params;
}

}  // namespace

PolyDBM::PolyDBM() = default;

PolyDBM::~PolyDBM() {
  if (dbm_ != nullptr && dbm_->IsOpen()) {
    dbm_->Close();
  }
}

Status PolyDBM::ChooseClassName(const std::string& path, const ParamMap& params,
                                std::string* class_name) {
  const auto it = params.find("dbm");
  if (it != params.end()) {
    *class_name = NormalizeClassName(it->second);
    if (class_name->empty()) {
      return Status(Status::INVALID_ARGUMENT_ERROR, "unknown database class: " + it->second);
    }
    return Status();
  }
  if (path.empty()) {
    *class_name = "TinyDBM";
    return Status();
  }
  const std::string ext = StrLowerCase(PathToExtension(path));
  if (ext == "mvt" || ext == "tree") {
    *class_name = "TreeDBM";
  } else if (ext == "mvmt") {
    *class_name = "TinyDBM";
  } else if (ext == "mvmb") {
    *class_name = "BabyDBM";
  } else if (ext == "mvmc") {
    *class_name = "CacheDBM";
  } else {
    *class_name = "HashDBM";
  }
  return Status();
}

Status PolyDBM::MakeDBMByName(const std::string& class_name, std::unique_ptr<DBM>* dbm) {
  const std::string name = NormalizeClassName(class_name);
  if (name == "HashDBM") {
    *dbm = std::make_unique<HashDBM>();
  } else if (name == "TinyDBM") {
    *dbm = std::make_unique<TinyDBM>();
  } else if (name == "BabyDBM") {
    *dbm = std::make_unique<BabyDBM>();
  } else if (name == "TreeDBM") {
    *dbm = std::make_unique<TreeDBM>();
  } else if (name == "CacheDBM") {
    *dbm = std::make_unique<CacheDBM>();
  } else {
    return Status(Status::INVALID_ARGUMENT_ERROR, "unknown database class: " + class_name);
  }
  return Status();
}

Status PolyDBM::OpenAdvanced(const std::string& path, bool writable, int32_t options,
                             const ParamMap& params) {
  if (dbm_ != nullptr && dbm_->IsOpen()) {
    return Status(Status::PRECONDITION_ERROR, "opened database");
  }
  std::string class_name;
  Status status = ChooseClassName(path, params, &class_name);
  if (!status.IsOK()) {
    return status;
  }
  std::unique_ptr<DBM> dbm;
  status = MakeDBMByName(class_name, &dbm);
  if (!status.IsOK()) {
    return status;
  }
  ParamMap inner_params = params;
  inner_params.erase("dbm");
  status = dbm->OpenAdvanced(path, writable, options, inner_params);
  if (!status.IsOK()) {
    return status;
  }
  dbm_ = std::move(dbm);
  open_path_ = path;
  return Status();
}

Status PolyDBM::Close() {
  if (dbm_ == nullptr) {
    return ClosedStatus();
  }
  return dbm_->Close();
}

DBM* PolyDBM::GetInternalDBM() const {
  return dbm_ != nullptr && dbm_->IsOpen() ? dbm_.get() : nullptr;
}

Status PolyDBM::RestoreDatabase(const std::string& old_path, const std::string& new_path,
                                const std::string& class_name, int64_t end_offset,
                                std::string_view params) {
  // The new database is written from scratch: onto the old file itself, under
  // any name, it would destroy what is being restored.
  struct stat old_stat, new_stat;
  if (stat(old_path.c_str(), &old_stat) == 0 && stat(new_path.c_str(), &new_stat) == 0 &&
      old_stat.st_dev == new_stat.st_dev && old_stat.st_ino == new_stat.st_ino) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "the restored database needs its own path");
  }
  const ParamMap param_map = ParseParamText(params);
  std::string name;
  if (class_name.empty()) {
    PositionalParallelFile file;
    Status status = file.Open(old_path, false, File::OPEN_NO_LOCK);
    if (!status.IsOK()) {
      return status;
    }
    const int64_t size = file.GetSizeSimple();
    const std::string head = file.ReadSimple(0, size < 64 ? (size < 0 ? 0 : size) : 64);
    file.Close();
    if (HashDBM::IsHashDBMFileHead(head)) {
      // A tree database is a hash database file holding the tree's metadata.
      name = TreeDBM::IsTreeDBMFile(old_path) ? "TreeDBM" : "HashDBM";
    } else {
      status = ChooseClassName(old_path, {}, &name);
      if (!status.IsOK()) {
        return status;
      }
    }
  } else {
    name = NormalizeClassName(class_name);
    if (name.empty()) {
      return Status(Status::INVALID_ARGUMENT_ERROR, "unknown database class: " + class_name);
    }
  }
  if (name == "HashDBM") {
    return HashDBM::RestoreDatabase(old_path, new_path, end_offset, param_map);
  }
  if (name == "TreeDBM") {
    return TreeDBM::RestoreDatabase(old_path, new_path, end_offset, param_map);
  }
  if (name == "TinyDBM" || name == "BabyDBM" || name == "CacheDBM") {
    return RestoreMemoryDatabaseFile(old_path, new_path, end_offset);
  }
  return Status(Status::NOT_IMPLEMENTED_ERROR, name + " is not implemented");
}

#define MORVEL_POLY_FORWARD(call) \
  if (dbm_ == nullptr) {          \
    return ClosedStatus();        \
  }                               \
  return dbm_->call;

Status PolyDBM::Process(std::string_view key, RecordProcessor* proc, bool writable) {
  MORVEL_POLY_FORWARD(Process(key, proc, writable));
}

Status PolyDBM::ProcessFirst(RecordProcessor* proc, bool writable) {
  MORVEL_POLY_FORWARD(ProcessFirst(proc, writable));
}

Status PolyDBM::ProcessMulti(
    const std::vector<std::pair<std::string_view, RecordProcessor*>>& key_proc_pairs,
    bool writable) {
  MORVEL_POLY_FORWARD(ProcessMulti(key_proc_pairs, writable));
}

Status PolyDBM::ProcessEach(RecordProcessor* proc, bool writable) {
  MORVEL_POLY_FORWARD(ProcessEach(proc, writable));
}

Status PolyDBM::Count(int64_t* count) {
  MORVEL_POLY_FORWARD(Count(count));
}

Status PolyDBM::GetFileSize(int64_t* size) {
  MORVEL_POLY_FORWARD(GetFileSize(size));
}

Status PolyDBM::GetFilePath(std::string* path) {
  MORVEL_POLY_FORWARD(GetFilePath(path));
}

Status PolyDBM::GetTimestamp(double* timestamp) {
  MORVEL_POLY_FORWARD(GetTimestamp(timestamp));
}

Status PolyDBM::Clear() {
  MORVEL_POLY_FORWARD(Clear());
}

Status PolyDBM::RebuildAdvanced(const ParamMap& params) {
  MORVEL_POLY_FORWARD(RebuildAdvanced(params));
}

Status PolyDBM::ShouldBeRebuilt(bool* tobe) {
  MORVEL_POLY_FORWARD(ShouldBeRebuilt(tobe));
}

Status PolyDBM::SynchronizeAdvanced(bool hard, FileProcessor* proc, const ParamMap& params) {
  MORVEL_POLY_FORWARD(SynchronizeAdvanced(hard, proc, params));
}

Status PolyDBM::CopyFileData(const std::string& dest_path, bool sync_hard) {
  MORVEL_POLY_FORWARD(CopyFileData(dest_path, sync_hard));
}

Status PolyDBM::Get(std::string_view key, std::string* value) {
  MORVEL_POLY_FORWARD(Get(key, value));
}

Status PolyDBM::Set(std::string_view key, std::string_view value, bool overwrite,
                    std::string* old_value) {
  MORVEL_POLY_FORWARD(Set(key, value, overwrite, old_value));
}

Status PolyDBM::Remove(std::string_view key, std::string* old_value) {
  MORVEL_POLY_FORWARD(Remove(key, old_value));
}

Status PolyDBM::Append(std::string_view key, std::string_view value, std::string_view delim) {
  MORVEL_POLY_FORWARD(Append(key, value, delim));
}

Status PolyDBM::GetMulti(const std::vector<std::string_view>& keys,
                         std::map<std::string, std::string>* records) {
  MORVEL_POLY_FORWARD(GetMulti(keys, records));
}

Status PolyDBM::SetMulti(const std::map<std::string_view, std::string_view>& records,
                         bool overwrite) {
  MORVEL_POLY_FORWARD(SetMulti(records, overwrite));
}

Status PolyDBM::RemoveMulti(const std::vector<std::string_view>& keys) {
  MORVEL_POLY_FORWARD(RemoveMulti(keys));
}

Status PolyDBM::AppendMulti(const std::map<std::string_view, std::string_view>& records,
                            std::string_view delim) {
  MORVEL_POLY_FORWARD(AppendMulti(records, delim));
}

Status PolyDBM::CompareExchange(std::string_view key, std::string_view expected,
                                std::string_view desired, std::string* actual, bool* found) {
  MORVEL_POLY_FORWARD(CompareExchange(key, expected, desired, actual, found));
}

Status PolyDBM::Increment(std::string_view key, int64_t increment, int64_t* current,
                          int64_t initial) {
  MORVEL_POLY_FORWARD(Increment(key, increment, current, initial));
}

Status PolyDBM::CompareExchangeMulti(
    const std::vector<std::pair<std::string_view, std::string_view>>& expected,
    const std::vector<std::pair<std::string_view, std::string_view>>& desired) {
  MORVEL_POLY_FORWARD(CompareExchangeMulti(expected, desired));
}

Status PolyDBM::Rekey(std::string_view old_key, std::string_view new_key, bool overwrite,
                      bool copying, std::string* value) {
  MORVEL_POLY_FORWARD(Rekey(old_key, new_key, overwrite, copying, value));
}

Status PolyDBM::PopFirst(std::string* key, std::string* value) {
  MORVEL_POLY_FORWARD(PopFirst(key, value));
}

Status PolyDBM::PushLast(std::string_view value, double wtime, std::string* key) {
  MORVEL_POLY_FORWARD(PushLast(value, wtime, key));
}

Status PolyDBM::Export(DBM* dest) {
  if (dest == this) {
    return Status();
  }
  MORVEL_POLY_FORWARD(Export(dest));
}

#undef MORVEL_POLY_FORWARD

std::vector<std::pair<std::string, std::string>> PolyDBM::Inspect() {
  if (dbm_ == nullptr) {
    return {};
  }
  return dbm_->Inspect();
}

bool PolyDBM::IsOpen() const {
  return dbm_ != nullptr && dbm_->IsOpen();
}

bool PolyDBM::IsWritable() const {
  return dbm_ != nullptr && dbm_->IsWritable();
}

bool PolyDBM::IsHealthy() const {
  return dbm_ != nullptr && dbm_->IsHealthy();
}

bool PolyDBM::IsOrdered() const {
  return dbm_ != nullptr && dbm_->IsOrdered();
}

std::unique_ptr<DBM::Iterator> PolyDBM::MakeIterator() {
  if (dbm_ == nullptr) {
    return std::make_unique<ClosedIterator>();
  }
  return dbm_->MakeIterator();
}

std::unique_ptr<DBM> PolyDBM::MakeDBM() const {
  return std::make_unique<PolyDBM>();
}

}  // namespace morvel
