// The hash database file format: the header, the layout derived from the
// tuning, and the encoding of records. Private to the hash database sources.
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
//     33  flags: bit 0 set when every record of the region that no chain holds
//         is marked as a free block (so a walk in file order meets live
//         records only); files that leave it clear are walked by buckets
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

#ifndef MORVEL_HASH_DBM_FORMAT_H_
#define MORVEL_HASH_DBM_FORMAT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "morvel/dbm.h"
#include "morvel/hash_util.h"
#include "morvel/status.h"
#include "hash_crc.h"

namespace morvel {
namespace hashdbm {

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
constexpr int kOffFlags = 33;
constexpr uint8_t kFlagNoStrays = 1;
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
inline size_t VarSize(uint64_t num) {
  size_t size = 1;
  while (num >= 128) {
    num >>= 7;
    size++;
  }
  return size;
}

// Writes |num| in exactly |width| bytes (|num| must fit).
inline void PutVar(char* buf, uint64_t num, size_t width) {
  for (size_t i = width; i-- > 0;) {
    buf[i] = static_cast<char>((num & 0x7F) | (i + 1 == width ? 0 : 0x80));
    num >>= 7;
  }
}

// Reads a varint; returns the bytes consumed or 0 when broken.
inline size_t GetVar(const char* buf, size_t size, uint64_t* num) {
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
inline void PutBE(char* buf, uint64_t num, size_t width) {
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

inline uint64_t GetBE(const char* buf, size_t width) {
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

inline int64_t AlignUp(int64_t num, int64_t align) { return (num + align - 1) / align * align; }

inline Status BrokenData(const std::string& what) { return Status(Status::BROKEN_DATA_ERROR, what); }

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

const char* UpdateModeName(UpdateMode mode);
const char* CrcModeName(CrcMode mode);

inline uint32_t Checksum(CrcMode mode, const char* data, size_t size) {
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

// Checks every parameter of |params| (an unknown name or a bad value is
// INVALID_ARGUMENT_ERROR naming it), then reads the tuning over |layout|: only
// the keys present change it.
Status ParseTuning(const ParamMap& params, Layout* layout);

// The static header part, or a failure naming what is wrong with it.
Status ParseStaticHeader(const char* buf, Layout* layout);

// Fills the first kDynBegin bytes of |buf| with the static part.
void MakeStaticHeader(const Layout& layout, char* buf);

// The counts of the dynamic header part.
struct DynamicHeader {
  bool clean = false;
  bool no_strays = false;
  int64_t num_records = 0;
  int64_t eff_data_size = 0;
  int64_t live_size = 0;
  int64_t file_size = 0;
  int64_t timestamp_us = 0;
};

// |buf| holds the whole header; false when the dynamic part fails its checksum.
bool ParseDynamicHeader(const char* buf, DynamicHeader* dyn);

// Fills |buf| (kDynEnd - kDynBegin bytes) with the dynamic part.
void MakeDynamicHeader(const DynamicHeader& dyn, char* buf);

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
inline bool ParseHead(const Layout& layout, const char* buf, size_t size, RecordHead* head) {
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
                    std::string_view value, int64_t slot, bool fill_pad, char* buf);

}  // namespace hashdbm
}  // namespace morvel

#endif  // MORVEL_HASH_DBM_FORMAT_H_
