// Opens a hash database file of arbitrary bytes, read-only and then writable
// (which restores it when it looks uncleanly closed), and reads every record.
// Whatever the bytes, the engine answers with a status: no crash, no read out
// of bounds, no hang.

#include <cstdint>

#include "fuzz_util.h"
#include "morvel/poly_dbm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = morvel_fuzz::WriteInput("open.mvh", data, size);
  const morvel::ParamMap params = {{"dbm", "hash"}};
  {
    morvel::PolyDBM dbm;
    if (dbm.OpenAdvanced(path, false, 0, params).IsOK()) {
      morvel_fuzz::ReadEverything(&dbm);
      dbm.Inspect();
      dbm.Close();
    }
  }
  {
    morvel::PolyDBM dbm;
    if (dbm.OpenAdvanced(path, true, 0, params).IsOK()) {
      morvel_fuzz::ReadEverything(&dbm);
      dbm.Set("fuzz-key", "fuzz-value");
      dbm.Remove("fuzz-key");
      dbm.Close();
    }
  }
  morvel_fuzz::RemoveFile(path);
  return 0;
}
