// The child process of the crash soak, and its checker.
//
//   crash_writer write PATH PARAMS SEED MIN_VALUE MAX_VALUE NUM_KEYS REBUILD_EVERY SYNC_EVERY
//                      [KILL_OP KILL_DELAY_US]
//   crash_writer dump PATH PARAMS
//
// "write" opens the database at PATH writable (which restores it when it was
// not closed cleanly) and runs random Set, overwrite and Remove operations,
// with a Rebuild every REBUILD_EVERY operations and a Synchronize every
// SYNC_EVERY (0: never), until it is killed. Every operation is announced on
// standard output before it starts and acknowledged after it succeeded, each
// line with one write(2) on an unbuffered pipe, so that the parent knows
// exactly what was acknowledged when it kills the process:
//
//   O MICROS                   the database is open (a restore is done), after
//                              MICROS microseconds
//   B S KEY SIZE DIGEST        a Set begins (DIGEST: FNV-1a of the value, hex)
//   B R KEY                    a Remove begins
//   B Y                        a Rebuild begins
//   B C                        a Synchronize begins
//   A MICROS                   the operation announced last succeeded, taking
//                              MICROS microseconds
//   F MESSAGE                  it failed; the process exits with 3
//
// An acknowledged Set or Remove is durable at once on a hash database; on a
// memory database once a later Synchronize is acknowledged, and on a tree
// database once a later Synchronize or Rebuild is (before that, a tree's
// record may be found with any value it had since). The parent applies the
// rule of each configuration.
//
// "dump" opens the database writable (restoring it), prints "R KEY SIZE
// DIGEST" for every record and "E COUNT HEALTHY" at the end, and closes it.
// An open or read failure prints "F MESSAGE" and exits with 3.
//
// With KILL_OP > 0, the writer SIGKILLs itself KILL_DELAY_US microseconds
// after operation number KILL_OP begins (KILL_OP -1: after the open begins,
// which restores the database when it was killed), by a timer of its own: a kill
// point inside an operation, exact to a few microseconds, which a parent
// reading the pipe could not hit.
//
// PARAMS is "name=value,name=value" for PolyDBM; "dbm" picks the class.

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "morvel/dbm.h"
#include "morvel/hash_util.h"
#include "morvel/poly_dbm.h"
#include "morvel/str_util.h"

namespace {

using morvel::ParamMap;
using morvel::PolyDBM;
using morvel::Status;

// Writes one whole line; a short write to a pipe of this size does not happen
// unless the reader is gone, and then the process is about to die anyway.
void Emit(const std::string& line) {
  std::string data = line + "\n";
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    const ssize_t n = write(STDOUT_FILENO, p, left);
    if (n <= 0) {
      _exit(4);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

[[noreturn]] void Fail(const std::string& what, const Status& status) {
  std::string message = what + ": " + morvel::ToString(status);
  for (auto& c : message) {
    if (c == '\n') c = ' ';
  }
  Emit("F " + message);
  _exit(3);
}

std::string Digest(std::string_view value) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%016" PRIx64, morvel::HashFNV(value.data(), value.size()));
  return buf;
}

ParamMap ParseParams(const std::string& text) {
  ParamMap params;
  for (const auto& item : morvel::StrSplit(text, ',')) {
    const size_t pos = item.find('=');
    if (pos == std::string::npos) continue;
    params[item.substr(0, pos)] = item.substr(pos + 1);
  }
  return params;
}

// Fills |value| with |size| pseudo-random bytes, fast enough for megabytes.
void FillValue(std::mt19937_64* rng, size_t size, std::string* value) {
  value->resize(size);
  size_t i = 0;
  while (i + 8 <= size) {
    const uint64_t word = (*rng)();
    std::memcpy(value->data() + i, &word, 8);
    i += 8;
  }
  const uint64_t word = (*rng)();
  std::memcpy(value->data() + i, &word, size - i);
}

// A timer that sends SIGKILL to the process when it expires. The kernel
// delivers it from the timer itself, so the kill point does not wait for a
// thread to be scheduled on a busy machine.
class KillTimer {
 public:
  KillTimer() {
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGKILL;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) {
      Emit(std::string("F timer_create: ") + strerror(errno));
      _exit(3);
    }
  }
  // Kills the process |delay_us| microseconds from now.
  void Arm(int64_t delay_us) {
    itimerspec spec{};
    const int64_t ns = std::max<int64_t>(1, delay_us * 1000);
    spec.it_value.tv_sec = ns / 1000000000;
    spec.it_value.tv_nsec = ns % 1000000000;
    timer_settime(timer_, 0, &spec, nullptr);
  }

 private:
  timer_t timer_;
};

int RunWrite(int argc, char** argv) {
  const std::string path = argv[0];
  const ParamMap params = ParseParams(argv[1]);
  const uint64_t seed = std::strtoull(argv[2], nullptr, 10);
  const size_t min_value = std::strtoull(argv[3], nullptr, 10);
  const size_t max_value = std::strtoull(argv[4], nullptr, 10);
  const int num_keys = std::atoi(argv[5]);
  const int rebuild_every = std::atoi(argv[6]);
  const int sync_every = std::atoi(argv[7]);
  const int64_t kill_op = argc >= 10 ? std::atoll(argv[8]) : 0;
  const int64_t kill_delay_us = argc >= 10 ? std::atoll(argv[9]) : 0;

  KillTimer kill_timer;
  PolyDBM dbm;
  if (kill_op == -1) kill_timer.Arm(kill_delay_us);
  const auto open_start = std::chrono::steady_clock::now();
  Status status = dbm.OpenAdvanced(path, true, 0, params);
  if (!status.IsOK()) Fail("Open", status);
  Emit("O " + std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - open_start)
                                 .count()));

  std::mt19937_64 rng(seed);
  // Each key has a size of its own that most of its values take, so that many
  // overwrites are of the same size and may update the record where it is.
  std::vector<size_t> home_size(num_keys);
  for (auto& size : home_size) {
    size = min_value + rng() % (max_value - min_value + 1);
  }
  std::string value;
  for (int64_t op = 1;; ++op) {
    // Announces the operation; the kill timer starts with it.
    std::chrono::steady_clock::time_point started;
    auto begin = [&](const std::string& line) {
      Emit(line);
      if (op == kill_op) kill_timer.Arm(kill_delay_us);
      started = std::chrono::steady_clock::now();
    };
    auto acknowledge = [&] {
      const auto elapsed = std::chrono::steady_clock::now() - started;
      Emit("A " + std::to_string(
                      std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
    };
    if (rebuild_every > 0 && op % rebuild_every == 0) {
      begin("B Y");
      status = dbm.Rebuild();
      if (!status.IsOK()) Fail("Rebuild", status);
      acknowledge();
      continue;
    }
    if (sync_every > 0 && op % sync_every == 0) {
      begin("B C");
      status = dbm.Synchronize(false);
      if (!status.IsOK()) Fail("Synchronize", status);
      acknowledge();
      continue;
    }
    const int index = static_cast<int>(rng() % num_keys);
    char key[32];
    snprintf(key, sizeof(key), "k%05d", index);
    if (rng() % 5 == 0) {
      begin(std::string("B R ") + key);
      status = dbm.Remove(key);
      if (!status.IsOK() && status != Status::NOT_FOUND_ERROR) Fail("Remove", status);
      acknowledge();
      continue;
    }
    const size_t size = rng() % 3 == 0 ? min_value + rng() % (max_value - min_value + 1)
                                       : home_size[index];
    FillValue(&rng, size, &value);
    begin(std::string("B S ") + key + " " + std::to_string(size) + " " + Digest(value));
    status = dbm.Set(key, value);
    if (!status.IsOK()) Fail("Set", status);
    acknowledge();
  }
}

int RunDump(char** argv) {
  const std::string path = argv[0];
  const ParamMap params = ParseParams(argv[1]);
  PolyDBM dbm;
  Status status = dbm.OpenAdvanced(path, true, 0, params);
  if (!status.IsOK()) Fail("Open", status);
  // Lines are gathered first: the walk holds the database's locks.
  std::vector<std::string> lines;
  status = dbm.ProcessEach(
      [&](std::string_view key, std::string_view value) -> std::string_view {
        lines.push_back("R " + std::string(key) + " " + std::to_string(value.size()) + " " +
                        Digest(value));
        return morvel::DBM::RecordProcessor::NOOP;
      },
      false);
  if (!status.IsOK()) Fail("ProcessEach", status);
  int64_t count = -1;
  status = dbm.Count(&count);
  if (!status.IsOK()) Fail("Count", status);
  for (const auto& line : lines) Emit(line);
  Emit("E " + std::to_string(count) + " " + (dbm.IsHealthy() ? "1" : "0"));
  status = dbm.Close();
  if (!status.IsOK()) Fail("Close", status);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 10 || argc == 12) && std::strcmp(argv[1], "write") == 0) {
    return RunWrite(argc - 2, argv + 2);
  }
  if (argc == 4 && std::strcmp(argv[1], "dump") == 0) {
    return RunDump(argv + 2);
  }
  fprintf(stderr,
          "usage: crash_writer write PATH PARAMS SEED MIN_VALUE MAX_VALUE NUM_KEYS "
          "REBUILD_EVERY SYNC_EVERY [KILL_OP KILL_DELAY_US]\n"
          "       crash_writer dump PATH PARAMS\n");
  return 2;
}
