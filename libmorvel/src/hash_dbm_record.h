// Reading the records of a hash database file: heads, keys, bodies with their
// checksums, chain walks and sequential scans. Private to the hash database
// sources.

#ifndef MORVEL_HASH_DBM_RECORD_H_
#define MORVEL_HASH_DBM_RECORD_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "morvel/file.h"
#include "morvel/status.h"
#include "hash_dbm_format.h"

namespace morvel {
namespace hashdbm {

// A record being read: its head, and views of its key and value into the
// prefix or the body buffer.
struct RecordRead {
  int64_t offset = 0;
  RecordHead head;
  char prefix[kReadPrefix];
  size_t prefix_size = 0;
  std::string body;
  std::string_view key;
  std::string_view value;
};


// Reads and checks the head of the record at |off| of a file whose record
// data ends at |end|.
Status ReadHead(File* file, const Layout& layout, int64_t end, int64_t off, RecordRead* rec);

// Sets |rec->key| and |rec->value| after ReadHead and checks the checksum.
Status ReadBody(File* file, const Layout& layout, RecordRead* rec);

// Brent's cycle detection over the offsets of a chain walk.
class CycleGuard {
 public:
  // False when |off| closes a cycle.
  bool Step(int64_t off) {
    if (off == saved_) {
      return false;
    }
    if (++steps_ == power_) {
      saved_ = off;
      power_ *= 2;
      steps_ = 0;
    }
    return true;
  }

 private:
  int64_t saved_ = -1;
  uint64_t power_ = 1;
  uint64_t steps_ = 0;
};

// Reads the record at |off| of a bucket chain walked under |guard|: its head,
// then its body with the checksum checked before the key is trusted, so that a
// damaged newest version is an error rather than a reason to walk on to an
// older one. A cycle or a free block in the chain is BROKEN_DATA_ERROR.
Status ReadChainRecord(File* file, const Layout& layout, int64_t end, int64_t off,
                       CycleGuard* guard, RecordRead* rec);

// A reader of a file through a large window, for sequential scans.
class ScanReader {
 public:
  ScanReader(File* file, int64_t end) : file_(file), end_(end) {}

  // A pointer to |size| bytes at |off|, valid until the next call, or null
  // when they are not inside the file or cannot be read.
  const char* Get(int64_t off, size_t size);

 private:
  File* file_;
  int64_t end_;
  std::string buf_;
  int64_t window_off_ = 0;
  int64_t window_size_ = 0;
};

// Checks a whole record at |p| (|size| readable bytes) and gives its key and
// value. False when it is not a whole record with a valid checksum.
bool CheckRecord(const Layout& layout, const char* p, size_t size, RecordHead* head,
                 std::string_view* key, std::string_view* value);

// The location of a key's current record after a chain walk.
struct Found {
  bool found = false;  // a live record of the key exists
  int64_t offset = 0;  // its offset
  int64_t prev = 0;    // the previous record of the chain; 0 when it is the head
  int64_t head = 0;    // the bucket's first record
  RecordRead rec;
};

// A live record of a chain, as listed by ReadChain.
struct ChainEntry {
  std::string key;
  std::string value;      // only when asked for
  int64_t data_size = 0;  // the sizes of the key and the value
  int64_t slot = 0;       // the bytes of the record
  int64_t offset = 0;     // where the record is
};

}  // namespace hashdbm
}  // namespace morvel

#endif  // MORVEL_HASH_DBM_RECORD_H_
