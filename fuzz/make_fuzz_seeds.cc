// Writes the seed corpus of the fuzz targets: a few tiny, valid files of each
// kind, and some caught in the middle of being written.
//
//   make_fuzz_seeds CORPUS_DIR
//
// Creates CORPUS_DIR/<target>/<name> for each target.

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "morvel/dbm_util.h"
#include "morvel/file_impl.h"
#include "morvel/mem_dbm.h"
#include "morvel/poly_dbm.h"

namespace {

using morvel::ParamMap;
using morvel::PolyDBM;
using morvel::Status;

std::string g_tmp;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Check(const Status& status, const char* what) {
  if (!status.IsOK()) {
    fprintf(stderr, "%s: %s\n", what, morvel::ToString(status).c_str());
    exit(1);
  }
}

void Put(const std::string& dir, const std::string& name, const std::string& data) {
  mkdir(dir.c_str(), 0755);
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out << data;
}

// A small hash database. With |close| false, the bytes are taken while it is
// still open after its last writes, as a crash would leave them.
std::string HashFile(const ParamMap& extra, bool close, bool removals) {
  const std::string path = g_tmp + "/seed.mvh";
  std::remove(path.c_str());
  ParamMap params = {{"dbm", "hash"}, {"num_buckets", "7"}, {"file", "PositionalParallelFile"},
                     {"alloc_init_size", "1"}};
  params.insert(extra.begin(), extra.end());
  PolyDBM dbm;
  Check(dbm.OpenAdvanced(path, true, morvel::File::OPEN_TRUNCATE, params), "open hash");
  const char* keys[] = {"a", "bb", "ccc", "dddd", "e"};
  for (int i = 0; i < 5; ++i) {
    Check(dbm.Set(keys[i], std::string(i * 3, static_cast<char>('0' + i))), "set");
  }
  Check(dbm.Set("bb", "overwritten"), "overwrite");
  if (removals) {
    Check(dbm.Remove("ccc"), "remove");
    Check(dbm.Set("ccc", "back"), "set again");
  }
  std::string data;
  if (close) {
    Check(dbm.Close(), "close hash");
    data = ReadAll(path);
  } else {
    data = ReadAll(path);
    Check(dbm.Close(), "close hash");
  }
  return data;
}

std::string MemoryFile(const char* extension) {
  const std::string path = g_tmp + "/seed" + extension;
  std::remove(path.c_str());
  PolyDBM dbm;
  Check(dbm.Open(path, true, morvel::File::OPEN_TRUNCATE), "open memory");
  Check(dbm.Set("one", "1"), "set");
  Check(dbm.Set("two", "22"), "set");
  Check(dbm.Set("", "empty key"), "set");
  Check(dbm.Close(), "close memory");
  return ReadAll(path);
}

std::string FlatRecords() {
  const std::string path = g_tmp + "/seed.flat";
  std::remove(path.c_str());
  morvel::TinyDBM dbm(7);
  Check(dbm.Open("", true), "open tiny");
  Check(dbm.Set("key", "value"), "set");
  Check(dbm.Set("k2", std::string(200, 'v')), "set");
  morvel::PositionalParallelFile file;
  Check(file.Open(path, true, morvel::File::OPEN_TRUNCATE), "open flat");
  Check(morvel::ExportDBMToFlatRecords(&dbm, &file), "export");
  Check(file.Close(), "close flat");
  return ReadAll(path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_fuzz_seeds CORPUS_DIR\n");
    return 2;
  }
  const std::string corpus = argv[1];
  char tmpl[] = "/tmp/morvel-seeds-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  g_tmp = tmpl;
  mkdir(corpus.c_str(), 0755);

  const std::pair<const char*, std::string> hash_seeds[] = {
      {"in_place_closed", HashFile({}, true, true)},
      {"in_place_open", HashFile({}, false, true)},
      {"appending_closed", HashFile({{"update_mode", "appending"}}, true, true)},
      {"appending_open", HashFile({{"update_mode", "appending"}}, false, true)},
      {"crc8_align0", HashFile({{"record_crc_mode", "crc8"}, {"align_pow", "0"}}, true, false)},
      {"no_crc_wide", HashFile({{"record_crc_mode", "none"}, {"offset_width", "6"}}, false,
                               false)},
  };
  for (const auto& [name, data] : hash_seeds) {
    Put(corpus + "/fuzz_hash_open", name, data);
    Put(corpus + "/fuzz_restore", name, data);
  }
  Put(corpus + "/fuzz_flat_import", "two_records", FlatRecords());
  Put(corpus + "/fuzz_flat_import", "empty", "");
  Put(corpus + "/fuzz_mem_load", "tiny", MemoryFile(".mvmt"));
  Put(corpus + "/fuzz_mem_load", "baby", MemoryFile(".mvmb"));
  Put(corpus + "/fuzz_mem_load", "flat", FlatRecords());
  std::string cmd = std::string("rm -rf '") + g_tmp + "'";
  return system(cmd.c_str()) == 0 ? 0 : 1;
}
