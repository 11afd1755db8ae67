// RestoreDatabase over a hash database file of arbitrary bytes, to the end and
// to a point in it. Whenever the restore succeeds, its output is a whole
// database: it opens read-only, healthy, and every record reads back.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "fuzz_util.h"
#include "morvel/poly_dbm.h"

namespace {

void CheckRestored(const std::string& path) {
  morvel::PolyDBM dbm;
  const morvel::Status status = dbm.OpenAdvanced(path, false, 0, {});
  if (!status.IsOK()) {
    fprintf(stderr, "restored file does not open: %s\n", morvel::ToString(status).c_str());
    abort();
  }
  if (!dbm.IsHealthy()) {
    fprintf(stderr, "restored file is not healthy\n");
    abort();
  }
  const int64_t num = morvel_fuzz::ReadEverything(&dbm);
  int64_t count = -1;
  if (num < 0 || !dbm.Count(&count).IsOK() || count != num) {
    fprintf(stderr, "restored file reads %lld records, counts %lld\n",
            static_cast<long long>(num), static_cast<long long>(count));
    abort();
  }
  dbm.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string old_path = morvel_fuzz::WriteInput("old.mvh", data, size);
  const std::string new_path = morvel_fuzz::WorkDir() + "/new.mvh";
  // Small bucket arrays keep the runs fast; one input in sixteen also gets the
  // default tuning.
  const int64_t point = size > 0 ? static_cast<int64_t>(size) * data[0] / 256 + 1 : 1;
  const std::pair<int64_t, const char*> runs[] = {
      {-1, "num_buckets=97"},
      {point, "num_buckets=31,update_mode=appending"},
      {-1, size > 0 && data[size - 1] % 16 == 0 ? "" : nullptr},
  };
  for (const auto& [end, params] : runs) {
    if (params == nullptr) continue;
    morvel_fuzz::RemoveFile(new_path);
    if (morvel::PolyDBM::RestoreDatabase(old_path, new_path, "", end, params).IsOK()) {
      CheckRestored(new_path);
    }
  }
  morvel_fuzz::RemoveFile(new_path);
  morvel_fuzz::RemoveFile(old_path);
  return 0;
}
