// Loads a memory database file of arbitrary bytes, as TinyDBM and as BabyDBM.
// Read-only, it loads or is refused with BROKEN_DATA_ERROR. Writable, it
// always opens (a damaged file is restored), and what Close writes then loads
// read-only with the same records. RestoreMemoryDatabaseFile's output loads too.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "fuzz_util.h"
#include "morvel/mem_dbm.h"
#include "morvel/poly_dbm.h"

namespace {

using Records = std::map<std::string, std::string>;

[[noreturn]] void Fail(const char* what, const morvel::Status& status) {
  fprintf(stderr, "%s: %s\n", what, morvel::ToString(status).c_str());
  abort();
}

Records Collect(morvel::DBM* dbm) {
  Records records;
  const morvel::Status status = dbm->ProcessEach(
      [&](std::string_view key, std::string_view value) -> std::string_view {
        records.emplace(key, value);
        return morvel::DBM::RecordProcessor::NOOP;
      },
      false);
  if (!status.IsOK()) Fail("walk", status);
  return records;
}

void LoadAs(const char* extension, const uint8_t* data, size_t size) {
  const std::string path = morvel_fuzz::WriteInput(std::string("mem") + extension, data, size);
  {
    morvel::PolyDBM dbm;
    const morvel::Status status = dbm.Open(path, false);
    if (status.IsOK()) {
      Collect(&dbm);
      dbm.Close();
    } else if (status != morvel::Status::BROKEN_DATA_ERROR) {
      Fail("read-only open", status);
    }
  }
  Records written;
  {
    morvel::PolyDBM dbm;
    morvel::Status status = dbm.Open(path, true);
    if (!status.IsOK()) Fail("writable open", status);
    written = Collect(&dbm);
    status = dbm.Close();
    if (!status.IsOK()) Fail("close", status);
  }
  {
    morvel::PolyDBM dbm;
    const morvel::Status status = dbm.Open(path, false);
    if (!status.IsOK()) Fail("reopen of the written file", status);
    if (Collect(&dbm) != written) {
      fprintf(stderr, "the written file holds other records than were written\n");
      abort();
    }
    dbm.Close();
  }
  morvel_fuzz::RemoveFile(path);

  const std::string old_path = morvel_fuzz::WriteInput(std::string("old") + extension, data,
                                                       size);
  const std::string new_path = morvel_fuzz::WorkDir() + "/new" + extension;
  morvel_fuzz::RemoveFile(new_path);
  if (morvel::RestoreMemoryDatabaseFile(old_path, new_path, -1).IsOK()) {
    morvel::PolyDBM dbm;
    const morvel::Status status = dbm.Open(new_path, false);
    if (!status.IsOK()) Fail("open of the restored file", status);
    Collect(&dbm);
    dbm.Close();
  }
  morvel_fuzz::RemoveFile(new_path);
  morvel_fuzz::RemoveFile(old_path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LoadAs(".mvmt", data, size);
  LoadAs(".mvmb", data, size);
  return 0;
}
