// Shared by the fuzz targets: a private directory for the files an input
// becomes, and a walk over every record of a database.

#ifndef MORVEL_FUZZ_FUZZ_UTIL_H_
#define MORVEL_FUZZ_FUZZ_UTIL_H_

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "morvel/dbm.h"

namespace morvel_fuzz {

// A directory of this process, in memory when /dev/shm exists, removed at exit.
inline const std::string& WorkDir() {
  static const std::string dir = [] {
    std::string tmpl = access("/dev/shm", W_OK) == 0 ? "/dev/shm/morvel-fuzz-XXXXXX"
                                                     : "/tmp/morvel-fuzz-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) abort();
    static std::string removal_dir = tmpl;
    atexit([] {
      std::string cmd = "rm -rf '" + removal_dir + "'";
      if (system(cmd.c_str()) != 0) return;
    });
    return tmpl;
  }();
  return dir;
}

// Writes |data| as the whole content of the file |name| in WorkDir, and
// removes whatever else an earlier input left there under that name.
inline std::string WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = WorkDir() + "/" + name;
  FILE* fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, fp) != size) abort();
  if (fclose(fp) != 0) abort();
  return path;
}

inline void RemoveFile(const std::string& path) { unlink(path.c_str()); }

// Reads every record by a walk, then again one by one by key through Get and
// by an iterator. Returns the number of records walked, or -1 when the walk
// fails.
inline int64_t ReadEverything(morvel::DBM* dbm) {
  std::string keys;
  int64_t num = 0;
  const morvel::Status status = dbm->ProcessEach(
      [&](std::string_view key, std::string_view) -> std::string_view {
        if (num < 1000) keys.append(std::to_string(key.size())).append(":").append(key);
        ++num;
        return morvel::DBM::RecordProcessor::NOOP;
      },
      false);
  if (!status.IsOK()) return -1;
  size_t pos = 0;
  while (pos < keys.size()) {
    const size_t colon = keys.find(':', pos);
    const size_t len = std::stoul(keys.substr(pos, colon - pos));
    std::string value;
    dbm->Get(std::string_view(keys).substr(colon + 1, len), &value);
    pos = colon + 1 + len;
  }
  auto iter = dbm->MakeIterator();
  if (iter->First().IsOK()) {
    std::string key, value;
    for (int i = 0; i < 1000 && iter->Step(&key, &value).IsOK(); ++i) {
    }
  }
  int64_t count = 0;
  dbm->Count(&count);
  return num;
}

}  // namespace morvel_fuzz

#endif  // MORVEL_FUZZ_FUZZ_UTIL_H_
