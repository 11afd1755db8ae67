// The engine benchmark: random 8-byte keys and values set, then got, then
// removed, by one thread and by two threads, on each database class. Prints a
// table of operations per second and memory (anonymous resident memory, so the
// page cache behind a database file is not counted), and one "RESULT {json}" line per
// run for bench/run_bench.py.
//
// Then the asynchronous adapter: --async_num Sets and then as many Gets handed
// to AsyncDBM with every future collected afterwards, against the same calls
// made directly, on a HashDBM file and on an empty TinyDBM (where the
// operation itself costs next to nothing, so the figure is the adapter's own
// cost: copying, queueing, waking, fulfilling).
//
// Usage: engine_bench [--num N] [--dir DIR] [--threads 1,2] [--classes a,b]
//                     [--async_num N]
// Classes: hash_in_place, hash_appending, tiny, baby.

#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "morvel/async_dbm.h"
#include "morvel/dbm.h"
#include "morvel/file.h"
#include "morvel/hash_dbm.h"
#include "morvel/lib_common.h"
#include "morvel/mem_dbm.h"
#include "morvel/str_util.h"
#include "morvel/tree_dbm.h"

namespace {

using morvel::DBM;
using morvel::ParamMap;
using morvel::Status;

// A bijection of 64-bit numbers: distinct indexes give distinct keys.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

void MakeBytes(uint64_t num, char* buf) { std::memcpy(buf, &num, 8); }

// Operations per second by wall-clock time and by the CPU time of the
// process (which leaves out time lost to other processes on a shared machine).
struct Rate {
  double wall = -1;
  double cpu = -1;
};

struct Result {
  std::string name;
  int threads = 1;
  Rate set_rate;
  Rate get_rate;
  Rate remove_rate;
  int64_t memory = 0;
  int64_t file_size = 0;
  bool ok = true;
};

// Resident anonymous memory of the process (RssAnon) in bytes, or -1: the
// heap and the like, leaving out file pages mapped from the page cache, which
// the memory-mapped files would otherwise count once per mapping.
int64_t AnonMemoryUsage() {
  FILE* file = std::fopen("/proc/self/status", "r");
  if (file == nullptr) return -1;
  char line[256];
  int64_t result = -1;
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    long long kb = 0;
    if (std::sscanf(line, "RssAnon: %lld kB", &kb) == 1) {
      result = kb * 1024;
      break;
    }
  }
  std::fclose(file);
  return result;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double CpuNow() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Runs |op| over [0, num) split among |threads|; returns operations per second,
// or -1 when any operation failed.
template <typename Op>
Rate RunPhase(int64_t num, int threads, Op op) {
  std::vector<std::thread> workers;
  std::vector<char> failed(threads, 0);
  const double start = Now();
  const double cpu_start = CpuNow();
  for (int t = 0; t < threads; t++) {
    workers.emplace_back([&, t] {
      const int64_t begin = num * t / threads;
      const int64_t end = num * (t + 1) / threads;
      char key[8];
      char value[8];
      std::string got;
      for (int64_t i = begin; i < end; i++) {
        MakeBytes(Mix(i), key);
        MakeBytes(Mix(i ^ 0x5555555555555555ULL), value);
        if (!op(std::string_view(key, 8), std::string_view(value, 8), &got)) {
          failed[t] = 1;
          return;
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  const double elapsed = Now() - start;
  const double cpu_elapsed = CpuNow() - cpu_start;
  Rate rate;
  for (char f : failed) {
    if (f) return rate;
  }
  rate.wall = num / elapsed;
  rate.cpu = num / cpu_elapsed;
  return rate;
}

Result RunOne(const std::string& name, int threads, int64_t num, const std::string& dir) {
  Result result;
  result.name = name;
  result.threads = threads;
  std::unique_ptr<DBM> dbm;
  std::string path;
  ParamMap params;
  if (name == "hash_in_place" || name == "hash_appending") {
    dbm = std::make_unique<morvel::HashDBM>();
    path = dir + "/bench-" + name + ".mvh";
    params["update_mode"] = name == "hash_in_place" ? "in_place" : "appending";
  } else if (name == "tree") {
    dbm = std::make_unique<morvel::TreeDBM>();
    path = dir + "/bench-" + name + ".mvt";
  } else if (name == "tiny") {
    dbm = std::make_unique<morvel::TinyDBM>();
  } else if (name == "baby") {
    dbm = std::make_unique<morvel::BabyDBM>();
  } else {
    std::fprintf(stderr, "unknown class: %s\n", name.c_str());
    result.ok = false;
    return result;
  }
  const int64_t mem_before = AnonMemoryUsage();
  const Status status = dbm->OpenAdvanced(path, true, morvel::File::OPEN_TRUNCATE, params);
  if (!status.IsOK()) {
    std::fprintf(stderr, "%s: open: %s\n", name.c_str(), morvel::ToString(status).c_str());
    result.ok = false;
    return result;
  }
  result.set_rate = RunPhase(num, threads, [&](std::string_view k, std::string_view v,
                                               std::string*) { return dbm->Set(k, v).IsOK(); });
  result.memory = AnonMemoryUsage() - mem_before;
  result.file_size = dbm->GetFileSizeSimple();
  result.get_rate = RunPhase(num, threads, [&](std::string_view k, std::string_view v,
                                               std::string* got) {
    return dbm->Get(k, got).IsOK() && *got == v;
  });
  result.remove_rate = RunPhase(num, threads, [&](std::string_view k, std::string_view,
                                                  std::string*) { return dbm->Remove(k).IsOK(); });
  result.ok = result.set_rate.wall > 0 && result.get_rate.wall > 0 &&
              result.remove_rate.wall > 0 &&
              dbm->CountSimple() == 0;
  dbm->Close();
  if (!path.empty()) std::remove(path.c_str());
  return result;
}

// One run of the adapter over |dbm| with |workers| threads: hands over |num|
// Sets (or Gets) and then collects the futures. Prints the rate of the whole
// run and the microseconds per operation of each half.
bool RunAsyncOne(const std::shared_ptr<DBM>& dbm, const char* label, int workers, int64_t num,
                 bool get) {
  morvel::AsyncDBM adbm(dbm, workers);
  std::vector<morvel::StatusFuture> futures;
  futures.reserve(num);
  const double start = Now();
  char key[8];
  char value[8];
  for (int64_t i = 0; i < num; i++) {
    MakeBytes(Mix(i), key);
    MakeBytes(Mix(i ^ 0x5555555555555555ULL), value);
    futures.push_back(get ? adbm.Get(std::string_view(key, 8))
                          : adbm.Set(std::string_view(key, 8), std::string_view(value, 8)));
  }
  const double handed = Now();
  bool ok = true;
  for (auto& future : futures) {
    const Status status = get ? future.GetString().first : future.Get();
    ok = ok && (status.IsOK() || (get && status == Status::NOT_FOUND_ERROR));
  }
  const double end = Now();
  std::printf("%-15s %-4s %3d %11.0f %9.2f %9.2f%s\n", label, get ? "get" : "set", workers,
              num / (end - start), (handed - start) * 1e6 / num, (end - handed) * 1e6 / num,
              ok ? "" : "  FAILED");
  std::printf("ASYNC {\"class\": \"%s\", \"op\": \"%s\", \"workers\": %d, \"rate\": %.0f, "
              "\"hand_us\": %.3f, \"collect_us\": %.3f, \"ok\": %s}\n",
              label, get ? "get" : "set", workers, num / (end - start),
              (handed - start) * 1e6 / num, (end - handed) * 1e6 / num, ok ? "true" : "false");
  std::fflush(stdout);
  return ok;
}

bool RunAsync(int64_t num, const std::string& dir) {
  std::printf("\nAsyncDBM: %lld operations handed over, futures collected afterwards\n",
              static_cast<long long>(num));
  std::printf("%-15s %-4s %3s %11s %9s %9s\n", "class", "op", "wrk", "ops/s", "hand us",
              "coll us");
  bool ok = true;
  {
    auto hash = std::make_shared<morvel::HashDBM>();
    const std::string path = dir + "/bench-async.mvh";
    if (!hash->OpenAdvanced(path, true, morvel::File::OPEN_TRUNCATE, {}).IsOK()) return false;
    // The direct calls, for comparison.
    const Rate set_rate = RunPhase(num, 1, [&](std::string_view k, std::string_view v,
                                               std::string*) { return hash->Set(k, v).IsOK(); });
    const Rate get_rate = RunPhase(num, 1, [&](std::string_view k, std::string_view,
                                               std::string* got) { return hash->Get(k, got).IsOK(); });
    std::printf("%-15s %-4s %3s %11.0f\n%-15s %-4s %3s %11.0f\n", "hash direct", "set", "-",
                set_rate.wall, "hash direct", "get", "-", get_rate.wall);
    for (int workers : {1, 2}) {
      ok = RunAsyncOne(hash, "hash_in_place", workers, num, false) && ok;
      ok = RunAsyncOne(hash, "hash_in_place", workers, num, true) && ok;
    }
    hash->Close();
    std::remove(path.c_str());
  }
  auto tiny = std::make_shared<morvel::TinyDBM>();
  if (!tiny->Open("", true).IsOK()) return false;
  for (int workers : {1, 2}) ok = RunAsyncOne(tiny, "empty_tiny", workers, num, true) && ok;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t num = 1000000;
  int64_t async_num = 100000;
  std::string dir;
  std::vector<int> thread_counts = {1, 2};
  std::vector<std::string> classes = {"hash_in_place", "hash_appending", "tiny", "baby",
                                      "tree"};
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--num") {
      num = std::atoll(next);
      i++;
    } else if (arg == "--dir") {
      dir = next;
      i++;
    } else if (arg == "--threads") {
      thread_counts.clear();
      for (const auto& part : morvel::StrSplit(next, ',')) thread_counts.push_back(std::atoi(part.c_str()));
      i++;
    } else if (arg == "--async_num") {
      async_num = std::atoll(next);
      i++;
    } else if (arg == "--classes") {
      classes = morvel::StrSplit(next, ',');
      i++;
    } else {
      std::fprintf(stderr, "usage: %s [--num N] [--dir DIR] [--threads 1,2] [--classes a,b] "
                   "[--async_num N]\n",
                   argv[0]);
      return 1;
    }
  }
  std::string tmp_dir;
  if (dir.empty()) {
    char tmpl[] = "/tmp/morvel_bench.XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (made == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = tmp_dir = made;
  }
  std::printf("%d records of 8-byte random keys and values\n", static_cast<int>(num));
  std::printf("ops/s by wall-clock time; in brackets ops per CPU-second of the process;\n"
              "memory: growth of anonymous resident memory after the sets (file pages excluded)\n");
  std::printf("%-15s %3s %21s %21s %21s %9s %8s\n", "class", "thr", "set", "get", "remove",
              "memory MB", "file MB");
  bool all_ok = true;
  for (const auto& name : classes) {
    for (int threads : thread_counts) {
      const Result r = RunOne(name, threads, num, dir);
      all_ok = all_ok && r.ok;
      std::printf("%-15s %3d %9.0f [%9.0f] %9.0f [%9.0f] %9.0f [%9.0f] %9.1f %8.1f%s\n",
                  r.name.c_str(), r.threads, r.set_rate.wall, r.set_rate.cpu, r.get_rate.wall,
                  r.get_rate.cpu, r.remove_rate.wall, r.remove_rate.cpu, r.memory / 1048576.0,
                  std::max<int64_t>(0, r.file_size) / 1048576.0, r.ok ? "" : "  FAILED");
      std::printf(
          "RESULT {\"class\": \"%s\", \"threads\": %d, \"set\": %.0f, \"get\": %.0f, "
          "\"remove\": %.0f, \"set_cpu\": %.0f, \"get_cpu\": %.0f, \"remove_cpu\": %.0f, "
          "\"memory\": %lld, \"file_size\": %lld, \"ok\": %s}\n",
          r.name.c_str(), r.threads, r.set_rate.wall, r.get_rate.wall, r.remove_rate.wall,
          r.set_rate.cpu, r.get_rate.cpu, r.remove_rate.cpu, static_cast<long long>(r.memory),
          static_cast<long long>(r.file_size), r.ok ? "true" : "false");
      std::fflush(stdout);
    }
  }
  if (async_num > 0) all_ok = RunAsync(async_num, dir) && all_ok;
  if (!tmp_dir.empty()) rmdir(tmp_dir.c_str());
  return all_ok ? 0 : 1;
}
