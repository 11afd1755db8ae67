// Tests of the five file classes and PolyFile, typed over all of them.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "morvel/file.h"
#include "morvel/file_impl.h"
#include "morvel/poly_file.h"
#include "test_util.h"

namespace morvel {
namespace {

int64_t DiskSize(const std::string& path) {
  struct stat sbuf;
  if (stat(path.c_str(), &sbuf) != 0) return -1;
  return sbuf.st_size;
}

std::string ReadAll(File* file) {
  const int64_t size = file->GetSizeSimple();
  std::string data(std::max<int64_t>(size, 0), '\0');
  EXPECT_EQ(Status::SUCCESS, file->Read(0, data.data(), data.size()).GetCode());
  return data;
}

template <typename T>
class FileTest : public morvel_test::TempDirTest {
 protected:
  std::unique_ptr<File> MakeFile() { return std::make_unique<T>(); }
};

using FileClasses = ::testing::Types<StdFile, PositionalParallelFile, PositionalAtomicFile,
                                     MemoryMapParallelFile, MemoryMapAtomicFile, PolyFile>;
TYPED_TEST_SUITE(FileTest, FileClasses);

TYPED_TEST(FileTest, ReadWriteAppendExpandTruncate) {
  const std::string path = this->Path("a.dat");
  auto file = this->MakeFile();
  // A large reservation shows that it is trimmed at Close.
  ASSERT_TRUE(file->SetAllocationStrategy(1 << 20, 2.0).IsOK());
  ASSERT_EQ(Status::SUCCESS, file->Open(path, true).GetCode());
  EXPECT_TRUE(file->IsOpen());
  int64_t off = -1;
  ASSERT_TRUE(file->Append("abc", 3, &off).IsOK());
  EXPECT_EQ(0, off);
  ASSERT_TRUE(file->Append("defg", 4, &off).IsOK());
  EXPECT_EQ(3, off);
  EXPECT_EQ(7, file->GetSizeSimple());
  EXPECT_EQ("abcdefg", ReadAll(file.get()));
  EXPECT_EQ("cde", file->ReadSimple(2, 3));

  // Overwriting inside and across the end.
  ASSERT_TRUE(file->Write(5, "XYZ", 3).IsOK());
  EXPECT_EQ("abcdeXYZ", ReadAll(file.get()));
  // A write past the end leaves a zero gap.
  ASSERT_TRUE(file->Write(12, "!", 1).IsOK());
  EXPECT_EQ(13, file->GetSizeSimple());
  EXPECT_EQ(std::string("abcdeXYZ\0\0\0\0!", 13), ReadAll(file.get()));

  // Reads past the end fail and never give bytes.
  char buf[8];
  EXPECT_EQ(Status::INFEASIBLE_ERROR, file->Read(10, buf, 4).GetCode());
  EXPECT_EQ(Status::INFEASIBLE_ERROR, file->Read(14, buf, 0).GetCode());
  EXPECT_EQ(Status::INFEASIBLE_ERROR, file->Read(-1, buf, 1).GetCode());
  EXPECT_EQ(Status::INFEASIBLE_ERROR, file->Read(INT64_MAX, buf, 2).GetCode());
  EXPECT_EQ(Status::SUCCESS, file->Read(13, buf, 0).GetCode());
  EXPECT_EQ("", file->ReadSimple(12, 2));

  // Expand reserves a zero region and tells where it starts.
  int64_t old_size = -1;
  ASSERT_TRUE(file->Expand(5, &old_size).IsOK());
  EXPECT_EQ(13, old_size);
  EXPECT_EQ(std::string(5, '\0'), file->ReadSimple(13, 5));

  // Cutting and growing again: the cut bytes are gone, not revived.
  ASSERT_TRUE(file->Truncate(4).IsOK());
  EXPECT_EQ("abcd", ReadAll(file.get()));
  ASSERT_TRUE(file->Truncate(10).IsOK());
  EXPECT_EQ(std::string("abcd\0\0\0\0\0\0", 10), ReadAll(file.get()));
  ASSERT_TRUE(file->Expand(3, &old_size).IsOK());
  EXPECT_EQ(std::string(3, '\0'), file->ReadSimple(10, 3));
  ASSERT_TRUE(file->Truncate(2).IsOK());
  ASSERT_TRUE(file->Append("Q", 1, &off).IsOK());
  EXPECT_EQ(2, off);
  EXPECT_EQ("abQ", ReadAll(file.get()));

  // Overflowing ranges are refused and change nothing.
  EXPECT_NE(Status::SUCCESS, file->Write(INT64_MAX, "xy", 2).GetCode());
  EXPECT_NE(Status::SUCCESS, file->Write(-1, "xy", 2).GetCode());
  EXPECT_NE(Status::SUCCESS, file->Truncate(-1).GetCode());
  EXPECT_EQ("abQ", ReadAll(file.get()));

  ASSERT_TRUE(file->Synchronize(false).IsOK());
  ASSERT_TRUE(file->Synchronize(true).IsOK());
  ASSERT_TRUE(file->Synchronize(true, 1, 1).IsOK());
  ASSERT_TRUE(file->Close().IsOK());
  EXPECT_FALSE(file->IsOpen());
  EXPECT_EQ(3, DiskSize(path));

  // Reopened read-only, it has the data and refuses changes.
  ASSERT_TRUE(file->Open(path, false).IsOK());
  EXPECT_EQ("abQ", ReadAll(file.get()));
  EXPECT_EQ(Status::PRECONDITION_ERROR, file->Write(0, "z", 1).GetCode());
  EXPECT_EQ(Status::PRECONDITION_ERROR, file->Append("z", 1).GetCode());
  EXPECT_EQ(Status::PRECONDITION_ERROR, file->Truncate(0).GetCode());
  EXPECT_TRUE(file->Synchronize(true).IsOK());
  ASSERT_TRUE(file->Close().IsOK());
  EXPECT_EQ(3, DiskSize(path));
}

TYPED_TEST(FileTest, LargeDataAcrossPagesAndGrowth) {
  const std::string path = this->Path("big.dat");
  auto file = this->MakeFile();
  // Tiny steps force many growths of the reservation or mapping.
  ASSERT_TRUE(file->SetAllocationStrategy(1, 1.0).IsOK());
  ASSERT_TRUE(file->Open(path, true).IsOK());
  std::string expected;
  for (int i = 0; i < 300; i++) {
    const std::string chunk(1 + i * 37 % 5000, static_cast<char>('a' + i % 26));
    int64_t off = 0;
    ASSERT_TRUE(file->Append(chunk.data(), chunk.size(), &off).IsOK());
    ASSERT_EQ(static_cast<int64_t>(expected.size()), off);
    expected += chunk;
  }
  EXPECT_EQ(expected, ReadAll(file.get()));
  ASSERT_TRUE(file->Synchronize(true, 5000, 9000).IsOK());
  ASSERT_TRUE(file->Synchronize(true, 1 << 30, 10).IsOK());
  ASSERT_TRUE(file->Close().IsOK());
  EXPECT_EQ(static_cast<int64_t>(expected.size()), DiskSize(path));
  ASSERT_TRUE(file->Open(path, false).IsOK());
  EXPECT_EQ(expected, ReadAll(file.get()));
  ASSERT_TRUE(file->Close().IsOK());
}

TYPED_TEST(FileTest, OpenOptions) {
  const std::string path = this->Path("b.dat");
  auto file = this->MakeFile();
  char buf[1];
  // Everything but Open on a closed file is refused.
  EXPECT_EQ(Status::PRECONDITION_ERROR, file->Read(0, buf, 0).GetCode());
  EXPECT_EQ(Status::PRECONDITION_ERROR, file->Append("x", 1).GetCode());
  EXPECT_EQ(Status::PRECONDITION_ERROR, file->Close().GetCode());
  EXPECT_EQ(-1, file->GetSizeSimple());
  EXPECT_EQ("", file->GetPathSimple());

  EXPECT_EQ(Status::NOT_FOUND_ERROR, file->Open(path, false).GetCode());
  EXPECT_EQ(Status::NOT_FOUND_ERROR, file->Open(path, true, File::OPEN_NO_CREATE).GetCode());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(Status::NOT_FOUND_ERROR, file->Open(this->Path("no/such/dir"), true).GetCode());
  // A system call failure names the call and the reason.
  const Status status = file->Open(this->Path(""), true);
  EXPECT_EQ(Status::SYSTEM_ERROR, status.GetCode());
  EXPECT_EQ("open failed: Is a directory", status.GetMessage());
  EXPECT_FALSE(file->IsOpen());

  ASSERT_TRUE(file->Open(path, true).IsOK());
  EXPECT_EQ(path, file->GetPathSimple());
  EXPECT_EQ(Status::PRECONDITION_ERROR, file->Open(path, true).GetCode());
  ASSERT_TRUE(file->Append("hello", 5).IsOK());
  ASSERT_TRUE(file->Close().IsOK());

  // Without truncation the content stays; with it, it goes.
  ASSERT_TRUE(file->Open(path, true, File::OPEN_NO_CREATE).IsOK());
  EXPECT_EQ("hello", ReadAll(file.get()));
  ASSERT_TRUE(file->Close().IsOK());
  ASSERT_TRUE(file->Open(path, false, File::OPEN_TRUNCATE).IsOK());
  EXPECT_EQ(5, file->GetSizeSimple());
  ASSERT_TRUE(file->Close().IsOK());
  ASSERT_TRUE(file->Open(path, true, File::OPEN_TRUNCATE | File::OPEN_SYNC_HARD).IsOK());
  EXPECT_EQ(0, file->GetSizeSimple());
  ASSERT_TRUE(file->Append("bye", 3).IsOK());
  ASSERT_TRUE(file->Synchronize(false).IsOK());
  ASSERT_TRUE(file->Close().IsOK());
  EXPECT_EQ(3, DiskSize(path));

  // A directory is not a file.
  EXPECT_NE(Status::SUCCESS, file->Open(this->Path(""), false).GetCode());
  EXPECT_FALSE(file->IsOpen());
}

TYPED_TEST(FileTest, LockAgainstSecondOpenFile) {
  const std::string path = this->Path("c.dat");
  auto writer = this->MakeFile();
  auto other = this->MakeFile();
  ASSERT_TRUE(writer->Open(path, true).IsOK());
  ASSERT_TRUE(writer->Append("data", 4).IsOK());
  EXPECT_EQ(Status::INFEASIBLE_ERROR, other->Open(path, true, File::OPEN_NO_WAIT).GetCode());
  EXPECT_EQ(Status::INFEASIBLE_ERROR, other->Open(path, false, File::OPEN_NO_WAIT).GetCode());
  // A failed open with truncation must not have touched the holder's data.
  EXPECT_EQ(Status::INFEASIBLE_ERROR,
            other->Open(path, true, File::OPEN_NO_WAIT | File::OPEN_TRUNCATE).GetCode());
  EXPECT_EQ("data", ReadAll(writer.get()));
  ASSERT_TRUE(other->Open(path, false, File::OPEN_NO_LOCK).IsOK());
  ASSERT_TRUE(other->Close().IsOK());

  // Regression: a second open in this process waited for ever for its own
  // lock; without no_wait it now fails at once, naming the conflict.
  Status status = other->Open(path, true);
  EXPECT_EQ(Status::INFEASIBLE_ERROR, status.GetCode());
  EXPECT_NE(std::string::npos, status.GetMessage().find("opened for writing in this process"));
  EXPECT_EQ(Status::INFEASIBLE_ERROR, other->Open(path, false).GetCode());
  EXPECT_FALSE(other->IsOpen());
  ASSERT_TRUE(writer->Close().IsOK());
  // The close released the process's claim as well as the lock.
  ASSERT_TRUE(other->Open(path, true).IsOK());
  EXPECT_EQ("data", ReadAll(other.get()));
  ASSERT_TRUE(other->Close().IsOK());

  // Readers share the lock; a writer is kept out while they hold it.
  auto reader = this->MakeFile();
  ASSERT_TRUE(reader->Open(path, false).IsOK());
  ASSERT_TRUE(other->Open(path, false).IsOK());
  status = writer->Open(path, true);
  EXPECT_EQ(Status::INFEASIBLE_ERROR, status.GetCode());
  EXPECT_NE(std::string::npos, status.GetMessage().find("opened for reading in this process"));
  ASSERT_TRUE(reader->Close().IsOK());
  ASSERT_TRUE(other->Close().IsOK());
  ASSERT_TRUE(writer->Open(path, true, File::OPEN_NO_WAIT).IsOK());
  ASSERT_TRUE(writer->Close().IsOK());
}

TYPED_TEST(FileTest, LockAgainstOtherProcess) {
  const std::string path = this->Path("d.dat");
  int to_parent[2];
  int to_child[2];
  ASSERT_EQ(0, pipe(to_parent));
  ASSERT_EQ(0, pipe(to_child));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto file = this->MakeFile();
    char ready = file->Open(path, true).IsOK() ? 'y' : 'n';
    if (write(to_parent[1], &ready, 1) != 1) _exit(2);
    char go = 0;
    if (read(to_child[0], &go, 1) != 1) _exit(3);
    // Exits without Close: the lock goes with the process.
    _exit(ready == 'y' ? 0 : 1);
  }
  char ready = 0;
  ASSERT_EQ(1, read(to_parent[0], &ready, 1));
  ASSERT_EQ('y', ready);
  auto file = this->MakeFile();
  EXPECT_EQ(Status::INFEASIBLE_ERROR, file->Open(path, true, File::OPEN_NO_WAIT).GetCode());
  EXPECT_EQ(Status::INFEASIBLE_ERROR, file->Open(path, false, File::OPEN_NO_WAIT).GetCode());
  ASSERT_EQ(1, write(to_child[1], "g", 1));
  int wstatus = 0;
  ASSERT_EQ(pid, waitpid(pid, &wstatus, 0));
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
  // The process is gone: a blocking open gets the lock at once.
  ASSERT_TRUE(file->Open(path, true).IsOK());
  ASSERT_TRUE(file->Close().IsOK());
  for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) close(fd);
}

TYPED_TEST(FileTest, ConcurrentAppendsAndExpandsNeverOverlap) {
  const std::string path = this->Path("e.dat");
  auto file = this->MakeFile();
  // Small growth steps make the threads race through many remaps.
  ASSERT_TRUE(file->SetAllocationStrategy(64, 1.1).IsOK());
  ASSERT_TRUE(file->Open(path, true).IsOK());
  constexpr int kThreads = 4;
  constexpr int kRecords = 400;
  std::vector<std::vector<std::pair<int64_t, std::string>>> written(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecords; i++) {
        const std::string data = std::to_string(t) + ":" + std::to_string(i) + ":" +
                                 std::string(1 + (i * 13 + t) % 200, static_cast<char>('A' + t));
        int64_t off = -1;
        if (i % 5 == 0) {
          // Expand claims a region like Append, and it reads as zeros.
          const std::string zeros(data.size(), '\0');
          if (!file->Expand(zeros.size(), &off).IsOK()) {
            failures[t]++;
            continue;
          }
          if (file->ReadSimple(off, zeros.size()) != zeros) failures[t]++;
          written[t].emplace_back(off, zeros);
          continue;
        }
        if (!file->Append(data.data(), data.size(), &off).IsOK()) {
          failures[t]++;
          continue;
        }
        // Reading back at once, while others grow the file.
        if (file->ReadSimple(off, data.size()) != data) failures[t]++;
        written[t].emplace_back(off, data);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(kThreads, 0), failures);
  std::vector<std::pair<int64_t, std::string>> all;
  for (const auto& records : written) all.insert(all.end(), records.begin(), records.end());
  std::sort(all.begin(), all.end());
  int64_t expected_off = 0;
  for (const auto& [off, data] : all) {
    ASSERT_EQ(expected_off, off) << "regions overlap or leave a gap";
    expected_off += data.size();
  }
  EXPECT_EQ(expected_off, file->GetSizeSimple());
  ASSERT_TRUE(file->Close().IsOK());
  ASSERT_TRUE(file->Open(path, false).IsOK());
  for (const auto& [off, data] : all) ASSERT_EQ(data, file->ReadSimple(off, data.size()));
  ASSERT_TRUE(file->Close().IsOK());
}

TYPED_TEST(FileTest, ConcurrentWritesAndReadsOfDisjointSlots) {
  const std::string path = this->Path("f.dat");
  auto file = this->MakeFile();
  ASSERT_TRUE(file->SetAllocationStrategy(128, 1.2).IsOK());
  ASSERT_TRUE(file->Open(path, true).IsOK());
  constexpr int kThreads = 4;
  constexpr int kSlots = 300;
  constexpr int kSlotSize = 16;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      // Slots interleave across threads, so the file grows from all sides.
      for (int i = 0; i < kSlots; i++) {
        const int64_t off = (static_cast<int64_t>(i) * kThreads + t) * kSlotSize;
        const std::string data(kSlotSize, static_cast<char>('a' + (i + t) % 26));
        if (!file->Write(off, data.data(), data.size()).IsOK()) failures[t]++;
        if (file->ReadSimple(off, data.size()) != data) failures[t]++;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(kThreads, 0), failures);
  EXPECT_EQ(kThreads * kSlots * kSlotSize, file->GetSizeSimple());
  for (int i = 0; i < kSlots * kThreads; i++) {
    const int t = i % kThreads;
    const std::string data(kSlotSize, static_cast<char>('a' + (i / kThreads + t) % 26));
    ASSERT_EQ(data, file->ReadSimple(static_cast<int64_t>(i) * kSlotSize, kSlotSize));
  }
  ASSERT_TRUE(file->Close().IsOK());
}

TYPED_TEST(FileTest, ReadsRacingTruncationNeverCrash) {
  // A cut of a mapped file under a reader must not raise SIGBUS, and no read
  // may give bytes that were never in the file.
  const std::string path = this->Path("t.dat");
  auto file = this->MakeFile();
  ASSERT_TRUE(file->Open(path, true).IsOK());
  constexpr int64_t kBigSize = 1 << 16;
  const std::string pattern(kBigSize, 'p');
  ASSERT_TRUE(file->Append(pattern.data(), pattern.size()).IsOK());
  std::atomic<bool> done(false);
  std::vector<int> bad_reads(2, 0);
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; t++) {
    readers.emplace_back([&, t] {
      char buf[512];
      int64_t off = t * 4099;
      while (!done.load()) {
        off = (off + 7919) % (kBigSize - sizeof(buf));
        const Status status = file->Read(off, buf, sizeof(buf));
        if (status.IsOK()) {
          for (char c : buf) {
            if (c != 'p' && c != '\0') bad_reads[t]++;
          }
        } else if (status != Status::INFEASIBLE_ERROR) {
          bad_reads[t]++;
        }
      }
    });
  }
  for (int i = 0; i < 200; i++) {
    ASSERT_TRUE(file->Truncate(i % 2 == 0 ? 100 : kBigSize).IsOK());
  }
  done.store(true);
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(std::vector<int>(2, 0), bad_reads);
  ASSERT_TRUE(file->Close().IsOK());
  EXPECT_EQ(kBigSize, DiskSize(path));
}

TYPED_TEST(FileTest, Rename) {
  const std::string path = this->Path("g.dat");
  const std::string new_path = this->Path("h.dat");
  auto file = this->MakeFile();
  ASSERT_TRUE(file->SetAllocationStrategy(1 << 20, 2.0).IsOK());
  ASSERT_TRUE(file->Open(path, true).IsOK());
  ASSERT_TRUE(file->Append("one", 3).IsOK());
  ASSERT_TRUE(file->Rename(new_path).IsOK());
  EXPECT_EQ(new_path, file->GetPathSimple());
  EXPECT_FALSE(std::filesystem::exists(path));
  // The file is whole under its new name, without the reserved tail.
  EXPECT_EQ(3, DiskSize(new_path));
  ASSERT_TRUE(file->Append("two", 3).IsOK());
  EXPECT_EQ(Status::SYSTEM_ERROR, file->Rename(this->Path("no/such/x")).GetCode());
  EXPECT_EQ(new_path, file->GetPathSimple());
  ASSERT_TRUE(file->Close().IsOK());
  ASSERT_TRUE(file->Open(new_path, false).IsOK());
  EXPECT_EQ("onetwo", ReadAll(file.get()));
  ASSERT_TRUE(file->Close().IsOK());
}

// Regression: the reserved tail stayed on disk after Synchronize until Close.
TYPED_TEST(FileTest, SynchronizeLeavesTheFileAtItsLogicalSize) {
  const std::string path = this->Path("s.dat");
  auto file = this->MakeFile();
  ASSERT_TRUE(file->SetAllocationStrategy(1 << 20, 2.0).IsOK());
  ASSERT_TRUE(file->Open(path, true).IsOK());
  ASSERT_TRUE(file->Append("abc", 3).IsOK());
  for (const bool hard : {false, true}) {
    ASSERT_TRUE(file->Synchronize(hard).IsOK());
    EXPECT_EQ(file->GetSizeSimple(), DiskSize(path));
    // The file grows again after the trim, with zeros where it was cut.
    const std::string more(5000, hard ? 'h' : 's');
    ASSERT_TRUE(file->Append(more.data(), more.size()).IsOK());
    int64_t off = -1;
    ASSERT_TRUE(file->Expand(10, &off).IsOK());
    EXPECT_EQ(std::string(10, '\0'), file->ReadSimple(off, 10));
  }
  const std::string data = ReadAll(file.get());
  EXPECT_EQ(3 + 2 * 5010, static_cast<int64_t>(data.size()));
  EXPECT_EQ("abc" + std::string(5000, 's'), data.substr(0, 5003));
  // A synchronized range does not cut the file.
  ASSERT_TRUE(file->Synchronize(true, 0, 3).IsOK());
  ASSERT_TRUE(file->Close().IsOK());
  EXPECT_EQ(static_cast<int64_t>(data.size()), DiskSize(path));
}

// Trims at Synchronize race with appends that grow the file again; a mapped
// page past the end of the file would kill the process.
TYPED_TEST(FileTest, AppendsAndReadsRacingSynchronizeStayWhole) {
  const std::string path = this->Path("r.dat");
  auto file = this->MakeFile();
  ASSERT_TRUE(file->SetAllocationStrategy(4096, 1.5).IsOK());
  ASSERT_TRUE(file->Open(path, true).IsOK());
  constexpr int kThreads = 3;
  constexpr int kRecords = 300;
  std::atomic<int> running(kThreads);
  std::vector<std::vector<std::pair<int64_t, std::string>>> written(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecords; i++) {
        const std::string data(1 + (i * 7 + t * 31) % 3000, static_cast<char>('a' + t));
        int64_t off = -1;
        if (!file->Append(data.data(), data.size(), &off).IsOK() ||
            file->ReadSimple(off, data.size()) != data) {
          failures[t]++;
        }
        written[t].emplace_back(off, data);
      }
      running--;
    });
  }
  int sync_failures = 0;
  while (running.load() > 0) {
    if (!file->Synchronize(false).IsOK()) sync_failures++;
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, sync_failures);
  EXPECT_EQ(std::vector<int>(kThreads, 0), failures);
  for (const auto& records : written) {
    for (const auto& [off, data] : records) {
      ASSERT_EQ(data, file->ReadSimple(off, data.size())) << off;
    }
  }
  ASSERT_TRUE(file->Synchronize(false).IsOK());
  EXPECT_EQ(file->GetSizeSimple(), DiskSize(path));
  ASSERT_TRUE(file->Close().IsOK());
}

TYPED_TEST(FileTest, AllocationStrategyArguments) {
  auto file = this->MakeFile();
  EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR, file->SetAllocationStrategy(-1, 2.0).GetCode());
  EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR, file->SetAllocationStrategy(1, 0.5).GetCode());
  EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR, file->SetAllocationStrategy(1, 0.0 / 0.0).GetCode());
  auto copy = file->MakeFile();
  ASSERT_NE(nullptr, copy);
  EXPECT_FALSE(copy->IsOpen());
  EXPECT_EQ(file->IsMemoryMapping(), copy->IsMemoryMapping());
  EXPECT_EQ(file->IsAtomic(), copy->IsAtomic());
}

class FileClassTest : public morvel_test::TempDirTest {};

// What each class says of itself, and that a file made from one is of the same
// class and reserves space by the same strategy.
TEST_F(FileClassTest, TraitsAndMadeFiles) {
  struct Case {
    std::unique_ptr<File> file;
    bool memory_mapping;
    bool atomic;
    bool reserves;
  };
  std::vector<Case> cases;
  cases.push_back({std::make_unique<StdFile>(), false, true, false});
  cases.push_back({std::make_unique<PositionalParallelFile>(), false, false, true});
  cases.push_back({std::make_unique<PositionalAtomicFile>(), false, true, true});
  cases.push_back({std::make_unique<MemoryMapParallelFile>(), true, false, true});
  cases.push_back({std::make_unique<MemoryMapAtomicFile>(), true, true, true});
  int index = 0;
  for (const auto& c : cases) {
    File& file = *c.file;
    SCOPED_TRACE(typeid(file).name());
    EXPECT_EQ(c.memory_mapping, file.IsMemoryMapping());
    EXPECT_EQ(c.atomic, file.IsAtomic());
    // Far from the default, so that a copy that lost it shows.
    constexpr int64_t kInitSize = 1 << 16;
    ASSERT_TRUE(file.SetAllocationStrategy(kInitSize, 2.0).IsOK());
    auto made = file.MakeFile();
    File& made_file = *made;
    EXPECT_EQ(typeid(file), typeid(made_file));
    const std::string path = Path("t" + std::to_string(index++) + ".dat");
    ASSERT_TRUE(made->Open(path, true).IsOK());
    ASSERT_TRUE(made->Append("x", 1).IsOK());
    // The buffered class writes nothing until it flushes.
    if (c.reserves) {
      EXPECT_EQ(kInitSize, DiskSize(path));
    }
    ASSERT_TRUE(made->Close().IsOK());
    EXPECT_EQ(1, DiskSize(path));
  }
}

template <typename T>
bool IsClass(File* file) {
  return dynamic_cast<T*>(file) != nullptr;
}

class PolyFileTest : public morvel_test::TempDirTest {};

TEST_F(PolyFileTest, ChoosesClassByName) {
  const std::string path = Path("p.dat");
  const std::vector<std::pair<std::string, bool (*)(File*)>> cases = {
      {"StdFile", IsClass<StdFile>},
      {"PositionalParallelFile", IsClass<PositionalParallelFile>},
      {"PositionalAtomicFile", IsClass<PositionalAtomicFile>},
      {"MemoryMapParallelFile", IsClass<MemoryMapParallelFile>},
      {"MemoryMapAtomicFile", IsClass<MemoryMapAtomicFile>},
  };
  for (const auto& [name, is_class] : cases) {
    SCOPED_TRACE(name);
    PolyFile file;
    EXPECT_EQ(nullptr, file.GetInternalFile());
    ASSERT_TRUE(file.OpenAdvanced(path, true, File::OPEN_DEFAULT, {{"file", name}}).IsOK());
    EXPECT_TRUE(is_class(file.GetInternalFile()));
    ASSERT_TRUE(file.Append(name.data(), name.size()).IsOK());
    ASSERT_TRUE(file.Close().IsOK());
    EXPECT_EQ(nullptr, file.GetInternalFile());
    // Reopening without parameters keeps the class.
    ASSERT_TRUE(file.Open(path, false).IsOK());
    EXPECT_TRUE(is_class(file.GetInternalFile()));
    ASSERT_TRUE(file.Close().IsOK());
    // A file made from it opens with the same class.
    auto made = file.MakeFile();
    ASSERT_TRUE(made->Open(path, false).IsOK());
    EXPECT_TRUE(is_class(static_cast<PolyFile*>(made.get())->GetInternalFile()));
    ASSERT_TRUE(made->Close().IsOK());
    EXPECT_TRUE(PolyFile::MakeFileByName(name) != nullptr);
  }
  PolyFile file;
  ASSERT_TRUE(file.Open(path, false).IsOK());
  EXPECT_TRUE(IsClass<MemoryMapParallelFile>(file.GetInternalFile()));
  ASSERT_TRUE(file.Close().IsOK());
}

TEST_F(PolyFileTest, BadParameters) {
  const std::string path = Path("q.dat");
  const std::vector<ParamMap> cases = {
      {{"file", "NoSuchFile"}},
      {{"file", ""}},
      {{"alloc_init_size", "-5"}},
      {{"alloc_init_size", "abc"}},
      {{"alloc_inc_factor", "0.5"}},
      {{"alloc_inc_factor", "nan"}},
  };
  for (const auto& params : cases) {
    SCOPED_TRACE(params.begin()->first + "=" + params.begin()->second);
    PolyFile file;
    const Status status = file.OpenAdvanced(path, true, File::OPEN_DEFAULT, params);
    EXPECT_EQ(Status::INVALID_ARGUMENT_ERROR, status.GetCode());
    EXPECT_NE(std::string::npos, status.GetMessage().find(params.begin()->second));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  EXPECT_EQ(nullptr, PolyFile::MakeFileByName("File"));

  // Good allocation parameters are taken.
  PolyFile file;
  ASSERT_TRUE(file.OpenAdvanced(path, true, File::OPEN_DEFAULT,
                                {{"alloc_init_size", "4096"}, {"alloc_inc_factor", "1.5"}})
                  .IsOK());
  ASSERT_TRUE(file.Append("x", 1).IsOK());
  ASSERT_TRUE(file.Close().IsOK());
  EXPECT_EQ(1, DiskSize(path));
}

class FileLockTest : public morvel_test::TempDirTest {};

// The process's claim on a file follows its inode: a file renamed over a path
// keeps its claim, and the replaced file's claim ends with its close.
TEST_F(FileLockTest, ClaimFollowsTheInodeAcrossRename) {
  const std::string path = Path("p.dat");
  PositionalParallelFile old_file, new_file, other;
  ASSERT_TRUE(old_file.Open(path, true).IsOK());
  ASSERT_TRUE(old_file.Append("old", 3).IsOK());
  ASSERT_TRUE(new_file.Open(path + ".tmp", true).IsOK());
  ASSERT_TRUE(new_file.Append("new", 3).IsOK());
  ASSERT_TRUE(new_file.Rename(path).IsOK());
  EXPECT_EQ(Status::INFEASIBLE_ERROR, other.Open(path, false).GetCode());
  ASSERT_TRUE(old_file.Close().IsOK());
  EXPECT_EQ(Status::INFEASIBLE_ERROR, other.Open(path, true).GetCode());
  // An open without the lock takes no claim and meets none.
  ASSERT_TRUE(other.Open(path, false, File::OPEN_NO_LOCK).IsOK());
  EXPECT_EQ("new", ReadAll(&other));
  ASSERT_TRUE(other.Close().IsOK());
  ASSERT_TRUE(new_file.Close().IsOK());
  ASSERT_TRUE(other.Open(path, true, File::OPEN_NO_WAIT).IsOK());
  EXPECT_EQ("new", ReadAll(&other));
  ASSERT_TRUE(other.Close().IsOK());
}

// Whether process |pid| waits for a flock, as /proc/locks shows ("->" lines
// are waiters).
bool WaitsForLock(pid_t pid) {
  std::FILE* fp = std::fopen("/proc/locks", "r");
  if (fp == nullptr) return false;
  char line[512];
  bool waiting = false;
  const std::string needle = " " + std::to_string(pid) + " ";
  while (std::fgets(line, sizeof(line), fp) != nullptr) {
    const std::string text(line);
    if (text.find("->") != std::string::npos && text.find(needle) != std::string::npos) {
      waiting = true;
    }
  }
  std::fclose(fp);
  return waiting;
}

// Polls until |pid| waits for a lock (true) or has exited (false).
bool AwaitLockWaitOrExit(pid_t pid) {
  for (int i = 0; i < 60000; i++) {
    if (WaitsForLock(pid)) return true;
    int wstatus = 0;
    if (waitpid(pid, &wstatus, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Regression: a process waiting for the lock held a descriptor of the old
// inode; when the holder renamed a new file over the path and closed the old
// one, the waiter got the old lock and worked on the replaced file.
TEST_F(FileLockTest, WaiterForARenamedFileLocksTheNewOne) {
  const std::string path = Path("w.dat");
  int to_parent[2];
  int to_child[2];
  ASSERT_EQ(0, pipe(to_parent));
  ASSERT_EQ(0, pipe(to_child));
  // Forked before anything is open, so the child shares no lock or claim.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char go = 0;
    if (read(to_child[0], &go, 1) != 1) _exit(2);
    auto file = std::make_unique<PositionalParallelFile>();
    if (!file->Open(path, true).IsOK()) _exit(3);
    const std::string data = file->ReadSimple(0, file->GetSizeSimple());
    if (write(to_parent[1], data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
      _exit(4);
    }
    _exit(file->Close().IsOK() ? 0 : 5);
  }
  close(to_parent[1]);
  auto holder = std::make_unique<PositionalParallelFile>();
  ASSERT_TRUE(holder->Open(path, true).IsOK());
  ASSERT_TRUE(holder->Append("old", 3).IsOK());
  ASSERT_EQ(1, write(to_child[1], "g", 1));
  ASSERT_TRUE(AwaitLockWaitOrExit(pid));
  auto successor = std::make_unique<PositionalParallelFile>();
  ASSERT_TRUE(successor->Open(path + ".tmp", true).IsOK());
  ASSERT_TRUE(successor->Append("new", 3).IsOK());
  ASSERT_TRUE(successor->Rename(path).IsOK());
  ASSERT_TRUE(holder->Close().IsOK());
  // The waiter gets the old lock, sees that the path has moved on and waits
  // for the new file; it reads what the successor holds when that closes.
  ASSERT_TRUE(successor->Append("+more", 5).IsOK());
  ASSERT_TRUE(successor->Close().IsOK());
  std::string got;
  char buf[64];
  ssize_t n = 0;
  while ((n = read(to_parent[0], buf, sizeof(buf))) > 0) got.append(buf, n);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
  EXPECT_EQ("new+more", got);
  for (int fd : {to_parent[0], to_child[0], to_child[1]}) close(fd);
}

}  // namespace
}  // namespace morvel
