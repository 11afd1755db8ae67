// Imports a flat-record file of arbitrary bytes into a memory database. The
// import succeeds or fails with BROKEN_DATA_ERROR, keeping the records before
// the damage; nothing else.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_util.h"
#include "morvel/dbm_util.h"
#include "morvel/file_impl.h"
#include "morvel/flat_records.h"
#include "morvel/mem_dbm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = morvel_fuzz::WriteInput("flat.dat", data, size);
  morvel::PositionalParallelFile file;
  if (!file.Open(path, false).IsOK()) abort();
  morvel::TinyDBM dbm(101);
  if (!dbm.Open("", true).IsOK()) abort();
  const morvel::Status status = morvel::ImportDBMFromFlatRecords(&dbm, &file);
  if (!status.IsOK() && status != morvel::Status::BROKEN_DATA_ERROR) {
    fprintf(stderr, "import: %s\n", morvel::ToString(status).c_str());
    abort();
  }
  // A reader stopping at a point of the file never reads past it.
  const int64_t end = size > 0 ? static_cast<int64_t>(size) * data[size - 1] / 256 : 0;
  morvel::FlatRecordReader reader(&file, 0, end);
  std::string_view frame;
  while (reader.Read(&frame).IsOK()) {
    if (reader.GetOffset() > end) {
      fprintf(stderr, "reader went to %lld past its end %lld\n",
              static_cast<long long>(reader.GetOffset()), static_cast<long long>(end));
      abort();
    }
  }
  morvel_fuzz::ReadEverything(&dbm);
  dbm.Close();
  file.Close();
  morvel_fuzz::RemoveFile(path);
  return 0;
}
