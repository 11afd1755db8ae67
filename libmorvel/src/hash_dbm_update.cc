// Placing and changing the records of a hash database.
//
// Chains: a new record goes to the head of its bucket's chain. In the
// appending mode nothing is ever overwritten: the first record of a key in its
// chain is its current state (a removal record means absent), so the chain
// runs from the newest record to the oldest. In the in-place mode every key has
// at most one record: a new version goes into a free block from the pool, or
// at the end, and takes the old record's place in the chain by one write of
// the link (or bucket head) that pointed to the old one; only then is the old
// record marked as a free block and offered to the free-block pool (memory
// only; Rebuild reclaims what the pool forgets). A removal unlinks the record
// the same way, then frees it. The bytes of a live record are never
// overwritten, apart from its link when the record after it changes, so a
// crash in the middle of an update leaves the old version whole.
//
// Writes are ordered so that the chains are whole at every moment: a record is
// complete before anything links to it, and a record is unlinked before it is
// freed.

#include "morvel/str_util.h"
#include "hash_dbm_impl.h"

namespace morvel {

using namespace hashdbm;

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
  const Status status = SetRecordBody(key, value, bucket, found);
  if (!status.IsOK()) {
    // The new record may be written and not linked, or the old one unlinked
    // and not freed, or torn bytes left in the region.
    NoteStrays();
  }
  return status;
}

Status HashDBM::Impl::SetRecordBody(std::string_view key, std::string_view value,
                                    uint64_t bucket, Found* found) {
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
      NoteMoved(found->offset, off, key, value);
    } else {
      counts_.Add(bucket, 1, new_data, slot);
      NoteAdded(bucket);
    }
    return Status();
  }
  // The new version never goes over the old one, even when it would fit: a
  // crash in the middle of that copy would leave neither version whole.
  const RecordHead& old = found->rec.head;
  const int64_t old_data = old.key_size + old.value_size;
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
  counts_.Add(bucket, 0, new_data - old_data, slot - old.slot);
  NoteMoved(found->offset, off, key, value);
  return FreeSlot(found->offset, old.slot);
}

// Marks the unlinked record at |off| as a free block and offers it to the pool.
Status HashDBM::Impl::FreeSlot(int64_t off, int64_t slot) {
  const char free_type = static_cast<char>(kRecordFree);
  Status status = raw_->Write(off, &free_type, 1);
  if (status.IsOK()) {
    fbp_.Insert(off, slot);
  }
  return status;
}

Status HashDBM::Impl::RemoveRecord(uint64_t bucket, Found* found) {
  const Status status = RemoveRecordBody(bucket, found);
  if (!status.IsOK()) {
    NoteStrays();
  }
  return status;
}

Status HashDBM::Impl::RemoveRecordBody(uint64_t bucket, Found* found) {
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
    // Unlinked by one write of the link that pointed to it, then freed.
    status = found->prev == 0 ? WriteBucket(bucket, old.link) : WriteLink(found->prev, old.link);
  }
  if (!status.IsOK()) {
    return status;
  }
  counts_.Add(bucket, -1, -static_cast<int64_t>(old.key_size + old.value_size), -old.slot);
  NoteRemoved(found->offset, found->rec.key);
  return layout_.update_mode == kUpdateAppending ? Status() : FreeSlot(found->offset, old.slot);
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


}  // namespace morvel
