// HashDBM: placeholder bodies so that everything links; every operation
// answers NOT_IMPLEMENTED_ERROR until the real engine lands.

#include "morvel/hash_dbm.h"

namespace morvel {

struct HashDBM::Impl {};

namespace {

class HashIteratorStub final : public DBM::Iterator {
 public:
  Status First() override { return Status(Status::NOT_IMPLEMENTED_ERROR); }
  Status Last() override { return Status(Status::NOT_IMPLEMENTED_ERROR); }
  Status Jump(std::string_view) override { return Status(Status::NOT_IMPLEMENTED_ERROR); }
  Status JumpLower(std::string_view, bool) override {
    return Status(Status::NOT_IMPLEMENTED_ERROR);
  }
  Status JumpUpper(std::string_view, bool) override {
    return Status(Status::NOT_IMPLEMENTED_ERROR);
  }
  Status Next() override { return Status(Status::NOT_IMPLEMENTED_ERROR); }
  Status Previous() override { return Status(Status::NOT_IMPLEMENTED_ERROR); }
  Status Process(DBM::RecordProcessor*, bool) override {
    return Status(Status::NOT_IMPLEMENTED_ERROR);
  }
};

}  // namespace

HashDBM::HashDBM() : impl_(std::make_shared<Impl>()) {}
HashDBM::~HashDBM() = default;

bool HashDBM::IsHashDBMFileHead(std::string_view) { return false; }

Status HashDBM::RestoreDatabase(const std::string&, const std::string&, int64_t,
                                const ParamMap&) {
  return Status(Status::NOT_IMPLEMENTED_ERROR);
}

Status HashDBM::OpenAdvanced(const std::string&, bool, int32_t, const ParamMap&) {
  return Status(Status::NOT_IMPLEMENTED_ERROR);
}
Status HashDBM::Close() { return Status(Status::NOT_IMPLEMENTED_ERROR); }
Status HashDBM::Process(std::string_view, RecordProcessor*, bool) {
  return Status(Status::NOT_IMPLEMENTED_ERROR);
}
Status HashDBM::ProcessFirst(RecordProcessor*, bool) {
  return Status(Status::NOT_IMPLEMENTED_ERROR);
}
Status HashDBM::ProcessMulti(
    const std::vector<std::pair<std::string_view, RecordProcessor*>>&, bool) {
  return Status(Status::NOT_IMPLEMENTED_ERROR);
}
Status HashDBM::ProcessEach(RecordProcessor*, bool) {
  return Status(Status::NOT_IMPLEMENTED_ERROR);
}
Status HashDBM::Count(int64_t*) { return Status(Status::NOT_IMPLEMENTED_ERROR); }
Status HashDBM::GetFileSize(int64_t*) { return Status(Status::NOT_IMPLEMENTED_ERROR); }
Status HashDBM::GetFilePath(std::string*) { return Status(Status::NOT_IMPLEMENTED_ERROR); }
Status HashDBM::GetTimestamp(double*) { return Status(Status::NOT_IMPLEMENTED_ERROR); }
Status HashDBM::Clear() { return Status(Status::NOT_IMPLEMENTED_ERROR); }
Status HashDBM::RebuildAdvanced(const ParamMap&) {
  return Status(Status::NOT_IMPLEMENTED_ERROR);
}
Status HashDBM::ShouldBeRebuilt(bool*) { return Status(Status::NOT_IMPLEMENTED_ERROR); }
Status HashDBM::SynchronizeAdvanced(bool, FileProcessor*, const ParamMap&) {
  return Status(Status::NOT_IMPLEMENTED_ERROR);
}
Status HashDBM::CopyFileData(const std::string&, bool) {
  return Status(Status::NOT_IMPLEMENTED_ERROR);
}
std::vector<std::pair<std::string, std::string>> HashDBM::Inspect() {
  return {{"class", "HashDBM"}, {"path", ""}, {"num_records", "0"}, {"healthy", "false"}};
}
bool HashDBM::IsOpen() const { return false; }
bool HashDBM::IsWritable() const { return false; }
bool HashDBM::IsHealthy() const { return false; }
bool HashDBM::IsOrdered() const { return false; }
std::unique_ptr<DBM::Iterator> HashDBM::MakeIterator() {
  return std::make_unique<HashIteratorStub>();
}
std::unique_ptr<DBM> HashDBM::MakeDBM() const { return std::make_unique<HashDBM>(); }

}  // namespace morvel
