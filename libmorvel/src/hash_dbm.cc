// HashDBM: the persistent hash database.
//
// File layout (all numbers big-endian):
//
//   header, 128 bytes
//     0   magic "MorvHDB\n"
//     8   format version (1)
//     9   update mode (0 in place, 1 appending)
//     10  record checksum mode (0 none, 1 crc8, 2 crc16, 3 crc32)
//     11  offset width (4, 5 or 6)
//     12  alignment power (0..16)
//     16  number of buckets (8 bytes)
//     24  CRC-32 of bytes 0..23: the static part, written once at creation
//     32  cleanly-closed flag (1 clean, 0 not)
//     40  number of records (8)
//     48  live data size: the sum of key and value sizes of live records (8)
//     56  live slot size: the bytes of the record region held by live records (8)
//     64  file size at the last synchronization (8)
//     72  timestamp of the last update, microseconds since the epoch (8)
//     80  CRC-32 of bytes 32..79: the dynamic part, rewritten at every sync
//   bucket array: num_buckets offsets of offset_width bytes each, in units of
//     2^align_pow bytes; 0 is an empty bucket.
//   record region, from the first aligned offset after the bucket array.
//
// A record (its size a multiple of 2^align_pow):
//   type (1 byte: set 0xC1, removal 0xC2, free block 0xC3), checksum (0, 1, 2
//   or 4 bytes), link to the next record of the bucket (offset_width bytes,
//   units), key size, value size and padding size as varints (7 bits a byte,
//   most significant group first, the high bit set on all but the last byte;
//   leading groups of zeros are allowed so that a record can fill a slot
//   exactly), the key, the value, padding. The checksum covers the varints,
//   the key and the value, not the link, which is rewritten when a chain
//   changes.
//
// Chains: a new record goes to the head of its bucket's chain. In the
// appending mode nothing is ever overwritten: the first record of a key in its
// chain is its current state (a removal record means absent), so the chain
// runs from the newest record to the oldest. In the in-place mode every key has
// at most one record: a new value that fits the old slot is written over it; a
// larger one goes to a reused free block or the end and takes the old record's
// place in the chain; a removed or moved record is unlinked and then marked as
// a free block and offered to the free-block pool (memory only; Rebuild
// reclaims what the pool forgets).
//
// Writes are ordered so that the chains are whole at every moment: a record is
// complete before anything links to it, and a record is unlinked before it is
// freed. The first write after an open or a synchronization clears the clean
// flag (and makes that durable) before any record changes; Synchronize and
// Close write the counts and set the flag again. A file whose flag is clear, or
// whose dynamic header fails its checksum, or which is shorter than recorded,
// was not closed cleanly and is restored when opened writable (unless
// "restore_mode" is "noop").
//
// Restoring walks every chain, checking every record (bounds, type, checksum,
// bucket) and guarding against cycles; a whole chain gives the exact state of
// its bucket. The buckets whose chains are broken are then recovered by a
// sequential scan of the record region, which keeps every whole record whose
// checksum passes and takes the last one of each key. Every offset and size is
// checked against the end of the file before it is read.
//
// Locks, always taken in this order: |file_mutex_| (shared by the walks over
// buckets: iterators, ProcessFirst, ProcessEach, and by the queries;
// exclusive for Open, Close, Clear, Rebuild, Synchronize, CopyFileData, which
// then also take every stripe), then bucket stripes (bucket % kNumStripes;
// shared to read, exclusive to write; several taken in ascending order), then
// the free-block pool's mutex or |header_mutex_|. Process and ProcessMulti take
// their stripes only. Processors run with the stripe lock held. A record is
// read only within its own slot, since the neighbouring records belong to
// other stripes; the counts are kept per stripe for the same reason.

#include "morvel/hash_dbm.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <unordered_set>

#include "morvel/file.h"
#include "morvel/hash_util.h"
#include "morvel/lib_common.h"
#include "morvel/poly_file.h"
#include "hash_crc.h"
#include "param_check.h"

namespace morvel {

namespace {

constexpr char kMagic[] = "MorvHDB\n";
constexpr size_t kMagicSize = 8;
constexpr uint8_t kFormatVersion = 1;
constexpr int64_t kHeaderSize = 128;
constexpr int kOffVersion = 8;
constexpr int kOffUpdateMode = 9;
constexpr int kOffCrcMode = 10;
constexpr int kOffOffsetWidth = 11;
constexpr int kOffAlignPow = 12;
constexpr int kOffNumBuckets = 16;
constexpr int kOffStaticCrc = 24;
constexpr int kDynBegin = 32;
constexpr int kOffClean = 32;
constexpr int kOffNumRecords = 40;
constexpr int kOffEffDataSize = 48;
constexpr int kOffLiveSize = 56;
constexpr int kOffFileSize = 64;
constexpr int kOffTimestamp = 72;
constexpr int kOffDynCrc = 80;
constexpr int kDynEnd = 84;

constexpr uint8_t kRecordSet = 0xC1;
constexpr uint8_t kRecordRemove = 0xC2;
constexpr uint8_t kRecordFree = 0xC3;

enum UpdateMode : uint8_t { kUpdateInPlace = 0, kUpdateAppending = 1 };
enum CrcMode : uint8_t { kCrcNone = 0, kCrc8 = 1, kCrc16 = 2, kCrc32 = 3 };

// Bucket stripes. Whole-file operations hold all of them at once, so the count
// stays well under what lock checkers (the thread sanitizer tracks 64 held
// locks) can follow.
constexpr size_t kNumStripes = 32;
// Bytes read at once for a record: usually the whole record of small data.
constexpr size_t kReadPrefix = 64;
// Records up to this size are encoded on the stack.
constexpr size_t kStackRecordSize = 512;
constexpr size_t kMaxVarBytes = 5;
constexpr uint64_t kMaxFieldSize = (1ULL << 32) - 1;
constexpr uint64_t kDefaultNumBuckets = 1048583;
constexpr uint64_t kMaxNumBuckets = 1ULL << 32;
constexpr int kDefaultAlignPow = 3;
constexpr int kMaxAlignPow = 16;
constexpr int kDefaultOffsetWidth = 4;
constexpr int64_t kDefaultFbpCapacity = 2048;
constexpr uint64_t kMinFittedBuckets = 1021;
// Buckets read at once when scanning the bucket array.
constexpr uint64_t kBucketBatch = 4096;
// The window of the sequential scan of restoring.
constexpr size_t kScanWindow = 1 << 20;

// Varints: 7 bits a byte, the most significant group first.
size_t VarSize(uint64_t num) {
  size_t size = 1;
  while (num >= 128) {
    num >>= 7;
    size++;
  }
  return size;
}

// Writes |num| in exactly |width| bytes (|num| must fit).
void PutVar(char* buf, uint64_t num, size_t width) {
  for (size_t i = width; i-- > 0;) {
    buf[i] = static_cast<char>((num & 0x7F) | (i + 1 == width ? 0 : 0x80));
    num >>= 7;
  }
}

// Reads a varint; returns the bytes consumed or 0 when broken.
size_t GetVar(const char* buf, size_t size, uint64_t* num) {
  uint64_t value = 0;
  for (size_t i = 0; i < size && i < kMaxVarBytes; i++) {
    const uint8_t byte = static_cast<uint8_t>(buf[i]);
    value = (value << 7) | (byte & 0x7F);
    if ((byte & 0x80) == 0) {
      *num = value;
      return i + 1;
    }
  }
  return 0;
}

// Four bytes, the usual width of offsets and checksums, are spelled out so
// that the compiler makes one load or store of them; the loops do the rest.
void PutBE(char* buf, uint64_t num, size_t width) {
  if (width == 4) {
    buf[0] = static_cast<char>(num >> 24);
    buf[1] = static_cast<char>(num >> 16);
    buf[2] = static_cast<char>(num >> 8);
    buf[3] = static_cast<char>(num);
    return;
  }
  for (size_t i = width; i-- > 0;) {
    buf[i] = static_cast<char>(num & 0xFF);
    num >>= 8;
  }
}

uint64_t GetBE(const char* buf, size_t width) {
  if (width == 4) {
    const auto* ubuf = reinterpret_cast<const uint8_t*>(buf);
    return static_cast<uint64_t>(ubuf[0]) << 24 | static_cast<uint64_t>(ubuf[1]) << 16 |
           static_cast<uint64_t>(ubuf[2]) << 8 | static_cast<uint64_t>(ubuf[3]);
  }
  uint64_t num = 0;
  for (size_t i = 0; i < width; i++) {
    num = (num << 8) | static_cast<uint8_t>(buf[i]);
  }
  return num;
}

int64_t AlignUp(int64_t num, int64_t align) { return (num + align - 1) / align * align; }

Status BrokenData(const std::string& what) { return Status(Status::BROKEN_DATA_ERROR, what); }

// The shape of a database file: its tuning and what follows from it.
struct Layout {
  uint64_t num_buckets = kDefaultNumBuckets;
  int align_pow = kDefaultAlignPow;
  int offset_width = kDefaultOffsetWidth;
  UpdateMode update_mode = kUpdateInPlace;
  CrcMode crc_mode = kCrc32;

  int64_t align = 0;
  int crc_width = 0;
  int64_t record_base = 0;
  int64_t max_file_size = 0;

  void Derive() {
    align = int64_t(1) << align_pow;
    static constexpr int kWidths[] = {0, 1, 2, 4};
    crc_width = kWidths[crc_mode];
    record_base = AlignUp(kHeaderSize + static_cast<int64_t>(num_buckets) * offset_width,
                          std::max<int64_t>(align, 8));
    const int bits = std::min(62, offset_width * 8 + align_pow);
    max_file_size = int64_t(1) << bits;
  }

  int64_t BucketPos(uint64_t bucket) const {
    return kHeaderSize + static_cast<int64_t>(bucket) * offset_width;
  }
  int LinkPos() const { return 1 + crc_width; }
  int VarPos() const { return 1 + crc_width + offset_width; }

  // The smallest aligned slot of a record.
  int64_t MinSlot(size_t key_size, size_t value_size) const {
    const int64_t base = VarPos() + VarSize(key_size) + VarSize(value_size) + 1 +
                         static_cast<int64_t>(key_size + value_size);
    return AlignUp(base, align);
  }
};

const char* UpdateModeName(UpdateMode mode) {
  return mode == kUpdateAppending ? "appending" : "in_place";
}

const char* CrcModeName(CrcMode mode) {
  static const char* const kNames[] = {"none", "crc8", "crc16", "crc32"};
  return kNames[mode];
}

uint32_t Checksum(CrcMode mode, const char* data, size_t size) {
  switch (mode) {
    case kCrc8:
      return HashCRC8(data, size);
    case kCrc16:
      return HashCRC16(data, size);
    case kCrc32:
      return FastCRC32(data, size);
    default:
      return 0;
  }
}

// The parameters of Open, Rebuild and RestoreDatabase ("restore_mode" matters
// to Open only).
const ParamRule kTuningRules[] = {
    {"num_buckets", ParamRule::kInteger, 1, static_cast<int64_t>(kMaxNumBuckets)},
    {"align_pow", ParamRule::kInteger, 0, kMaxAlignPow},
    {"offset_width", ParamRule::kInteger, 4, 6},
    {"update_mode", ParamRule::kChoice, 0, 0,
     "in_place|appending|update_in_place|update_appending"},
    {"record_crc_mode", ParamRule::kChoice, 0, 0, "none|crc8|crc16|crc32"},
    {"fbp_capacity", ParamRule::kInteger, 0, INT32_MAX},
    {"restore_mode", ParamRule::kChoice, 0, 0, "default|noop"},
    {"file", ParamRule::kText},
    {"alloc_init_size", ParamRule::kInteger, 0, INT64_MAX},
    {"alloc_inc_factor", ParamRule::kReal, 1, INT64_MAX},
};

// Reads the tuning of |params| over |layout|: only the keys present change it.
Status ParseTuning(const ParamMap& params, Layout* layout) {
  auto it = params.find("num_buckets");
  if (it != params.end()) {
    const int64_t num = StrToInt(it->second, -1);
    if (num > 0) {
      if (static_cast<uint64_t>(num) > kMaxNumBuckets) {
        return Status(Status::INVALID_ARGUMENT_ERROR, "num_buckets is too large");
      }
      layout->num_buckets = num;
    }
  }
  it = params.find("align_pow");
  if (it != params.end()) {
    const int64_t num = StrToInt(it->second, -1);
    if (num < 0 || num > kMaxAlignPow) {
      return Status(Status::INVALID_ARGUMENT_ERROR, "align_pow must be 0 to 16");
    }
    layout->align_pow = num;
  }
  it = params.find("offset_width");
  if (it != params.end()) {
    const int64_t num = StrToInt(it->second, -1);
    if (num < 4 || num > 6) {
      return Status(Status::INVALID_ARGUMENT_ERROR, "offset_width must be 4, 5 or 6");
    }
    layout->offset_width = num;
  }
  it = params.find("update_mode");
  if (it != params.end()) {
    const std::string mode = StrLowerCase(it->second);
    if (mode == "in_place" || mode == "update_in_place") {
      layout->update_mode = kUpdateInPlace;
    } else if (mode == "appending" || mode == "update_appending") {
      layout->update_mode = kUpdateAppending;
    } else {
      return Status(Status::INVALID_ARGUMENT_ERROR, "unknown update_mode: " + it->second);
    }
  }
  it = params.find("record_crc_mode");
  if (it != params.end()) {
    const std::string mode = StrLowerCase(it->second);
    if (mode == "none") {
      layout->crc_mode = kCrcNone;
    } else if (mode == "crc8") {
      layout->crc_mode = kCrc8;
    } else if (mode == "crc16") {
      layout->crc_mode = kCrc16;
    } else if (mode == "crc32") {
      layout->crc_mode = kCrc32;
    } else {
      return Status(Status::INVALID_ARGUMENT_ERROR,
                    "unknown record_crc_mode: " + it->second);
    }
  }
  layout->Derive();
  return Status();
}

// The static header part, or a failure naming what is wrong with it.
Status ParseStaticHeader(const char* buf, Layout* layout) {
  if (std::memcmp(buf, kMagic, kMagicSize) != 0) {
    return BrokenData("not a hash database file: bad magic data");
  }
  if (static_cast<uint32_t>(GetBE(buf + kOffStaticCrc, 4)) != HashCRC32(buf, kOffStaticCrc)) {
    return BrokenData("the static header fails its checksum");
  }
  if (static_cast<uint8_t>(buf[kOffVersion]) != kFormatVersion) {
    return BrokenData("unsupported format version");
  }
  const uint8_t update_mode = buf[kOffUpdateMode];
  const uint8_t crc_mode = buf[kOffCrcMode];
  const uint8_t offset_width = buf[kOffOffsetWidth];
  const uint8_t align_pow = buf[kOffAlignPow];
  const uint64_t num_buckets = GetBE(buf + kOffNumBuckets, 8);
  if (update_mode > kUpdateAppending || crc_mode > kCrc32 || offset_width < 4 ||
      offset_width > 6 || align_pow > kMaxAlignPow || num_buckets < 1 ||
      num_buckets > kMaxNumBuckets) {
    return BrokenData("invalid tuning in the header");
  }
  layout->update_mode = static_cast<UpdateMode>(update_mode);
  layout->crc_mode = static_cast<CrcMode>(crc_mode);
  layout->offset_width = offset_width;
  layout->align_pow = align_pow;
  layout->num_buckets = num_buckets;
  layout->Derive();
  return Status();
}

void MakeStaticHeader(const Layout& layout, char* buf) {
  std::memset(buf, 0, kDynBegin);
  std::memcpy(buf, kMagic, kMagicSize);
  buf[kOffVersion] = kFormatVersion;
  buf[kOffUpdateMode] = layout.update_mode;
  buf[kOffCrcMode] = layout.crc_mode;
  buf[kOffOffsetWidth] = static_cast<char>(layout.offset_width);
  buf[kOffAlignPow] = static_cast<char>(layout.align_pow);
  PutBE(buf + kOffNumBuckets, layout.num_buckets, 8);
  PutBE(buf + kOffStaticCrc, HashCRC32(buf, kOffStaticCrc), 4);
}

// The counts of the dynamic header part.
struct DynamicHeader {
  bool clean = false;
  int64_t num_records = 0;
  int64_t eff_data_size = 0;
  int64_t live_size = 0;
  int64_t file_size = 0;
  int64_t timestamp_us = 0;
};

// |buf| holds the whole header; false when the dynamic part fails its checksum.
bool ParseDynamicHeader(const char* buf, DynamicHeader* dyn) {
  if (static_cast<uint32_t>(GetBE(buf + kOffDynCrc, 4)) !=
      HashCRC32(buf + kDynBegin, kOffDynCrc - kDynBegin)) {
    return false;
  }
  dyn->clean = buf[kOffClean] == 1;
  dyn->num_records = GetBE(buf + kOffNumRecords, 8);
  dyn->eff_data_size = GetBE(buf + kOffEffDataSize, 8);
  dyn->live_size = GetBE(buf + kOffLiveSize, 8);
  dyn->file_size = GetBE(buf + kOffFileSize, 8);
  dyn->timestamp_us = GetBE(buf + kOffTimestamp, 8);
  return dyn->num_records >= 0 && dyn->eff_data_size >= 0 && dyn->live_size >= 0 &&
         dyn->file_size >= 0;
}

// Fills |buf| (kDynEnd - kDynBegin bytes) with the dynamic part.
void MakeDynamicHeader(const DynamicHeader& dyn, char* buf) {
  std::memset(buf, 0, kDynEnd - kDynBegin);
  buf[kOffClean - kDynBegin] = dyn.clean ? 1 : 0;
  PutBE(buf + kOffNumRecords - kDynBegin, dyn.num_records, 8);
  PutBE(buf + kOffEffDataSize - kDynBegin, dyn.eff_data_size, 8);
  PutBE(buf + kOffLiveSize - kDynBegin, dyn.live_size, 8);
  PutBE(buf + kOffFileSize - kDynBegin, dyn.file_size, 8);
  PutBE(buf + kOffTimestamp - kDynBegin, dyn.timestamp_us, 8);
  PutBE(buf + kOffDynCrc - kDynBegin, HashCRC32(buf, kOffDynCrc - kDynBegin), 4);
}

// The parsed fixed part of a record.
struct RecordHead {
  uint8_t type = 0;
  uint32_t crc = 0;
  int64_t link = 0;  // bytes; 0 ends the chain
  uint64_t key_size = 0;
  uint64_t value_size = 0;
  uint64_t pad_size = 0;
  size_t header_size = 0;
  int64_t slot = 0;
};

// Parses the fixed part from |size| bytes at |buf|. False when it is not a
// whole, well-formed record head.
bool ParseHead(const Layout& layout, const char* buf, size_t size, RecordHead* head) {
  if (size < static_cast<size_t>(layout.VarPos()) + 3) {
    return false;
  }
  head->type = static_cast<uint8_t>(buf[0]);
  if (head->type != kRecordSet && head->type != kRecordRemove && head->type != kRecordFree) {
    return false;
  }
  head->crc = static_cast<uint32_t>(GetBE(buf + 1, layout.crc_width));
  head->link = static_cast<int64_t>(GetBE(buf + layout.LinkPos(), layout.offset_width))
               << layout.align_pow;
  size_t pos = layout.VarPos();
  size_t step = GetVar(buf + pos, size - pos, &head->key_size);
  if (step == 0) return false;
  pos += step;
  step = GetVar(buf + pos, size - pos, &head->value_size);
  if (step == 0) return false;
  pos += step;
  step = GetVar(buf + pos, size - pos, &head->pad_size);
  if (step == 0) return false;
  pos += step;
  if (head->key_size > kMaxFieldSize || head->value_size > kMaxFieldSize ||
      head->pad_size > kMaxFieldSize) {
    return false;
  }
  head->header_size = pos;
  head->slot = static_cast<int64_t>(pos + head->key_size + head->value_size + head->pad_size);
  return head->slot % layout.align == 0;
}

// Encodes a record filling a slot of exactly |slot| bytes into |buf| (at least
// |slot| bytes when |fill_pad|, else header, key and value). Returns the bytes
// of header, key and value, or 0 when the record does not fit the slot.
size_t EncodeRecord(const Layout& layout, uint8_t type, int64_t link, std::string_view key,
                    std::string_view value, int64_t slot, bool fill_pad, char* buf) {
  const size_t key_var = VarSize(key.size());
  const size_t value_var = VarSize(value.size());
  const int64_t base = layout.VarPos() + key_var + value_var + key.size() + value.size();
  const int64_t rest = slot - base;
  size_t pad_var = 0;
  uint64_t pad = 0;
  for (size_t width = 1; width <= kMaxVarBytes; width++) {
    if (rest < static_cast<int64_t>(width)) {
      return 0;
    }
    pad = rest - width;
    if (VarSize(pad) <= width) {
      pad_var = width;
      break;
    }
  }
  if (pad_var == 0) {
    return 0;
  }
  buf[0] = static_cast<char>(type);
  PutBE(buf + layout.LinkPos(), static_cast<uint64_t>(link) >> layout.align_pow,
        layout.offset_width);
  char* wp = buf + layout.VarPos();
  PutVar(wp, key.size(), key_var);
  wp += key_var;
  PutVar(wp, value.size(), value_var);
  wp += value_var;
  PutVar(wp, pad, pad_var);
  wp += pad_var;
  std::memcpy(wp, key.data(), key.size());
  wp += key.size();
  std::memcpy(wp, value.data(), value.size());
  wp += value.size();
  const size_t filled = wp - buf;
  if (layout.crc_width > 0) {
    const char* crc_begin = buf + layout.VarPos();
    PutBE(buf + 1, Checksum(layout.crc_mode, crc_begin, wp - crc_begin), layout.crc_width);
  }
  if (fill_pad) {
    std::memset(wp, 0, pad);
  }
  return filled;
}

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
Status ReadHead(File* file, const Layout& layout, int64_t end, int64_t off, RecordRead* rec) {
  if (off < layout.record_base || off >= end || (off - layout.record_base) % layout.align != 0) {
    return BrokenData(SPrintF("invalid record offset %lld", static_cast<long long>(off)));
  }
  rec->offset = off;
  // Only bytes of this record are read, never of the next one, which another
  // thread may be writing: first the smallest possible slot, more while the
  // head is incomplete (a longer head means a larger slot), then the rest of
  // the record up to the prefix size.
  const int64_t avail = std::min<int64_t>(kReadPrefix, end - off);
  int64_t size = std::min<int64_t>(AlignUp(layout.VarPos() + 3, layout.align), avail);
  Status status = file->Read(off, rec->prefix, size);
  while (status.IsOK() && !ParseHead(layout, rec->prefix, size, &rec->head)) {
    const int64_t more = std::min<int64_t>(AlignUp(size + 1, layout.align), avail);
    if (more <= size) {
      return BrokenData(SPrintF("broken record at %lld", static_cast<long long>(off)));
    }
    status = file->Read(off + size, rec->prefix + size, more - size);
    size = more;
  }
  if (!status.IsOK()) {
    return status;
  }
  if (rec->head.slot > end - off) {
    return BrokenData(SPrintF("broken record at %lld", static_cast<long long>(off)));
  }
  const int64_t want = std::min<int64_t>(rec->head.slot, avail);
  if (want > size) {
    status = file->Read(off + size, rec->prefix + size, want - size);
    size = want;
  }
  rec->prefix_size = size;
  return status;
}

// Sets |rec->key| after ReadHead.
Status ReadKey(File* file, RecordRead* rec) {
  const size_t key_end = rec->head.header_size + rec->head.key_size;
  if (key_end <= rec->prefix_size) {
    rec->key = std::string_view(rec->prefix + rec->head.header_size, rec->head.key_size);
    return Status();
  }
  rec->body.resize(rec->head.key_size);
  Status status = file->Read(rec->offset + rec->head.header_size, rec->body.data(),
                             rec->head.key_size);
  rec->key = rec->body;
  return status;
}

// Sets |rec->key| and |rec->value| after ReadHead and checks the checksum.
Status ReadBody(File* file, const Layout& layout, RecordRead* rec) {
  const size_t var_pos = layout.VarPos();
  const size_t data_end = rec->head.header_size + rec->head.key_size + rec->head.value_size;
  const char* region = nullptr;
  if (data_end <= rec->prefix_size) {
    region = rec->prefix + var_pos;
  } else {
    rec->body.resize(data_end - var_pos);
    Status status = file->Read(rec->offset + var_pos, rec->body.data(), rec->body.size());
    if (!status.IsOK()) {
      return status;
    }
    region = rec->body.data();
  }
  const size_t key_pos = rec->head.header_size - var_pos;
  rec->key = std::string_view(region + key_pos, rec->head.key_size);
  rec->value = std::string_view(region + key_pos + rec->head.key_size, rec->head.value_size);
  if (layout.crc_width > 0 &&
      Checksum(layout.crc_mode, region, data_end - var_pos) != rec->head.crc) {
    return BrokenData(
        SPrintF("record checksum mismatch at %lld", static_cast<long long>(rec->offset)));
  }
  return Status();
}

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

// Space for encoding a record: the stack for small ones.
class RecordBuffer {
 public:
  char* Reserve(size_t size) {
    if (size <= kStackRecordSize) {
      return stack_;
    }
    heap_.resize(size);
    return heap_.data();
  }

 private:
  char stack_[kStackRecordSize];
  std::string heap_;
};

// Free blocks of the in-place mode: (size, offset), bounded in number.
class FreeBlockPool {
 public:
  void SetCapacity(int64_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    capacity_ = capacity;
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.clear();
    count_.store(0, std::memory_order_relaxed);
  }

  void Insert(int64_t off, int64_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (capacity_ <= 0) {
      return;
    }
    if (static_cast<int64_t>(blocks_.size()) >= capacity_) {
      if (blocks_.begin()->first >= size) {
        return;
      }
      blocks_.erase(blocks_.begin());
    }
    blocks_.emplace(size, off);
    count_.store(blocks_.size(), std::memory_order_relaxed);
  }

  // A block of at least |size| and at most twice that, removed from the pool.
  bool Fetch(int64_t size, int64_t* off, int64_t* block_size) {
    // Most writes find the pool empty; they skip the mutex.
    if (count_.load(std::memory_order_relaxed) == 0) {
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (blocks_.empty()) {
      return false;
    }
    auto it = blocks_.lower_bound(std::make_pair(size, int64_t(0)));
    if (it == blocks_.end() || it->first > size * 2) {
      return false;
    }
    *block_size = it->first;
    *off = it->second;
    blocks_.erase(it);
    count_.store(blocks_.size(), std::memory_order_relaxed);
    return true;
  }

  int64_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.size();
  }

 private:
  std::mutex mutex_;  // guards the members below
  std::set<std::pair<int64_t, int64_t>> blocks_;
  int64_t capacity_ = kDefaultFbpCapacity;
  // The number of blocks, readable without the mutex.
  std::atomic<size_t> count_{0};
};

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
  std::string value;
};

void AtomicMax(std::atomic<int64_t>* target, int64_t value) {
  int64_t current = target->load(std::memory_order_relaxed);
  while (current < value &&
         !target->compare_exchange_weak(current, value, std::memory_order_acq_rel)) {
  }
}

int64_t NowMicros() { return static_cast<int64_t>(GetWallTime() * 1000000.0); }

Status NotOpened() { return Status(Status::PRECONDITION_ERROR, "not opened database"); }
Status NotWritable() { return Status(Status::PRECONDITION_ERROR, "not writable database"); }

using StripeArray = std::array<std::shared_mutex, kNumStripes>;

// The record count and the data sizes, kept per stripe on cache lines of
// their own: a writer changes only its stripe's, under the stripe's lock, so
// writers of different stripes never contend; readers add them up.
class StripedCounts {
 public:
  void Add(uint64_t bucket, int64_t records, int64_t eff_data, int64_t live) {
    Slot& slot = slots_[bucket % kNumStripes];
    slot.num_records.store(slot.num_records.load(std::memory_order_relaxed) + records,
                           std::memory_order_relaxed);
    slot.eff_data_size.store(slot.eff_data_size.load(std::memory_order_relaxed) + eff_data,
                             std::memory_order_relaxed);
    slot.live_size.store(slot.live_size.load(std::memory_order_relaxed) + live,
                         std::memory_order_relaxed);
  }
  void Reset(int64_t records, int64_t eff_data, int64_t live) {
    for (auto& slot : slots_) {
      slot.num_records.store(0, std::memory_order_relaxed);
      slot.eff_data_size.store(0, std::memory_order_relaxed);
      slot.live_size.store(0, std::memory_order_relaxed);
    }
    slots_[0].num_records.store(records, std::memory_order_relaxed);
    slots_[0].eff_data_size.store(eff_data, std::memory_order_relaxed);
    slots_[0].live_size.store(live, std::memory_order_relaxed);
  }
  int64_t NumRecords() const { return Sum(&Slot::num_records); }
  int64_t EffDataSize() const { return Sum(&Slot::eff_data_size); }
  int64_t LiveSize() const { return Sum(&Slot::live_size); }

 private:
  struct alignas(64) Slot {
    std::atomic<int64_t> num_records{0};
    std::atomic<int64_t> eff_data_size{0};
    std::atomic<int64_t> live_size{0};
  };
  int64_t Sum(std::atomic<int64_t> Slot::*member) const {
    int64_t sum = 0;
    for (const auto& slot : slots_) sum += (slot.*member).load(std::memory_order_relaxed);
    return sum;
  }
  std::array<Slot, kNumStripes> slots_;
};

// Holds every stripe exclusively, taken in ascending order: whole-file
// operations exclude record operations, which take only their stripes.
class AllStripesLock {
 public:
  explicit AllStripesLock(StripeArray* stripes) : stripes_(stripes) {
    for (auto& stripe : *stripes_) stripe.lock();
  }
  ~AllStripesLock() {
    for (auto it = stripes_->rbegin(); it != stripes_->rend(); ++it) it->unlock();
  }
  AllStripesLock(const AllStripesLock&) = delete;
  AllStripesLock& operator=(const AllStripesLock&) = delete;

 private:
  StripeArray* stripes_;
};

}  // namespace

struct HashDBM::Impl {
  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() {
    if (open_) {
      CloseImpl();
    }
  }

  Status Open(const std::string& path, bool writable, int32_t options, const ParamMap& params);
  Status CloseImpl();
  Status OpenFile(const std::string& path, bool writable, int32_t options,
                  const ParamMap& params);
  Status CreateNew(const Layout& layout);
  Status WriteDynamic(bool clean);
  Status MarkDirty();
  Status SyncImpl(bool hard);
  void Adopt(Impl* other);

  Status ReadBucket(uint64_t bucket, int64_t* off);
  Status WriteBucket(uint64_t bucket, int64_t off);
  Status WriteLink(int64_t rec_off, int64_t link);
  Status FindRecord(std::string_view key, uint64_t bucket, Found* found);
  Status ReadChain(uint64_t bucket, bool with_values, std::vector<ChainEntry>* entries);
  Status PlaceRecord(uint8_t type, int64_t link, std::string_view key, std::string_view value,
                     int64_t* off, int64_t* slot);
  Status SetRecord(std::string_view key, std::string_view value, uint64_t bucket,
                   Found* found);
  Status RemoveRecord(uint64_t bucket, Found* found);
  Status ProcessLocked(std::string_view key, uint64_t bucket, RecordProcessor* proc,
                       bool writable);
  Status ApplyAnswer(std::string_view key, uint64_t bucket, std::string_view answer,
                     Found* found);
  Status PutRecord(std::string_view key, std::string_view value);
  Status DeleteRecord(std::string_view key);
  Status NextNonEmptyBucket(uint64_t start, uint64_t* bucket, bool lock_stripes);
  Status CopyLiveRecords(Impl* dest);
  int64_t FileEnd() const { return file_end_.load(std::memory_order_acquire); }
  std::shared_mutex& Stripe(uint64_t bucket) { return stripes_[bucket % kNumStripes]; }
  uint64_t BucketOf(std::string_view key) const {
    return PrimaryHash(key, layout_.num_buckets);
  }

  // Guards the open state, the file object and the layout.
  std::shared_mutex file_mutex_;
  // Guard the chains of the buckets mapped to them, and (all of them held)
  // the open state against record operations.
  StripeArray stripes_;
  // Serializes the clearing of the clean flag.
  std::mutex header_mutex_;

  std::unique_ptr<PolyFile> file_;
  // The concrete file inside |file_|, for record I/O without the forwarding.
  File* raw_ = nullptr;
  // The bucket count, readable without locks: record operations hash with it,
  // then check it under their stripe lock.
  std::atomic<uint64_t> num_buckets_hint_{0};
  std::string path_;
  bool open_ = false;
  bool writable_ = false;
  bool healthy_ = false;
  int32_t options_ = 0;
  ParamMap file_params_;
  Layout layout_;
  int64_t fbp_capacity_ = kDefaultFbpCapacity;
  std::string restore_mode_ = "default";

  StripedCounts counts_;
  // The end of the record data: the file's logical size as this object wrote it.
  std::atomic<int64_t> file_end_{0};
  // True while the file on disk is marked as not cleanly closed.
  std::atomic<bool> dirty_{false};
  std::atomic<int64_t> timestamp_us_{0};
  FreeBlockPool fbp_;
};

namespace {

// Restores the records of |src| (shaped by |layout|, data up to |end|) into
// the open, empty |dest|. With |scan_only|, the chains are not trusted and the
// scan alone decides (point-in-time restore).
Status RestoreRecords(File* src, const Layout& layout, int64_t end, bool scan_only,
                      HashDBM::Impl* dest);

}  // namespace

// ---------------------------------------------------------------------------
// Opening, closing, headers.

Status HashDBM::Impl::OpenFile(const std::string& path, bool writable, int32_t options,
                               const ParamMap& params) {
  file_ = std::make_unique<PolyFile>();
  Status status = file_->OpenAdvanced(path, writable, options, params);
  if (!status.IsOK()) {
    file_.reset();
  }
  raw_ = file_ == nullptr ? nullptr : file_->GetInternalFile();
  return status;
}

Status HashDBM::Impl::CreateNew(const Layout& layout) {
  layout_ = layout;
  Status status = file_->Truncate(layout_.record_base);
  if (!status.IsOK()) {
    return status;
  }
  char buf[kDynBegin];
  MakeStaticHeader(layout_, buf);
  status = file_->Write(0, buf, sizeof(buf));
  if (!status.IsOK()) {
    return status;
  }
  counts_.Reset(0, 0, 0);
  file_end_ = layout_.record_base;
  timestamp_us_ = NowMicros();
  dirty_ = false;
  return WriteDynamic(true);
}

Status HashDBM::Impl::WriteDynamic(bool clean) {
  DynamicHeader dyn;
  dyn.clean = clean;
  dyn.num_records = counts_.NumRecords();
  dyn.eff_data_size = counts_.EffDataSize();
  dyn.live_size = counts_.LiveSize();
  dyn.file_size = FileEnd();
  dyn.timestamp_us = timestamp_us_.load();
  char buf[kDynEnd - kDynBegin];
  MakeDynamicHeader(dyn, buf);
  return file_->Write(kDynBegin, buf, sizeof(buf));
}

Status HashDBM::Impl::MarkDirty() {
  if (dirty_.load(std::memory_order_acquire)) {
    return Status();
  }
  std::lock_guard<std::mutex> lock(header_mutex_);
  if (dirty_.load(std::memory_order_relaxed)) {
    return Status();
  }
  Status status = WriteDynamic(false);
  if (status.IsOK()) {
    // The mark must reach the device before any record changes.
    status = file_->Synchronize(true, 0, kHeaderSize);
  }
  if (status.IsOK()) {
    dirty_.store(true, std::memory_order_release);
  }
  return status;
}

Status HashDBM::Impl::SyncImpl(bool hard) {
  if (hard) {
    Status status = file_->Synchronize(true);
    if (!status.IsOK()) {
      return status;
    }
  }
  if (dirty_.load()) {
    timestamp_us_ = NowMicros();
  }
  Status status = WriteDynamic(true);
  if (!status.IsOK()) {
    return status;
  }
  status = hard ? file_->Synchronize(true, 0, kHeaderSize) : file_->Synchronize(false);
  if (status.IsOK()) {
    dirty_ = false;
  }
  return status;
}

// Takes over the file and the state of |other|, which is left closed.
void HashDBM::Impl::Adopt(Impl* other) {
  file_ = std::move(other->file_);
  raw_ = other->raw_;
  layout_ = other->layout_;
  counts_.Reset(other->counts_.NumRecords(), other->counts_.EffDataSize(),
                other->counts_.LiveSize());
  file_end_ = other->file_end_.load();
  dirty_ = other->dirty_.load();
  timestamp_us_ = other->timestamp_us_.load();
  fbp_.Clear();
  other->open_ = false;
}

Status HashDBM::Impl::Open(const std::string& path, bool writable, int32_t options,
                           const ParamMap& params) {
  Status status = CheckParams(params, kTuningRules);
  if (!status.IsOK()) {
    return status;
  }
  Layout layout;
  status = ParseTuning(params, &layout);
  if (!status.IsOK()) {
    return status;
  }
  fbp_capacity_ = StrToInt(SearchMap(params, "fbp_capacity", ""), kDefaultFbpCapacity);
  restore_mode_ = StrLowerCase(SearchMap(params, "restore_mode", "default"));
  if (restore_mode_ != "default" && restore_mode_ != "noop") {
    return Status(Status::INVALID_ARGUMENT_ERROR, "unknown restore_mode: " + restore_mode_);
  }
  fbp_.SetCapacity(fbp_capacity_);
  fbp_.Clear();
  file_params_.clear();
  for (const char* name : {"file", "alloc_init_size", "alloc_inc_factor"}) {
    auto it = params.find(name);
    if (it != params.end()) {
      file_params_.emplace(it->first, it->second);
    }
  }
  options_ = options;
  status = OpenFile(path, writable, options, file_params_);
  if (!status.IsOK()) {
    return status;
  }
  path_ = path;
  writable_ = writable;
  healthy_ = true;
  int64_t size = 0;
  status = file_->GetSize(&size);
  if (status.IsOK()) {
    if (size == 0 && writable) {
      status = CreateNew(layout);
    } else if (size < kHeaderSize) {
      status = BrokenData("the file is too short for a hash database");
    } else {
      char header[kHeaderSize];
      status = file_->Read(0, header, kHeaderSize);
      const bool never_written =
          status.IsOK() && std::all_of(header, header + kDynBegin, [](char c) { return c == 0; });
      if (never_written && writable) {
        // A creation that was cut short before its header was written.
        status = file_->Truncate(0);
        if (status.IsOK()) {
          status = CreateNew(layout);
        }
      } else if (status.IsOK()) {
        status = ParseStaticHeader(header, &layout_);
      }
      if (status.IsOK() && !never_written) {
        DynamicHeader dyn;
        const bool dyn_ok = ParseDynamicHeader(header, &dyn);
        const bool clean = dyn_ok && dyn.clean && dyn.file_size >= layout_.record_base &&
                           dyn.file_size <= size &&
                           (dyn.file_size - layout_.record_base) % layout_.align == 0;
        if (dyn_ok) {
          counts_.Reset(dyn.num_records, dyn.eff_data_size, dyn.live_size);
        } else {
          counts_.Reset(0, 0, 0);
        }
        timestamp_us_ = dyn_ok ? dyn.timestamp_us : 0;
        if (clean) {
          // What lies past the recorded size was never part of the database:
          // space reserved ahead of appends, or bytes added by someone else.
          file_end_ = dyn.file_size;
          if (writable && size > dyn.file_size) {
            status = file_->Truncate(dyn.file_size);
          }
          dirty_ = false;
        } else if (writable && restore_mode_ != "noop") {
          // Restores into a new file and puts it in place of the old one.
          const std::string tmp_path = path + ".tmp.restore";
          auto dest = std::make_unique<Impl>();
          ParamMap dest_params = file_params_;
          dest_params["fbp_capacity"] = std::to_string(fbp_capacity_);
          dest_params["num_buckets"] = std::to_string(layout_.num_buckets);
          dest_params["align_pow"] = std::to_string(layout_.align_pow);
          dest_params["offset_width"] = std::to_string(layout_.offset_width);
          dest_params["update_mode"] = UpdateModeName(layout_.update_mode);
          dest_params["record_crc_mode"] = CrcModeName(layout_.crc_mode);
          status = dest->Open(tmp_path, true, File::OPEN_TRUNCATE | (options & ~File::OPEN_NO_CREATE),
                              dest_params);
          if (status.IsOK()) {
            status = RestoreRecords(file_.get(), layout_, size, false, dest.get());
            if (status.IsOK()) {
              status = dest->SyncImpl(true);
            }
            if (status.IsOK()) {
              status = dest->file_->Rename(path);
            }
            if (status.IsOK()) {
              file_->Close();
              Adopt(dest.get());
            } else {
              dest->CloseImpl();
              std::remove(tmp_path.c_str());
            }
          }
        } else {
          healthy_ = false;
          file_end_ = size;
          dirty_ = !dyn_ok || !dyn.clean;
          if (size < layout_.record_base) {
            if (writable) {
              status = file_->Truncate(layout_.record_base);
              file_end_ = layout_.record_base;
            } else {
              status = BrokenData("the file is too short for its bucket array");
            }
          } else if (writable && (size - layout_.record_base) % layout_.align != 0) {
            const int64_t aligned =
                layout_.record_base + AlignUp(size - layout_.record_base, layout_.align);
            status = file_->Truncate(aligned);
            file_end_ = aligned;
          }
        }
      }
    }
  }
  if (!status.IsOK()) {
    if (file_ != nullptr) {
      file_->Close();
      file_.reset();
    }
    return status;
  }
  num_buckets_hint_.store(layout_.num_buckets);
  open_ = true;
  return Status();
}

Status HashDBM::Impl::CloseImpl() {
  Status status;
  // An unhealthy database stays marked as not cleanly closed, so that a later
  // open still restores it.
  if (writable_ && healthy_ && file_ != nullptr) {
    status |= SyncImpl(false);
  }
  if (file_ != nullptr) {
    status |= file_->Close();
    file_.reset();
  }
  raw_ = nullptr;
  open_ = false;
  fbp_.Clear();
  return status;
}

// ---------------------------------------------------------------------------
// Buckets, chains and records.

Status HashDBM::Impl::ReadBucket(uint64_t bucket, int64_t* off) {
  char buf[8];
  Status status = raw_->Read(layout_.BucketPos(bucket), buf, layout_.offset_width);
  *off = static_cast<int64_t>(GetBE(buf, layout_.offset_width)) << layout_.align_pow;
  return status;
}

Status HashDBM::Impl::WriteBucket(uint64_t bucket, int64_t off) {
  char buf[8];
  PutBE(buf, static_cast<uint64_t>(off) >> layout_.align_pow, layout_.offset_width);
  return raw_->Write(layout_.BucketPos(bucket), buf, layout_.offset_width);
}

Status HashDBM::Impl::WriteLink(int64_t rec_off, int64_t link) {
  char buf[8];
  PutBE(buf, static_cast<uint64_t>(link) >> layout_.align_pow, layout_.offset_width);
  return raw_->Write(rec_off + layout_.LinkPos(), buf, layout_.offset_width);
}

Status HashDBM::Impl::FindRecord(std::string_view key, uint64_t bucket, Found* found) {
  found->found = false;
  Status status = ReadBucket(bucket, &found->head);
  if (!status.IsOK()) {
    return status;
  }
  const int64_t end = FileEnd();
  RecordRead& rec = found->rec;
  int64_t prev = 0;
  int64_t off = found->head;
  CycleGuard guard;
  while (off != 0) {
    if (!guard.Step(off)) {
      return BrokenData("a cycle in a bucket chain");
    }
    status = ReadHead(raw_, layout_, end, off, &rec);
    if (!status.IsOK()) {
      return status;
    }
    if (rec.head.type == kRecordFree) {
      return BrokenData(SPrintF("a free block in a chain at %lld", static_cast<long long>(off)));
    }
    if (rec.head.key_size == key.size()) {
      status = ReadKey(raw_, &rec);
      if (!status.IsOK()) {
        return status;
      }
      if (rec.key == key) {
        found->offset = off;
        found->prev = prev;
        if (rec.head.type == kRecordSet) {
          status = ReadBody(raw_, layout_, &rec);
          if (!status.IsOK()) {
            return status;
          }
          found->found = true;
        }
        return Status();
      }
    }
    prev = off;
    off = rec.head.link;
  }
  return Status();
}

Status HashDBM::Impl::ReadChain(uint64_t bucket, bool with_values,
                                std::vector<ChainEntry>* entries) {
  entries->clear();
  int64_t off = 0;
  Status status = ReadBucket(bucket, &off);
  if (!status.IsOK()) {
    return status;
  }
  const int64_t end = FileEnd();
  const bool appending = layout_.update_mode == kUpdateAppending;
  std::unordered_set<std::string> removed;
  RecordRead rec;
  CycleGuard guard;
  while (off != 0) {
    if (!guard.Step(off)) {
      return BrokenData("a cycle in a bucket chain");
    }
    status = ReadHead(raw_, layout_, end, off, &rec);
    if (!status.IsOK()) {
      return status;
    }
    if (rec.head.type == kRecordFree) {
      return BrokenData(SPrintF("a free block in a chain at %lld", static_cast<long long>(off)));
    }
    status = with_values || rec.head.type == kRecordSet ? ReadBody(raw_, layout_, &rec)
                                                        : ReadKey(raw_, &rec);
    if (!status.IsOK()) {
      return status;
    }
    bool shadowed = false;
    if (appending) {
      // Only the first record of a key counts.
      if (removed.count(std::string(rec.key)) > 0) {
        shadowed = true;
      } else {
        for (const auto& entry : *entries) {
          if (entry.key == rec.key) {
            shadowed = true;
            break;
          }
        }
      }
    }
    if (!shadowed) {
      if (rec.head.type == kRecordSet) {
        ChainEntry entry;
        entry.key = rec.key;
        if (with_values) {
          entry.value = rec.value;
        }
        entries->emplace_back(std::move(entry));
      } else if (appending) {
        removed.emplace(rec.key);
      }
    }
    off = rec.head.link;
  }
  return Status();
}

// Writes a new record into a free block or at the end.
Status HashDBM::Impl::PlaceRecord(uint8_t type, int64_t link, std::string_view key,
                                  std::string_view value, int64_t* off, int64_t* slot) {
  if (key.size() > kMaxFieldSize || value.size() > kMaxFieldSize) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "too large a key or value");
  }
  const int64_t min_slot = layout_.MinSlot(key.size(), value.size());
  RecordBuffer buffer;
  if (layout_.update_mode == kUpdateInPlace && type == kRecordSet) {
    int64_t block_off = 0;
    int64_t block_size = 0;
    if (fbp_.Fetch(min_slot, &block_off, &block_size)) {
      char* buf = buffer.Reserve(block_size);
      const size_t filled =
          EncodeRecord(layout_, type, link, key, value, block_size, false, buf);
      if (filled > 0) {
        *off = block_off;
        *slot = block_size;
        return raw_->Write(block_off, buf, filled);
      }
    }
  }
  if (FileEnd() + min_slot > layout_.max_file_size) {
    return Status(Status::INFEASIBLE_ERROR, "the file exceeds what offset_width can address");
  }
  char* buf = buffer.Reserve(min_slot);
  EncodeRecord(layout_, type, link, key, value, min_slot, true, buf);
  Status status = raw_->Append(buf, min_slot, off);
  if (!status.IsOK()) {
    return status;
  }
  if (*off + min_slot > layout_.max_file_size) {
    return Status(Status::INFEASIBLE_ERROR, "the file exceeds what offset_width can address");
  }
  if ((*off - layout_.record_base) % layout_.align != 0) {
    return BrokenData("the record region lost its alignment");
  }
  AtomicMax(&file_end_, *off + min_slot);
  *slot = min_slot;
  return Status();
}

Status HashDBM::Impl::SetRecord(std::string_view key, std::string_view value, uint64_t bucket,
                                Found* found) {
  Status status = MarkDirty();
  if (!status.IsOK()) {
    return status;
  }
  const int64_t new_data = key.size() + value.size();
  if (layout_.update_mode == kUpdateAppending || !found->found) {
    int64_t off = 0;
    int64_t slot = 0;
    status = PlaceRecord(kRecordSet, found->head, key, value, &off, &slot);
    if (status.IsOK()) {
      status = WriteBucket(bucket, off);
    }
    if (!status.IsOK()) {
      return status;
    }
    if (found->found) {
      counts_.Add(bucket, 0,
                  new_data - static_cast<int64_t>(found->rec.head.key_size +
                                                  found->rec.head.value_size),
                  slot - found->rec.head.slot);
    } else {
      counts_.Add(bucket, 1, new_data, slot);
    }
    return Status();
  }
  const RecordHead& old = found->rec.head;
  const int64_t old_data = old.key_size + old.value_size;
  if (layout_.MinSlot(key.size(), value.size()) <= old.slot) {
    RecordBuffer buffer;
    char* buf = buffer.Reserve(old.slot);
    const size_t filled =
        EncodeRecord(layout_, kRecordSet, old.link, key, value, old.slot, false, buf);
    if (filled > 0) {
      status = raw_->Write(found->offset, buf, filled);
      if (status.IsOK()) {
        counts_.Add(bucket, 0, new_data - old_data, 0);
      }
      return status;
    }
  }
  int64_t off = 0;
  int64_t slot = 0;
  status = PlaceRecord(kRecordSet, old.link, key, value, &off, &slot);
  if (!status.IsOK()) {
    return status;
  }
  status = found->prev == 0 ? WriteBucket(bucket, off) : WriteLink(found->prev, off);
  if (!status.IsOK()) {
    return status;
  }
  const char free_type = static_cast<char>(kRecordFree);
  status = raw_->Write(found->offset, &free_type, 1);
  if (!status.IsOK()) {
    return status;
  }
  fbp_.Insert(found->offset, old.slot);
  counts_.Add(bucket, 0, new_data - old_data, slot - old.slot);
  return Status();
}

Status HashDBM::Impl::RemoveRecord(uint64_t bucket, Found* found) {
  if (!found->found) {
    return Status();
  }
  Status status = MarkDirty();
  if (!status.IsOK()) {
    return status;
  }
  const RecordHead& old = found->rec.head;
  if (layout_.update_mode == kUpdateAppending) {
    int64_t off = 0;
    int64_t slot = 0;
    status = PlaceRecord(kRecordRemove, found->head, found->rec.key, "", &off, &slot);
    if (status.IsOK()) {
      status = WriteBucket(bucket, off);
    }
  } else {
    status = found->prev == 0 ? WriteBucket(bucket, old.link) : WriteLink(found->prev, old.link);
    if (status.IsOK()) {
      const char free_type = static_cast<char>(kRecordFree);
      status = raw_->Write(found->offset, &free_type, 1);
    }
    if (status.IsOK()) {
      fbp_.Insert(found->offset, old.slot);
    }
  }
  if (!status.IsOK()) {
    return status;
  }
  counts_.Add(bucket, -1, -static_cast<int64_t>(old.key_size + old.value_size), -old.slot);
  return Status();
}

Status HashDBM::Impl::ApplyAnswer(std::string_view key, uint64_t bucket,
                                  std::string_view answer, Found* found) {
  if (answer.data() == RecordProcessor::NOOP.data()) {
    return Status();
  }
  if (answer.data() == RecordProcessor::REMOVE.data()) {
    return RemoveRecord(bucket, found);
  }
  return SetRecord(key, answer, bucket, found);
}

// The caller holds the stripe of |bucket|, exclusively when |writable|.
Status HashDBM::Impl::ProcessLocked(std::string_view key, uint64_t bucket,
                                    RecordProcessor* proc, bool writable) {
  Found found;
  Status status = FindRecord(key, bucket, &found);
  if (!status.IsOK()) {
    return status;
  }
  Status proc_status;
  const std::string_view answer =
      CallProcessor(proc, key, found.found ? &found.rec.value : nullptr, writable, &proc_status);
  if (!proc_status.IsOK()) {
    return proc_status;
  }
  return ApplyAnswer(key, bucket, answer, &found);
}

Status HashDBM::Impl::PutRecord(std::string_view key, std::string_view value) {
  const uint64_t bucket = BucketOf(key);
  std::unique_lock<std::shared_mutex> lock(Stripe(bucket));
  Found found;
  Status status = FindRecord(key, bucket, &found);
  if (status.IsOK()) {
    status = SetRecord(key, value, bucket, &found);
  }
  return status;
}

Status HashDBM::Impl::DeleteRecord(std::string_view key) {
  const uint64_t bucket = BucketOf(key);
  std::unique_lock<std::shared_mutex> lock(Stripe(bucket));
  Found found;
  Status status = FindRecord(key, bucket, &found);
  if (status.IsOK()) {
    status = RemoveRecord(bucket, &found);
  }
  return status;
}

// The first bucket at or after |start| whose head is not empty, as a hint
// (it may change once the locks are released); |*bucket| is num_buckets when
// there is none. With |lock_stripes|, takes the stripes for the reads; the
// caller holds none. Without, the caller holds them all.
Status HashDBM::Impl::NextNonEmptyBucket(uint64_t start, uint64_t* bucket, bool lock_stripes) {
  const uint64_t num_buckets = layout_.num_buckets;
  const int width = layout_.offset_width;
  std::vector<char> buf(kBucketBatch * width);
  for (uint64_t first = start; first < num_buckets; first += kBucketBatch) {
    const uint64_t count = std::min(kBucketBatch, num_buckets - first);
    Status status;
    if (lock_stripes) {
      // A batch spans every stripe; holding them all shared keeps writers of
      // bucket heads out while it is read.
      for (auto& stripe : stripes_) stripe.lock_shared();
      status = raw_->Read(layout_.BucketPos(first), buf.data(), count * width);
      for (auto it = stripes_.rbegin(); it != stripes_.rend(); ++it) it->unlock_shared();
    } else {
      status = raw_->Read(layout_.BucketPos(first), buf.data(), count * width);
    }
    if (!status.IsOK()) {
      return status;
    }
    for (uint64_t i = 0; i < count; i++) {
      const char* p = buf.data() + i * width;
      for (int j = 0; j < width; j++) {
        if (p[j] != 0) {
          *bucket = first + i;
          return Status();
        }
      }
    }
  }
  *bucket = num_buckets;
  return Status();
}

// Sets every live record into |dest|. The caller holds every stripe.
Status HashDBM::Impl::CopyLiveRecords(Impl* dest) {
  std::vector<ChainEntry> entries;
  uint64_t bucket = 0;
  while (true) {
    Status status = NextNonEmptyBucket(bucket, &bucket, false);
    if (!status.IsOK()) {
      return status;
    }
    if (bucket >= layout_.num_buckets) {
      break;
    }
    status = ReadChain(bucket, true, &entries);
    if (!status.IsOK()) {
      return status;
    }
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      status = dest->PutRecord(it->key, it->value);
      if (!status.IsOK()) {
        return status;
      }
    }
    bucket++;
  }
  return Status();
}

// ---------------------------------------------------------------------------
// Restoring.

namespace {

// A reader of a file through a large window, for sequential scans.
class ScanReader {
 public:
  ScanReader(File* file, int64_t end) : file_(file), end_(end) {}

  // A pointer to |size| bytes at |off|, valid until the next call, or null
  // when they are not inside the file or cannot be read.
  const char* Get(int64_t off, size_t size) {
    if (off < 0 || size > static_cast<size_t>(std::max<int64_t>(0, end_ - off))) {
      return nullptr;
    }
    if (off >= window_off_ && off + static_cast<int64_t>(size) <= window_off_ + window_size_) {
      return buf_.data() + (off - window_off_);
    }
    const size_t want =
        std::max(size, static_cast<size_t>(std::min<int64_t>(kScanWindow, end_ - off)));
    buf_.resize(want);
    if (!file_->Read(off, buf_.data(), want).IsOK()) {
      window_size_ = 0;
      return nullptr;
    }
    window_off_ = off;
    window_size_ = want;
    return buf_.data();
  }

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
                 std::string_view* key, std::string_view* value) {
  if (!ParseHead(layout, p, size, head) || head->slot > static_cast<int64_t>(size)) {
    return false;
  }
  const size_t var_pos = layout.VarPos();
  const size_t data_end = head->header_size + head->key_size + head->value_size;
  if (layout.crc_width > 0 &&
      Checksum(layout.crc_mode, p + var_pos, data_end - var_pos) != head->crc) {
    return false;
  }
  *key = std::string_view(p + head->header_size, head->key_size);
  *value = std::string_view(p + head->header_size + head->key_size, head->value_size);
  return true;
}

Status RestoreRecords(File* src, const Layout& layout, int64_t end, bool scan_only,
                      HashDBM::Impl* dest) {
  const uint64_t num_buckets = layout.num_buckets;
  std::vector<bool> untrusted(num_buckets, scan_only);
  bool any_untrusted = scan_only;
  // Keys of untrusted buckets already decided by the intact head of their chain.
  std::unordered_set<std::string> decided;
  if (!scan_only) {
    std::unordered_set<std::string> seen;
    std::vector<char> heads(kBucketBatch * layout.offset_width);
    RecordRead rec;
    for (uint64_t first = 0; first < num_buckets; first += kBucketBatch) {
      const uint64_t count = std::min(kBucketBatch, num_buckets - first);
      const int64_t heads_pos = layout.BucketPos(first);
      const int64_t heads_size = count * layout.offset_width;
      if (heads_pos + heads_size > end || !src->Read(heads_pos, heads.data(), heads_size).IsOK()) {
        for (uint64_t i = 0; i < count; i++) {
          untrusted[first + i] = true;
        }
        any_untrusted = true;
        continue;
      }
      for (uint64_t i = 0; i < count; i++) {
        const uint64_t bucket = first + i;
        int64_t off = static_cast<int64_t>(GetBE(heads.data() + i * layout.offset_width,
                                                 layout.offset_width))
                      << layout.align_pow;
        seen.clear();
        CycleGuard guard;
        bool broken = false;
        while (off != 0) {
          if (!guard.Step(off) || !ReadHead(src, layout, end, off, &rec).IsOK() ||
              rec.head.type == kRecordFree || !ReadBody(src, layout, &rec).IsOK() ||
              PrimaryHash(rec.key, num_buckets) != bucket) {
            broken = true;
            break;
          }
          if (seen.emplace(rec.key).second && rec.head.type == kRecordSet) {
            Status status = dest->PutRecord(rec.key, rec.value);
            if (!status.IsOK()) {
              return status;
            }
          }
          if (layout.update_mode == kUpdateInPlace && rec.head.type == kRecordRemove) {
            broken = true;
            break;
          }
          off = rec.head.link;
        }
        if (broken) {
          untrusted[bucket] = true;
          any_untrusted = true;
          decided.insert(seen.begin(), seen.end());
        }
      }
    }
  }
  if (!any_untrusted) {
    return Status();
  }
  // The scan: every whole record, in file order, for the untrusted buckets.
  const bool resync = layout.crc_mode == kCrc16 || layout.crc_mode == kCrc32;
  ScanReader reader(src, end);
  RecordHead head;
  std::string_view key;
  std::string_view value;
  int64_t off = layout.record_base;
  const size_t max_head = layout.VarPos() + 3 * kMaxVarBytes;
  while (off < end) {
    const size_t head_size = static_cast<size_t>(std::min<int64_t>(max_head, end - off));
    const char* p = reader.Get(off, head_size);
    bool valid = p != nullptr && ParseHead(layout, p, head_size, &head) &&
                 head.slot <= end - off;
    if (valid && head.type == kRecordFree) {
      off += head.slot;
      continue;
    }
    if (valid) {
      std::string large;
      const char* whole = nullptr;
      if (static_cast<size_t>(head.slot) <= kScanWindow) {
        whole = reader.Get(off, head.slot);
      } else {
        large.resize(head.slot);
        if (src->Read(off, large.data(), head.slot).IsOK()) {
          whole = large.data();
        }
      }
      valid = whole != nullptr && CheckRecord(layout, whole, head.slot, &head, &key, &value);
      if (valid) {
        const uint64_t bucket = PrimaryHash(key, num_buckets);
        if (untrusted[bucket] && decided.count(std::string(key)) == 0) {
          Status status = head.type == kRecordSet ? dest->PutRecord(key, value)
                                                  : dest->DeleteRecord(key);
          if (!status.IsOK()) {
            return status;
          }
        }
        off += head.slot;
        continue;
      }
    }
    if (!resync) {
      break;
    }
    off += layout.align;
  }
  return Status();
}

}  // namespace

// ---------------------------------------------------------------------------
// The iterator.

namespace {

class HashIterator final : public DBM::Iterator {
 public:
  explicit HashIterator(std::shared_ptr<HashDBM::Impl> impl) : impl_(std::move(impl)) {}

  Status First() override;
  Status Last() override { return NotImplemented(); }
  Status Jump(std::string_view key) override;
  Status JumpLower(std::string_view, bool) override { return NotImplemented(); }
  Status JumpUpper(std::string_view, bool) override { return NotImplemented(); }
  Status Next() override;
  Status Previous() override { return NotImplemented(); }
  Status Process(DBM::RecordProcessor* proc, bool writable) override;

 private:
  static Status NotImplemented() {
    return Status(Status::NOT_IMPLEMENTED_ERROR, "the hash database is unordered");
  }
  // Loads the keys of the first non-empty bucket at or after |bucket|.
  Status LoadFrom(uint64_t bucket);
  // Moves to the first key at or after |index_| that still exists, loading
  // later buckets as needed. The caller holds the file lock.
  Status Settle();

  std::shared_ptr<HashDBM::Impl> impl_;
  bool placed_ = false;
  uint64_t bucket_ = 0;
  std::vector<std::string> keys_;
  size_t index_ = 0;
};

Status HashIterator::LoadFrom(uint64_t bucket) {
  HashDBM::Impl& impl = *impl_;
  std::vector<ChainEntry> entries;
  while (true) {
    Status status = impl.NextNonEmptyBucket(bucket, &bucket, true);
    if (!status.IsOK()) {
      placed_ = false;
      return status;
    }
    if (bucket >= impl.layout_.num_buckets) {
      placed_ = false;
      keys_.clear();
      return Status();
    }
    {
      std::shared_lock<std::shared_mutex> lock(impl.Stripe(bucket));
      status = impl.ReadChain(bucket, false, &entries);
    }
    if (!status.IsOK()) {
      placed_ = false;
      return status;
    }
    if (!entries.empty()) {
      keys_.clear();
      for (auto& entry : entries) {
        keys_.emplace_back(std::move(entry.key));
      }
      bucket_ = bucket;
      index_ = 0;
      placed_ = true;
      return Status();
    }
    bucket++;
  }
}

Status HashIterator::Settle() {
  HashDBM::Impl& impl = *impl_;
  if (bucket_ >= impl.layout_.num_buckets) {
    placed_ = false;
  }
  while (placed_) {
    while (index_ < keys_.size()) {
      Found found;
      Status status;
      {
        std::shared_lock<std::shared_mutex> lock(impl.Stripe(bucket_));
        status = impl.FindRecord(keys_[index_], bucket_, &found);
      }
      if (!status.IsOK()) {
        return status;
      }
      if (found.found) {
        return Status();
      }
      index_++;
    }
    Status status = LoadFrom(bucket_ + 1);
    if (!status.IsOK()) {
      return status;
    }
  }
  return Status();
}

Status HashIterator::First() {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  Status status = LoadFrom(0);
  if (status.IsOK()) {
    status = Settle();
  }
  return status;
}

Status HashIterator::Jump(std::string_view key) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  HashDBM::Impl& impl = *impl_;
  if (!impl.open_) {
    return NotOpened();
  }
  placed_ = false;
  const uint64_t bucket = impl.BucketOf(key);
  std::vector<ChainEntry> entries;
  Status status;
  {
    std::shared_lock<std::shared_mutex> stripe_lock(impl.Stripe(bucket));
    status = impl.ReadChain(bucket, false, &entries);
  }
  if (!status.IsOK()) {
    return status;
  }
  keys_.clear();
  index_ = entries.size();
  for (size_t i = 0; i < entries.size(); i++) {
    if (entries[i].key == key) {
      index_ = i;
    }
    keys_.emplace_back(std::move(entries[i].key));
  }
  if (index_ >= keys_.size()) {
    return Status(Status::NOT_FOUND_ERROR, "no such record");
  }
  bucket_ = bucket;
  placed_ = true;
  return Status();
}

Status HashIterator::Next() {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  if (!placed_) {
    return Status(Status::NOT_FOUND_ERROR, "the iterator is at the end");
  }
  index_++;
  return Settle();
}

Status HashIterator::Process(DBM::RecordProcessor* proc, bool writable) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  HashDBM::Impl& impl = *impl_;
  if (!impl.open_) {
    return NotOpened();
  }
  if (writable && !impl.writable_) {
    return NotWritable();
  }
  while (true) {
    Status status = Settle();
    if (!status.IsOK()) {
      return status;
    }
    if (!placed_) {
      return Status(Status::NOT_FOUND_ERROR, "the iterator is at the end");
    }
    const std::string& key = keys_[index_];
    Found found;
    std::string_view answer;
    {
      std::shared_mutex& stripe = impl.Stripe(bucket_);
      std::unique_lock<std::shared_mutex> write_lock(stripe, std::defer_lock);
      std::shared_lock<std::shared_mutex> read_lock(stripe, std::defer_lock);
      if (writable) {
        write_lock.lock();
      } else {
        read_lock.lock();
      }
      status = impl.FindRecord(key, bucket_, &found);
      if (!status.IsOK()) {
        return status;
      }
      if (!found.found) {
        // Removed meanwhile: go on with the next one.
        continue;
      }
      Status proc_status;
      answer = CallProcessor(proc, key, &found.rec.value, writable, &proc_status);
      if (!proc_status.IsOK()) {
        return proc_status;
      }
      status = impl.ApplyAnswer(key, bucket_, answer, &found);
    }
    if (status.IsOK() && answer.data() == DBM::RecordProcessor::REMOVE.data()) {
      index_++;
      status = Settle();
    }
    return status;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The database.

HashDBM::HashDBM() : impl_(std::make_shared<Impl>()) {}

HashDBM::~HashDBM() {
  if (impl_->open_) {
    Close();
  }
}

bool HashDBM::IsHashDBMFileHead(std::string_view head) {
  return head.size() >= kMagicSize && std::memcmp(head.data(), kMagic, kMagicSize) == 0;
}

Status HashDBM::RestoreDatabase(const std::string& old_path, const std::string& new_path,
                                int64_t end_offset, const ParamMap& params) {
  if (old_path == new_path) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "the restored database needs its own path");
  }
  PolyFile src;
  ParamMap src_params;
  auto it = params.find("file");
  if (it != params.end()) {
    src_params.emplace(it->first, it->second);
  }
  Status status = src.OpenAdvanced(old_path, false, File::OPEN_NO_LOCK, src_params);
  if (!status.IsOK()) {
    return status;
  }
  int64_t size = 0;
  status = src.GetSize(&size);
  char header[kHeaderSize];
  std::memset(header, 0, kHeaderSize);
  if (status.IsOK() && size > 0) {
    status = src.Read(0, header, std::min<int64_t>(size, kHeaderSize));
  }
  // A file whose creation was cut short before its header was written holds
  // no records: it restores to an empty database.
  const bool never_written =
      status.IsOK() && std::all_of(header, header + kDynBegin, [](char c) { return c == 0; });
  Layout layout;
  if (status.IsOK() && !never_written) {
    status = size < kHeaderSize ? BrokenData("the file is too short for a hash database")
                                : ParseStaticHeader(header, &layout);
  }
  if (!status.IsOK()) {
    src.Close();
    return status;
  }
  ParamMap dest_params;
  dest_params["num_buckets"] = std::to_string(layout.num_buckets);
  dest_params["align_pow"] = std::to_string(layout.align_pow);
  dest_params["offset_width"] = std::to_string(layout.offset_width);
  dest_params["update_mode"] = UpdateModeName(layout.update_mode);
  dest_params["record_crc_mode"] = CrcModeName(layout.crc_mode);
  for (const auto& param : params) {
    dest_params[param.first] = param.second;
  }
  Impl dest;
  status = dest.Open(new_path, true, File::OPEN_TRUNCATE, dest_params);
  if (status.IsOK() && never_written) {
    status = dest.CloseImpl();
  } else if (status.IsOK()) {
    const int64_t end = end_offset < 0 ? size : std::min(size, end_offset);
    status = RestoreRecords(&src, layout, end, end_offset >= 0, &dest);
    status |= dest.CloseImpl();
  }
  status |= src.Close();
  return status;
}

Status HashDBM::OpenAdvanced(const std::string& path, bool writable, int32_t options,
                             const ParamMap& params) {
  std::unique_lock<std::shared_mutex> lock(impl_->file_mutex_);
  AllStripesLock stripes_lock(&impl_->stripes_);
  if (impl_->open_) {
    return Status(Status::PRECONDITION_ERROR, "opened database");
  }
  return impl_->Open(path, writable, options, params);
}

Status HashDBM::Close() {
  std::unique_lock<std::shared_mutex> lock(impl_->file_mutex_);
  AllStripesLock stripes_lock(&impl_->stripes_);
  if (!impl_->open_) {
    return NotOpened();
  }
  return impl_->CloseImpl();
}

namespace {

// Record operations take only their stripes: the open state and the layout
// change only while every stripe is held. The bucket is computed from the
// lock-free hint and checked again under the stripe lock. Runs |body(bucket)|
// with the stripe of |key|'s bucket held, exclusively when |writable|.
template <typename Body>
Status WithRecordLock(HashDBM::Impl* impl, std::string_view key, bool writable, Body&& body) {
  while (true) {
    const uint64_t num_buckets = impl->num_buckets_hint_.load(std::memory_order_acquire);
    const uint64_t bucket = PrimaryHash(key, num_buckets);
    std::shared_mutex& stripe = impl->Stripe(bucket);
    std::unique_lock<std::shared_mutex> write_lock(stripe, std::defer_lock);
    std::shared_lock<std::shared_mutex> read_lock(stripe, std::defer_lock);
    if (writable) {
      write_lock.lock();
    } else {
      read_lock.lock();
    }
    if (!impl->open_) {
      return NotOpened();
    }
    if (impl->layout_.num_buckets != num_buckets) {
      continue;  // rebuilt meanwhile
    }
    if (writable && !impl->writable_) {
      return NotWritable();
    }
    return body(bucket);
  }
}

}  // namespace

Status HashDBM::Process(std::string_view key, RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  return WithRecordLock(impl, key, writable, [&](uint64_t bucket) {
    return impl->ProcessLocked(key, bucket, proc, writable);
  });
}

// Get, Set and Remove do what the default bodies do through Process and the
// ready-made processors, with the chain walk's result used directly.
Status HashDBM::Get(std::string_view key, std::string* value) {
  Impl* impl = impl_.get();
  return WithRecordLock(impl, key, false, [&](uint64_t bucket) {
    Found found;
    Status status = impl->FindRecord(key, bucket, &found);
    if (!status.IsOK()) {
      return status;
    }
    if (!found.found) {
      return Status(Status::NOT_FOUND_ERROR);
    }
    if (value != nullptr) {
      value->assign(found.rec.value);
    }
    return Status();
  });
}

Status HashDBM::Set(std::string_view key, std::string_view value, bool overwrite,
                    std::string* old_value) {
  // A processor answering with the storage of NOOP or REMOVE means those
  // answers, not a value: the default body keeps that meaning.
  if (value.data() == RecordProcessor::NOOP.data() ||
      value.data() == RecordProcessor::REMOVE.data()) {
    return DBM::Set(key, value, overwrite, old_value);
  }
  Impl* impl = impl_.get();
  return WithRecordLock(impl, key, true, [&](uint64_t bucket) {
    Found found;
    Status status = impl->FindRecord(key, bucket, &found);
    if (!status.IsOK()) {
      return status;
    }
    if (found.found) {
      if (old_value != nullptr) {
        old_value->assign(found.rec.value);
      }
      if (!overwrite) {
        return Status(Status::DUPLICATION_ERROR);
      }
    }
    return impl->SetRecord(key, value, bucket, &found);
  });
}

Status HashDBM::Remove(std::string_view key, std::string* old_value) {
  Impl* impl = impl_.get();
  return WithRecordLock(impl, key, true, [&](uint64_t bucket) {
    Found found;
    Status status = impl->FindRecord(key, bucket, &found);
    if (!status.IsOK()) {
      return status;
    }
    if (!found.found) {
      return Status(Status::NOT_FOUND_ERROR);
    }
    if (old_value != nullptr) {
      old_value->assign(found.rec.value);
    }
    return impl->RemoveRecord(bucket, &found);
  });
}

// Walks the non-empty buckets in order under the file lock, holding each
// bucket's stripe (exclusively when |writable|) while |visit| sees the bucket and
// its chain. |visit| sets |*done| to stop the walk; its failure stops it too.
namespace {

template <typename Visit>
Status WalkBuckets(HashDBM::Impl& impl, bool writable, bool with_values, Visit visit) {
  std::shared_lock<std::shared_mutex> lock(impl.file_mutex_);
  if (!impl.open_) {
    return NotOpened();
  }
  if (writable && !impl.writable_) {
    return NotWritable();
  }
  std::vector<ChainEntry> entries;
  uint64_t bucket = 0;
  while (true) {
    Status status = impl.NextNonEmptyBucket(bucket, &bucket, true);
    if (!status.IsOK()) {
      return status;
    }
    if (bucket >= impl.layout_.num_buckets) {
      return Status();
    }
    std::shared_mutex& stripe = impl.Stripe(bucket);
    std::unique_lock<std::shared_mutex> write_lock(stripe, std::defer_lock);
    std::shared_lock<std::shared_mutex> read_lock(stripe, std::defer_lock);
    if (writable) {
      write_lock.lock();
    } else {
      read_lock.lock();
    }
    status = impl.ReadChain(bucket, with_values, &entries);
    if (!status.IsOK()) {
      return status;
    }
    bool done = false;
    status = visit(bucket, entries, &done);
    if (!status.IsOK() || done) {
      return status;
    }
    bucket++;
  }
}

}  // namespace

Status HashDBM::ProcessFirst(RecordProcessor* proc, bool writable) {
  Impl& impl = *impl_;
  bool found_first = false;
  Status status = WalkBuckets(
      impl, writable, false,
      [&](uint64_t bucket, const std::vector<ChainEntry>& entries, bool* done) {
        if (entries.empty()) {
          return Status();
        }
        *done = found_first = true;
        return impl.ProcessLocked(entries.front().key, bucket, proc, writable);
      });
  if (found_first || !status.IsOK()) {
    return status;
  }
  Status proc_status;
  CallProcessor(proc, "", nullptr, writable, &proc_status);
  if (!proc_status.IsOK()) {
    return proc_status;
  }
  return Status(Status::NOT_FOUND_ERROR, "no record");
}

Status HashDBM::ProcessMulti(
    const std::vector<std::pair<std::string_view, RecordProcessor*>>& key_proc_pairs,
    bool writable) {
  Impl& impl = *impl_;
  std::vector<uint64_t> buckets;
  buckets.reserve(key_proc_pairs.size());
  std::vector<size_t> stripes;
  stripes.reserve(key_proc_pairs.size());
  while (true) {
    const uint64_t num_buckets = impl.num_buckets_hint_.load(std::memory_order_acquire);
    buckets.clear();
    stripes.clear();
    for (const auto& pair : key_proc_pairs) {
      const uint64_t bucket = PrimaryHash(pair.first, num_buckets);
      buckets.push_back(bucket);
      stripes.push_back(bucket % kNumStripes);
    }
    std::sort(stripes.begin(), stripes.end());
    stripes.erase(std::unique(stripes.begin(), stripes.end()), stripes.end());
    for (size_t stripe : stripes) {
      if (writable) {
        impl.stripes_[stripe].lock();
      } else {
        impl.stripes_[stripe].lock_shared();
      }
    }
    Status status;
    bool retry = false;
    if (!impl.open_) {
      status = NotOpened();
    } else if (impl.layout_.num_buckets != num_buckets) {
      retry = true;  // rebuilt meanwhile
    } else if (writable && !impl.writable_) {
      status = NotWritable();
    } else {
      for (size_t i = 0; i < key_proc_pairs.size(); i++) {
        status = impl.ProcessLocked(key_proc_pairs[i].first, buckets[i],
                                    key_proc_pairs[i].second, writable);
        if (!status.IsOK()) {
          break;
        }
      }
    }
    for (auto it = stripes.rbegin(); it != stripes.rend(); ++it) {
      if (writable) {
        impl.stripes_[*it].unlock();
      } else {
        impl.stripes_[*it].unlock_shared();
      }
    }
    if (!retry) {
      return status;
    }
  }
}

Status HashDBM::ProcessEach(RecordProcessor* proc, bool writable) {
  Impl& impl = *impl_;
  return WalkBuckets(
      impl, writable, true,
      [&](uint64_t bucket, const std::vector<ChainEntry>& entries, bool*) {
        for (const auto& entry : entries) {
          Status proc_status;
          const std::string_view value = entry.value;
          const std::string_view answer =
              CallProcessor(proc, entry.key, &value, writable, &proc_status);
          if (!proc_status.IsOK()) {
            return proc_status;
          }
          if (answer.data() != RecordProcessor::NOOP.data()) {
            Found found;
            Status status = impl.FindRecord(entry.key, bucket, &found);
            if (status.IsOK()) {
              status = impl.ApplyAnswer(entry.key, bucket, answer, &found);
            }
            if (!status.IsOK()) {
              return status;
            }
          }
        }
        return Status();
      });
}

Status HashDBM::Count(int64_t* count) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  *count = impl_->counts_.NumRecords();
  return Status();
}

Status HashDBM::GetFileSize(int64_t* size) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  return impl_->file_->GetSize(size);
}

Status HashDBM::GetFilePath(std::string* path) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  *path = impl_->path_;
  return Status();
}

Status HashDBM::GetTimestamp(double* timestamp) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  *timestamp = impl_->timestamp_us_.load() / 1000000.0;
  return Status();
}

Status HashDBM::Clear() {
  Impl& impl = *impl_;
  std::unique_lock<std::shared_mutex> lock(impl.file_mutex_);
  AllStripesLock stripes_lock(&impl.stripes_);
  if (!impl.open_) {
    return NotOpened();
  }
  if (!impl.writable_) {
    return NotWritable();
  }
  Status status = impl.MarkDirty();
  if (status.IsOK()) {
    status = impl.file_->Truncate(kHeaderSize);
  }
  if (status.IsOK()) {
    status = impl.file_->Truncate(impl.layout_.record_base);
  }
  if (!status.IsOK()) {
    return status;
  }
  impl.fbp_.Clear();
  impl.counts_.Reset(0, 0, 0);
  impl.file_end_ = impl.layout_.record_base;
  impl.timestamp_us_ = NowMicros();
  return impl.WriteDynamic(false);
}

Status HashDBM::RebuildAdvanced(const ParamMap& params) {
  Impl& impl = *impl_;
  std::unique_lock<std::shared_mutex> lock(impl.file_mutex_);
  AllStripesLock stripes_lock(&impl.stripes_);
  if (!impl.open_) {
    return NotOpened();
  }
  if (!impl.writable_) {
    return NotWritable();
  }
  Status status = CheckParams(params, kTuningRules);
  if (!status.IsOK()) {
    return status;
  }
  Layout layout = impl.layout_;
  const int64_t count = impl.counts_.NumRecords();
  layout.num_buckets =
      std::max<uint64_t>(kMinFittedBuckets, static_cast<uint64_t>(std::max<int64_t>(count, 0)) * 2 + 1);
  layout.num_buckets = std::min(layout.num_buckets, kMaxNumBuckets);
  status = ParseTuning(params, &layout);
  if (!status.IsOK()) {
    return status;
  }
  ParamMap dest_params = impl.file_params_;
  for (const char* name : {"file", "alloc_init_size", "alloc_inc_factor"}) {
    auto it = params.find(name);
    if (it != params.end()) {
      dest_params[it->first] = it->second;
    }
  }
  dest_params["num_buckets"] = std::to_string(layout.num_buckets);
  dest_params["align_pow"] = std::to_string(layout.align_pow);
  dest_params["offset_width"] = std::to_string(layout.offset_width);
  dest_params["update_mode"] = UpdateModeName(layout.update_mode);
  dest_params["record_crc_mode"] = CrcModeName(layout.crc_mode);
  auto fbp_it = params.find("fbp_capacity");
  const int64_t fbp_capacity =
      fbp_it == params.end() ? impl.fbp_capacity_ : StrToInt(fbp_it->second, kDefaultFbpCapacity);
  dest_params["fbp_capacity"] = std::to_string(fbp_capacity);
  const std::string tmp_path = impl.path_ + ".tmp.rebuild";
  auto dest = std::make_unique<Impl>();
  status = dest->Open(tmp_path, true, File::OPEN_TRUNCATE | (impl.options_ & ~File::OPEN_NO_CREATE),
                      dest_params);
  if (!status.IsOK()) {
    return status;
  }
  // A database opened without restoring may have broken chains: it is rebuilt
  // the way restoring reads a file, from its chains and then a scan.
  status = impl.healthy_ ? impl.CopyLiveRecords(dest.get())
                         : RestoreRecords(impl.file_.get(), impl.layout_, impl.FileEnd(), false,
                                          dest.get());
  if (status.IsOK()) {
    status = dest->SyncImpl(impl.options_ & File::OPEN_SYNC_HARD);
  }
  if (status.IsOK()) {
    status = dest->file_->Rename(impl.path_);
  }
  if (!status.IsOK()) {
    dest->CloseImpl();
    std::remove(tmp_path.c_str());
    return status;
  }
  impl.file_->Close();
  impl.Adopt(dest.get());
  impl.num_buckets_hint_.store(impl.layout_.num_buckets);
  impl.fbp_capacity_ = fbp_capacity;
  impl.fbp_.SetCapacity(fbp_capacity);
  impl.file_params_ = dest->file_params_;
  impl.healthy_ = true;
  return Status();
}

Status HashDBM::ShouldBeRebuilt(bool* tobe) {
  Impl& impl = *impl_;
  std::shared_lock<std::shared_mutex> lock(impl.file_mutex_);
  if (!impl.open_) {
    return NotOpened();
  }
  const int64_t region = impl.FileEnd() - impl.layout_.record_base;
  *tobe = impl.counts_.LiveSize() < region / 2 ||
          impl.counts_.NumRecords() > static_cast<int64_t>(impl.layout_.num_buckets);
  return Status();
}

Status HashDBM::SynchronizeAdvanced(bool hard, FileProcessor* proc, const ParamMap& params) {
  Impl& impl = *impl_;
  std::unique_lock<std::shared_mutex> lock(impl.file_mutex_);
  AllStripesLock stripes_lock(&impl.stripes_);
  if (!impl.open_) {
    return NotOpened();
  }
  Status status = CheckNoParams(params);
  if (!status.IsOK()) {
    return status;
  }
  if (impl.writable_) {
    status = impl.SyncImpl(hard);
  }
  if (status.IsOK() && proc != nullptr) {
    proc->Process(impl.path_);
  }
  return status;
}

Status HashDBM::CopyFileData(const std::string& dest_path, bool sync_hard) {
  Impl& impl = *impl_;
  std::unique_lock<std::shared_mutex> lock(impl.file_mutex_);
  AllStripesLock stripes_lock(&impl.stripes_);
  if (!impl.open_) {
    return NotOpened();
  }
  if (dest_path == impl.path_) {
    // Opening the destination would truncate the database itself.
    return Status(Status::INVALID_ARGUMENT_ERROR, "the copy needs a path of its own");
  }
  Status status;
  if (impl.writable_) {
    status = impl.SyncImpl(sync_hard);
    if (!status.IsOK()) {
      return status;
    }
  }
  // Copying onto the database's own file (under any name) would wait for
  // its own file lock, or truncate it when it was opened without one.
  struct stat dest_stat, own_stat;
  if (stat(dest_path.c_str(), &dest_stat) == 0 && stat(impl.path_.c_str(), &own_stat) == 0 &&
      dest_stat.st_dev == own_stat.st_dev && dest_stat.st_ino == own_stat.st_ino) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "the copy would overwrite the database file");
  }
  const int64_t end = impl.FileEnd();
  std::unique_ptr<File> dest = impl.file_->MakeFile();
  status = dest->Open(dest_path, true, File::OPEN_TRUNCATE);
  if (!status.IsOK()) {
    return status;
  }
  std::string buf;
  for (int64_t off = 0; off < end && status.IsOK();) {
    const size_t size = static_cast<size_t>(std::min<int64_t>(kScanWindow, end - off));
    buf.resize(size);
    status = impl.file_->Read(off, buf.data(), size);
    if (status.IsOK()) {
      status = dest->Write(off, buf.data(), size);
    }
    off += size;
  }
  if (status.IsOK() && sync_hard) {
    status = dest->Synchronize(true);
  }
  status |= dest->Close();
  return status;
}

std::vector<std::pair<std::string, std::string>> HashDBM::Inspect() {
  Impl& impl = *impl_;
  std::shared_lock<std::shared_mutex> lock(impl.file_mutex_);
  std::vector<std::pair<std::string, std::string>> result;
  result.emplace_back("class", "HashDBM");
  result.emplace_back("path", impl.path_);
  if (!impl.open_) {
    result.emplace_back("num_records", "-1");
    result.emplace_back("healthy", "false");
    return result;
  }
  const Layout& layout = impl.layout_;
  result.emplace_back("num_records", std::to_string(impl.counts_.NumRecords()));
  result.emplace_back("healthy", impl.healthy_ ? "true" : "false");
  result.emplace_back("num_buckets", std::to_string(layout.num_buckets));
  result.emplace_back("align_pow", std::to_string(layout.align_pow));
  result.emplace_back("offset_width", std::to_string(layout.offset_width));
  result.emplace_back("update_mode", UpdateModeName(layout.update_mode));
  result.emplace_back("record_crc_mode", CrcModeName(layout.crc_mode));
  result.emplace_back("fbp_capacity", std::to_string(impl.fbp_capacity_));
  result.emplace_back("free_blocks", std::to_string(impl.fbp_.Size()));
  result.emplace_back("restore_mode", impl.restore_mode_);
  result.emplace_back("file_size", std::to_string(impl.FileEnd()));
  result.emplace_back("record_base", std::to_string(layout.record_base));
  result.emplace_back("eff_data_size", std::to_string(impl.counts_.EffDataSize()));
  result.emplace_back("live_slot_size", std::to_string(impl.counts_.LiveSize()));
  result.emplace_back("timestamp", SPrintF("%.6f", impl.timestamp_us_.load() / 1000000.0));
  result.emplace_back("writable", impl.writable_ ? "true" : "false");
  return result;
}

bool HashDBM::IsOpen() const {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  return impl_->open_;
}

bool HashDBM::IsWritable() const {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  return impl_->open_ && impl_->writable_;
}

bool HashDBM::IsHealthy() const {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  return impl_->open_ && impl_->healthy_;
}

bool HashDBM::IsOrdered() const { return false; }

std::unique_ptr<DBM::Iterator> HashDBM::MakeIterator() {
  return std::make_unique<HashIterator>(impl_);
}

std::unique_ptr<DBM> HashDBM::MakeDBM() const { return std::make_unique<HashDBM>(); }

}  // namespace morvel
