// PolyDBM: a database whose concrete class is chosen at open time from the
// parameter "dbm" (case-insensitive, full or short name) or else from the
// path's extension:
//
//   HashDBM  hash              .mvh (and any unknown extension)
//   TreeDBM  tree, treedbm     .mvt, .tree
//   TinyDBM  tiny              .mvmt (and an empty path without "dbm")
//   BabyDBM  baby              .mvmb
//   CacheDBM cache             .mvmc
//
// An unknown "dbm" value is INVALID_ARGUMENT_ERROR. The remaining parameters go to the
// concrete class. Thread-safety is the concrete class's; Open and Close are not
// to race with each other.

#ifndef MORVEL_POLY_DBM_H_
#define MORVEL_POLY_DBM_H_

#include <memory>
#include <string>

#include "morvel/dbm.h"

namespace morvel {

class PolyDBM final : public DBM {
 public:
  PolyDBM();
  ~PolyDBM() override;
  MORVEL_DBM_OVERRIDES
  using DBM::Process;
  using DBM::ProcessEach;

  // Record operations are forwarded to the concrete class, so its overrides of
  // the default bodies are used.
  Status Get(std::string_view key, std::string* value = nullptr) override;
  Status Set(std::string_view key, std::string_view value, bool overwrite = true,
             std::string* old_value = nullptr) override;
  Status Remove(std::string_view key, std::string* old_value = nullptr) override;
  Status Append(std::string_view key, std::string_view value,
                std::string_view delim = "") override;
  Status GetMulti(const std::vector<std::string_view>& keys,
                  std::map<std::string, std::string>* records) override;
  Status SetMulti(const std::map<std::string_view, std::string_view>& records,
                  bool overwrite = true) override;
  Status RemoveMulti(const std::vector<std::string_view>& keys) override;
  Status AppendMulti(const std::map<std::string_view, std::string_view>& records,
                     std::string_view delim = "") override;
  Status CompareExchange(std::string_view key, std::string_view expected,
                         std::string_view desired, std::string* actual = nullptr,
                         bool* found = nullptr) override;
  Status Increment(std::string_view key, int64_t increment = 1, int64_t* current = nullptr,
                   int64_t initial = 0) override;
  Status CompareExchangeMulti(
      const std::vector<std::pair<std::string_view, std::string_view>>& expected,
      const std::vector<std::pair<std::string_view, std::string_view>>& desired) override;
  Status Rekey(std::string_view old_key, std::string_view new_key, bool overwrite = true,
               bool copying = false, std::string* value = nullptr) override;
  Status PopFirst(std::string* key = nullptr, std::string* value = nullptr) override;
  Status PushLast(std::string_view value, double wtime = -1,
                  std::string* key = nullptr) override;
  Status Export(DBM* dest) override;

  // The concrete database while open, else null. Owned by this object.
  DBM* GetInternalDBM() const;

  // The concrete class name that |path| and |params| choose ("HashDBM", ...), or
  // INVALID_ARGUMENT_ERROR for an unknown "dbm" value.
  static Status ChooseClassName(const std::string& path, const ParamMap& params,
                                std::string* class_name);

  // A new unopened database of the class named |class_name| (full or short,
  // case-insensitive). INVALID_ARGUMENT_ERROR for an unknown name.
  static Status MakeDBMByName(const std::string& class_name, std::unique_ptr<DBM>* dbm);

  // Restores a damaged or uncleanly closed database: reads |old_path| and writes
  // a whole new database at |new_path|. |class_name| "" detects the class from
  // the file's magic and then the extension. |end_offset| -1 reads to the end; a
  // positive value stops there. |params| is "" or "name=value,name=value" tuning
  // for the new database.
  static Status RestoreDatabase(const std::string& old_path, const std::string& new_path,
                                const std::string& class_name, int64_t end_offset,
                                std::string_view params = "");

 private:
  std::unique_ptr<DBM> dbm_;
  std::string open_path_;
};

}  // namespace morvel

#endif  // MORVEL_POLY_DBM_H_
