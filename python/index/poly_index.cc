// PolyIndex: pairs as composite record keys of one ordered database.
//
// GetValues jumps to the composite of (key, "") and reads forward; the pair
// comparator compares key parts whole, so a key that is a prefix of another
// ("a", "ab") never picks up the other's values, and the scan stops at the
// first composite of another key instead of walking the rest of the index.

#include "index/poly_index.h"

#include <utility>

namespace morvel {

namespace {

constexpr char kPairComparator[] = "PairLexicalKeyComparator";

Status UnorderedStatus() {
  return Status(Status::INVALID_ARGUMENT_ERROR, "the index needs an ordered database");
}

// Whether the class that |params| choose for |path| is known to be unordered.
// A class that cannot be made here (not built, unknown) is left for the open
// itself to report.
bool IsKnownUnordered(const std::string& path, const ParamMap& params) {
  std::string class_name;
  if (!PolyDBM::ChooseClassName(path, params, &class_name).IsOK()) return false;
  std::unique_ptr<DBM> probe;
  if (!PolyDBM::MakeDBMByName(class_name, &probe).IsOK()) return false;
  return !probe->IsOrdered();
}

}  // namespace

PolyIndex::Iterator::Iterator(std::unique_ptr<DBM::Iterator> dbm_iter)
    : dbm_iter_(std::move(dbm_iter)) {}

Status PolyIndex::Iterator::First() { return dbm_iter_->First(); }

Status PolyIndex::Iterator::Last() { return dbm_iter_->Last(); }

Status PolyIndex::Iterator::Next() { return dbm_iter_->Next(); }

Status PolyIndex::Iterator::Previous() { return dbm_iter_->Previous(); }

Status PolyIndex::Iterator::Jump(std::string_view key, std::string_view value) {
  return dbm_iter_->Jump(SerializeStrPair(key, value));
}

bool PolyIndex::Iterator::Get(std::string* key, std::string* value) {
  return Read(key, value).IsOK();
}

Status PolyIndex::Iterator::Read(std::string* key, std::string* value) {
  std::string record_key;
  Status status = dbm_iter_->Get(&record_key, nullptr);
  if (!status.IsOK()) return status;
  std::string_view key_part, value_part;
  DeserializeStrPair(record_key, &key_part, &value_part);
  if (key != nullptr) key->assign(key_part);
  if (value != nullptr) value->assign(value_part);
  return Status();
}

PolyIndex::PolyIndex() = default;

PolyIndex::~PolyIndex() = default;

ParamMap PolyIndex::MakeOpenParams(const std::string& path, const ParamMap& params) {
  ParamMap copy = params;
  if (path.empty()) copy["dbm"] = "BabyDBM";
  const std::string ext = PathToExtension(StrLowerCase(PathToBaseName(path)));
  const std::string dbm_name = StrLowerCase(SearchMap(copy, "dbm", ""));
  if (ext == "mvt" || ext == "tree" || dbm_name == "tree" || dbm_name == "treedbm") {
    copy.emplace("align_pow", "12");
    copy.emplace("max_page_size", "4080");
  }
  copy.emplace("key_comparator", kPairComparator);
  return copy;
}

Status PolyIndex::Open(const std::string& path, bool writable, int32_t options,
                       const ParamMap& params) {
  const ParamMap open_params = MakeOpenParams(path, params);
  // Refused before the open, so that a file of a hash database is neither
  // created nor truncated by an index that could never find anything in it.
  if (IsKnownUnordered(path, open_params)) return UnorderedStatus();
  Status status = dbm_.OpenAdvanced(path, writable, options, open_params);
  if (!status.IsOK()) return status;
  if (!dbm_.IsOrdered()) {
    dbm_.Close();
    return UnorderedStatus();
  }
  return Status();
}

Status PolyIndex::Close() { return dbm_.Close(); }

Status PolyIndex::Add(std::string_view key, std::string_view value) {
  return dbm_.Set(SerializeStrPair(key, value), "", true, nullptr);
}

Status PolyIndex::Remove(std::string_view key, std::string_view value) {
  return dbm_.Remove(SerializeStrPair(key, value), nullptr);
}

bool PolyIndex::Contains(std::string_view key, std::string_view value, Status* status) {
  Status get_status = dbm_.Get(SerializeStrPair(key, value), nullptr);
  const bool found = get_status.IsOK();
  if (status != nullptr) *status = std::move(get_status);
  return found;
}

std::vector<std::string> PolyIndex::GetValues(std::string_view key, size_t max,
                                              Status* status) {
  std::vector<std::string> values;
  Status scan_status;
  std::unique_ptr<DBM::Iterator> iter = dbm_.MakeIterator();
  iter->Jump(SerializeStrPair(key, ""));
  std::string record_key;
  while (max == 0 || values.size() < max) {
    scan_status = iter->Get(&record_key, nullptr);
    if (!scan_status.IsOK()) break;
    std::string_view key_part, value_part;
    DeserializeStrPair(record_key, &key_part, &value_part);
    if (key_part != key) break;
    values.emplace_back(value_part);
    iter->Next();
  }
  if (status != nullptr) {
    // Running off the end of the database ends the run like another key does.
    if (scan_status == Status::NOT_FOUND_ERROR) scan_status = Status();
    *status = std::move(scan_status);
  }
  return values;
}

int64_t PolyIndex::Count() {
  int64_t count = -1;
  return dbm_.Count(&count).IsOK() ? count : -1;
}

std::string PolyIndex::GetFilePath() {
  std::string path;
  return dbm_.GetFilePath(&path).IsOK() ? path : std::string();
}

Status PolyIndex::Clear() { return dbm_.Clear(); }

Status PolyIndex::Rebuild() { return dbm_.RebuildAdvanced({}); }

Status PolyIndex::Synchronize(bool hard) { return dbm_.SynchronizeAdvanced(hard, nullptr, {}); }

bool PolyIndex::IsOpen() const { return dbm_.IsOpen(); }

bool PolyIndex::IsWritable() const { return dbm_.IsWritable(); }

std::unique_ptr<PolyIndex::Iterator> PolyIndex::MakeIterator() {
  return std::make_unique<Iterator>(dbm_.MakeIterator());
}

}  // namespace morvel
