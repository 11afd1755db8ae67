// The hash database file format: parsing and writing the header, and the
// encoding of records (see hash_dbm_format.h for the layout).

#include "hash_dbm_format.h"

#include <cstring>

#include "morvel/hash_util.h"
#include "morvel/str_util.h"
#include "param_check.h"

namespace morvel {
namespace hashdbm {

const char* UpdateModeName(UpdateMode mode) {
  return mode == kUpdateAppending ? "appending" : "in_place";
}

const char* CrcModeName(CrcMode mode) {
  static const char* const kNames[] = {"none", "crc8", "crc16", "crc32"};
  return kNames[mode];
}

namespace {

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
    {"bucket_growth", ParamRule::kChoice, 0, 0, "auto|on|off"},
    {"file", ParamRule::kText},
    {"alloc_init_size", ParamRule::kInteger, 0, INT64_MAX},
    {"alloc_inc_factor", ParamRule::kReal, 1, INT64_MAX},
};

}  // namespace

Status ParseTuning(const ParamMap& params, Layout* layout) {
  Status checked = CheckParams(params, kTuningRules);
  if (!checked.IsOK()) {
    return checked;
  }
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

// |buf| holds the whole header; false when the dynamic part fails its checksum.
bool ParseDynamicHeader(const char* buf, DynamicHeader* dyn) {
  if (static_cast<uint32_t>(GetBE(buf + kOffDynCrc, 4)) !=
      HashCRC32(buf + kDynBegin, kOffDynCrc - kDynBegin)) {
    return false;
  }
  dyn->clean = buf[kOffClean] == 1;
  dyn->no_strays = (static_cast<uint8_t>(buf[kOffFlags]) & kFlagNoStrays) != 0;
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
  buf[kOffFlags - kDynBegin] = static_cast<char>(dyn.no_strays ? kFlagNoStrays : 0);
  PutBE(buf + kOffNumRecords - kDynBegin, dyn.num_records, 8);
  PutBE(buf + kOffEffDataSize - kDynBegin, dyn.eff_data_size, 8);
  PutBE(buf + kOffLiveSize - kDynBegin, dyn.live_size, 8);
  PutBE(buf + kOffFileSize - kDynBegin, dyn.file_size, 8);
  PutBE(buf + kOffTimestamp - kDynBegin, dyn.timestamp_us, 8);
  PutBE(buf + kOffDynCrc - kDynBegin, HashCRC32(buf, kOffDynCrc - kDynBegin), 4);
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


}  // namespace hashdbm
}  // namespace morvel
