// TreeDBM's page and metadata codecs.

#include "tree_dbm_page.h"

#include "morvel/str_util.h"

namespace morvel {
namespace treedbm {

namespace {

constexpr std::string_view kMetaMagic = "MTDB";
constexpr uint8_t kMetaVersion = 1;
constexpr uint8_t kPageLeaf = 1;
constexpr uint8_t kPageInner = 2;

void PutVarint(std::string* out, uint64_t num) {
  while (num >= 0x80) {
    out->push_back(static_cast<char>((num & 0x7F) | 0x80));
    num >>= 7;
  }
  out->push_back(static_cast<char>(num));
}

bool GetVarint(std::string_view* in, uint64_t* num) {
  uint64_t value = 0;
  for (size_t i = 0; i < in->size() && i < 10; i++) {
    const uint8_t byte = static_cast<uint8_t>((*in)[i]);
    value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      in->remove_prefix(i + 1);
      *num = value;
      return true;
    }
  }
  return false;
}

void PutFixed(std::string* out, uint64_t num) {
  char buf[8];
  for (int i = 7; i >= 0; i--) {
    buf[i] = static_cast<char>(num & 0xFF);
    num >>= 8;
  }
  out->append(buf, 8);
}

bool GetFixed(std::string_view* in, uint64_t* num) {
  if (in->size() < 8) {
    return false;
  }
  uint64_t value = 0;
  for (int i = 0; i < 8; i++) {
    value = (value << 8) | static_cast<uint8_t>((*in)[i]);
  }
  in->remove_prefix(8);
  *num = value;
  return true;
}

bool GetBytes(std::string_view* in, uint64_t size, std::string_view* out) {
  if (size > in->size()) {
    return false;
  }
  *out = in->substr(0, size);
  in->remove_prefix(size);
  return true;
}

}  // namespace

std::string PageKey(int64_t id) { return IntToStrBigEndian(id, 8); }

std::string EncodeLeaf(const LeafPage& leaf, uint64_t seq) {
  std::string data;
  data.reserve(leaf.bytes + 16);
  data.push_back(static_cast<char>(kPageLeaf));
  PutFixed(&data, seq);
  PutFixed(&data, leaf.prev);
  PutFixed(&data, leaf.next);
  PutVarint(&data, leaf.size());
  for (const auto& slot : leaf.slots) {
    PutVarint(&data, slot.key_size);
    PutVarint(&data, slot.value_size);
    data.append(leaf.arena.data() + slot.off, slot.key_size + slot.value_size);
  }
  return data;
}

std::string EncodeInner(const InnerPage& inner) {
  std::string data;
  data.reserve(inner.bytes + 16);
  data.push_back(static_cast<char>(kPageInner));
  PutVarint(&data, inner.keys.size());
  PutFixed(&data, inner.children[0]);
  for (size_t i = 0; i < inner.keys.size(); i++) {
    PutVarint(&data, inner.keys[i].size());
    data.append(inner.keys[i]);
    PutFixed(&data, inner.children[i + 1]);
  }
  return data;
}

Status BrokenPage(int64_t id, const char* what) {
  return Status(Status::BROKEN_DATA_ERROR,
                "damaged page " + std::to_string(id) + ": " + what);
}

Status DecodePage(int64_t id, std::string&& data, int64_t max_id, PagePtr* page,
                  uint64_t* seq) {
  std::string_view in(data);
  if (in.empty()) {
    return BrokenPage(id, "empty");
  }
  const uint8_t type = static_cast<uint8_t>(in[0]);
  in.remove_prefix(1);
  auto valid_id = [max_id](uint64_t num, bool zero_ok) {
    return (zero_ok && num == 0) || (num >= 1 && num < static_cast<uint64_t>(max_id));
  };
  if (type == kPageLeaf) {
    auto leaf = std::make_shared<LeafPage>(id);
    uint64_t page_seq = 0, prev = 0, next = 0, count = 0;
    if (!GetFixed(&in, &page_seq) || !GetFixed(&in, &prev) || !GetFixed(&in, &next) ||
        !GetVarint(&in, &count)) {
      return BrokenPage(id, "truncated leaf header");
    }
    if (!valid_id(prev, true) || !valid_id(next, true)) {
      return BrokenPage(id, "link out of range");
    }
    // Each record takes two bytes at least, which bounds the reservation.
    if (count > in.size() / 2) {
      return BrokenPage(id, "record count out of range");
    }
    leaf->prev = prev;
    leaf->next = next;
    leaf->slots.reserve(count);
    leaf->heads.reserve(count);
    size_t live = 0;
    for (uint64_t i = 0; i < count; i++) {
      uint64_t key_size = 0, value_size = 0;
      std::string_view key, value;
      if (!GetVarint(&in, &key_size) || !GetVarint(&in, &value_size) ||
          !GetBytes(&in, key_size, &key) || !GetBytes(&in, value_size, &value)) {
        return BrokenPage(id, "truncated record");
      }
      // The record stays where it is in the read buffer, which becomes the
      // arena; the header and the sizes are its garbage.
      leaf->slots.push_back({static_cast<size_t>(key.data() - data.data()), key.size(),
                             value.size()});
      leaf->heads.push_back(KeyHead(key));
      live += key.size() + value.size();
      leaf->bytes += key.size() + value.size() + kEntryOverhead;
    }
    if (!in.empty()) {
      return BrokenPage(id, "trailing bytes");
    }
    leaf->garbage = data.size() - live;
    leaf->arena = std::move(data);
    if (seq != nullptr) {
      *seq = page_seq;
    }
    *page = std::move(leaf);
    return Status();
  }
  if (type == kPageInner) {
    auto inner = std::make_shared<InnerPage>(id);
    uint64_t count = 0, child = 0;
    if (!GetVarint(&in, &count) || !GetFixed(&in, &child)) {
      return BrokenPage(id, "truncated inner header");
    }
    if (count > in.size() / 9) {
      return BrokenPage(id, "key count out of range");
    }
    if (!valid_id(child, false)) {
      return BrokenPage(id, "child out of range");
    }
    inner->children.reserve(count + 1);
    inner->keys.reserve(count);
    inner->children.push_back(child);
    for (uint64_t i = 0; i < count; i++) {
      uint64_t key_size = 0;
      std::string_view key;
      if (!GetVarint(&in, &key_size) || !GetBytes(&in, key_size, &key) ||
          !GetFixed(&in, &child)) {
        return BrokenPage(id, "truncated entry");
      }
      if (!valid_id(child, false)) {
        return BrokenPage(id, "child out of range");
      }
      inner->keys.emplace_back(key);
      inner->children.push_back(child);
    }
    if (!in.empty()) {
      return BrokenPage(id, "trailing bytes");
    }
    inner->RecountBytes();
    *page = std::move(inner);
    return Status();
  }
  return BrokenPage(id, "unknown page type");
}

std::string EncodeMeta(const Meta& meta) {
  std::string data(kMetaMagic);
  data.push_back(static_cast<char>(kMetaVersion));
  data.push_back(meta.clean ? 1 : 0);
  PutFixed(&data, meta.root_id);
  PutFixed(&data, meta.next_id);
  PutFixed(&data, meta.num_records);
  PutFixed(&data, meta.seq);
  PutFixed(&data, meta.level);
  PutFixed(&data, meta.num_leaves);
  PutFixed(&data, meta.num_inners);
  PutVarint(&data, meta.comparator.size());
  data.append(meta.comparator);
  return data;
}

bool DecodeMeta(std::string_view data, Meta* meta) {
  if (data.substr(0, kMetaMagic.size()) != kMetaMagic || data.size() < kMetaMagic.size() + 2 ||
      static_cast<uint8_t>(data[kMetaMagic.size()]) != kMetaVersion) {
    return false;
  }
  meta->clean = data[kMetaMagic.size() + 1] == 1;
  data.remove_prefix(kMetaMagic.size() + 2);
  uint64_t root = 0, next = 0, count = 0, level = 0, leaves = 0, inners = 0, size = 0;
  std::string_view name;
  if (!GetFixed(&data, &root) || !GetFixed(&data, &next) || !GetFixed(&data, &count) ||
      !GetFixed(&data, &meta->seq) || !GetFixed(&data, &level) || !GetFixed(&data, &leaves) ||
      !GetFixed(&data, &inners) || !GetVarint(&data, &size) || !GetBytes(&data, size, &name) ||
      !data.empty()) {
    return false;
  }
  const uint64_t kLimit = 1ULL << 62;
  if (root < 1 || root >= next || next > kLimit || count > kLimit || level < 1 ||
      level > static_cast<uint64_t>(kMaxDepth) || leaves > kLimit || inners > kLimit) {
    return false;
  }
  meta->root_id = root;
  meta->next_id = next;
  meta->num_records = count;
  meta->level = level;
  meta->num_leaves = leaves;
  meta->num_inners = inners;
  meta->comparator = std::string(name);
  return true;
}

}  // namespace treedbm
}  // namespace morvel
