// TinyDBM: an in-memory hash table with striped locks.
//
// Records are single heap blocks (a header, the key bytes, the value bytes)
// chained per bucket. The table is split by the top bits of the key's hash
// into kNumStripes stripes, each with its own bucket array, record count and
// reader-writer lock (Stripe::mutex). A record operation locks the one stripe
// of its key, so operations on different stripes run in parallel. Within a
// stripe, a record's bucket is the high part of the rest of its hash times the
// stripe's bucket count: bucket order is hash order under any count, and a
// bucket covers a range of hashes that lies in whole buckets of a doubled
// array.
//
// A stripe doubles its bucket array when an insert leaves it with more
// records than buckets, under its own exclusive lock, which the writer holds
// already: the longest pause is one rehash of one stripe (a 1/kNumStripes
// share of the records), amortised over the inserts since its last doubling,
// and the other stripes keep working meanwhile.
//
// Whole-database operations (Open, Close, Clear, Rebuild) take every stripe
// exclusively, in ascending index order; ProcessMulti takes the stripes of its
// keys in the same ascending order, so no two calls can deadlock. |open| is
// written only under all the stripes, so any one stripe is enough to read it.
//
// Walks (iterators, ProcessEach, ProcessFirst) go in hash order. Iterators
// read whole buckets ahead, a batch of records under one hold of a stripe
// lock, and remember their place by the keys of the batch: reads and writes
// at the cursor find the key again under its stripe lock, so they stay valid
// while other threads write. The next batch starts at the first hash not yet
// covered, which stays a bucket boundary across growth, so a walk sees every
// record present throughout exactly once even while buckets are added or
// the table is rebuilt. Step hands out records from the batch as they were
// when it was read.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <utility>

#include "mem_dbm_internal.h"
#include "record_batch.h"
#include "param_check.h"
#include "morvel/hash_util.h"
#include "morvel/mem_dbm.h"

namespace morvel {

namespace {

constexpr int64_t kDefaultNumBuckets = 1048583;
// A power of two, so that the stripe is the top bits of the hash. Enough
// stripes that two threads rarely meet on one and a stripe's rehash is
// short, few enough that holding them all (Close, Clear, Rebuild) stays
// within what lock checkers track.
constexpr size_t kNumStripes = 32;
constexpr int kStripeShift = 59;  // 64 - log2(kNumStripes)
static_assert(kNumStripes == size_t{1} << (64 - kStripeShift), "stripes by the top bits");
constexpr uint64_t kBucketSeed = 0x6d6f7276656cULL;
// How many buckets ahead of the one being moved a rehash fetches the records.
constexpr uint64_t kRehashPrefetchAhead = 8;
// How many buckets ahead of the one being read a walk fetches the first record.
constexpr uint64_t kPrefetchAhead = 16;

uint64_t HashKey(std::string_view key) {
  return HashMurmur(key.data(), key.size(), kBucketSeed);
}

size_t StripeOfHash(uint64_t hash) {
  return static_cast<size_t>(hash >> kStripeShift);
}

// The first hash of stripe |index|.
uint64_t StripeStartHash(size_t index) {
  return static_cast<uint64_t>(index) << kStripeShift;
}

// The bucket of |hash| among the |nb| of its stripe: monotone in the hash, and
// nested across doubling (bucket b of nb is buckets 2b and 2b+1 of 2nb).
uint64_t BucketOfHash(uint64_t hash, uint64_t nb) {
  const uint64_t within = hash << (64 - kStripeShift);
  return static_cast<uint64_t>((static_cast<unsigned __int128>(within) * nb) >> 64);
}

// The smallest hash of stripe |index| whose bucket among |nb| is |bucket| or
// later (|bucket| < nb).
uint64_t BucketStartHash(size_t index, uint64_t bucket, uint64_t nb) {
  const uint64_t offset = static_cast<uint64_t>(
      ((static_cast<unsigned __int128>(bucket) << kStripeShift) + nb - 1) / nb);
  return StripeStartHash(index) + offset;
}

struct RecordHead {
  RecordHead* next;
  size_t key_size;
  size_t value_size;

  char* KeyPtr() { return reinterpret_cast<char*>(this + 1); }
  std::string_view Key() { return std::string_view(KeyPtr(), key_size); }
  std::string_view Value() { return std::string_view(KeyPtr() + key_size, value_size); }
};

RecordHead* NewRecord(std::string_view key, std::string_view value, RecordHead* next) {
  auto* rec = static_cast<RecordHead*>(std::malloc(sizeof(RecordHead) + key.size() + value.size()));
  if (rec == nullptr) {
    throw std::bad_alloc();
  }
  rec->next = next;
  rec->key_size = key.size();
  rec->value_size = value.size();
  std::memcpy(rec->KeyPtr(), key.data(), key.size());
  if (!value.empty()) {
    std::memcpy(rec->KeyPtr() + key.size(), value.data(), value.size());
  }
  return rec;
}

void FreeChain(RecordHead* rec) {
  while (rec != nullptr) {
    RecordHead* next = rec->next;
    std::free(rec);
    rec = next;
  }
}

// The tuning of Open and Rebuild: the bucket count, bounded by what an
// allocation of bucket heads can address.
constexpr ParamRule kTuningRules[] = {
    {"num_buckets", ParamRule::kInteger, 1, int64_t{1} << 40},
};

// A zeroed bucket array, or null. calloc leaves the pages untouched until
// used, so a huge count fails or costs nothing instead of exhausting memory.
RecordHead** AllocateBuckets(uint64_t num_buckets) {
  if (num_buckets == 0 || num_buckets > SIZE_MAX / sizeof(RecordHead*)) {
    return nullptr;
  }
  return static_cast<RecordHead**>(std::calloc(num_buckets, sizeof(RecordHead*)));
}

// The bucket count of each stripe for a table of |total| buckets.
uint64_t StripeBuckets(int64_t total) {
  return std::max<uint64_t>((static_cast<uint64_t>(total) + kNumStripes - 1) / kNumStripes, 1);
}

struct alignas(64) Stripe {
  // Guards everything below, and |open| shared with the other stripes.
  std::shared_mutex mutex;
  RecordHead** buckets = nullptr;
  uint64_t num_buckets = 0;
  int64_t count = 0;
  // A lower bound of the first non-empty bucket of the stripe, so that finding
  // the first record does not rescan empty buckets. Lowered by inserts (under
  // the exclusive lock); raised by scans, which run with no writer in the
  // stripe, so any scanner's value is right. Atomic since shared holders scan.
  std::atomic<uint64_t> first_hint{0};

  void NoteInsert(uint64_t bucket) {
    if (bucket < first_hint.load(std::memory_order_relaxed)) {
      first_hint.store(bucket, std::memory_order_relaxed);
    }
  }

  uint64_t BucketOf(uint64_t hash) const { return BucketOfHash(hash, num_buckets); }

  void FreeTable() {
    for (uint64_t i = 0; i < num_buckets; i++) {
      FreeChain(buckets[i]);
    }
    std::free(buckets);
    buckets = nullptr;
    num_buckets = 0;
    count = 0;
    first_hint.store(0, std::memory_order_relaxed);
  }

  // Moves every record into a new array of |new_nb| buckets (held
  // exclusively). False, with nothing changed, when the array cannot be had.
  bool Rehash(uint64_t new_nb) {
    RecordHead** new_buckets = AllocateBuckets(new_nb);
    if (new_buckets == nullptr) {
      return false;
    }
    for (uint64_t i = 0; i < num_buckets; i++) {
      // The old array is read in order and, as bucket order is hash order,
      // the new one written nearly in order; only the records are scattered,
      // so fetching them some buckets ahead lets their misses overlap.
      if (i + kRehashPrefetchAhead < num_buckets && buckets[i + kRehashPrefetchAhead] != nullptr) {
        __builtin_prefetch(buckets[i + kRehashPrefetchAhead]);
      }
      RecordHead* rec = buckets[i];
      while (rec != nullptr) {
        RecordHead* next = rec->next;
        const uint64_t bucket = BucketOfHash(HashKey(rec->Key()), new_nb);
        rec->next = new_buckets[bucket];
        new_buckets[bucket] = rec;
        rec = next;
      }
    }
    std::free(buckets);
    buckets = new_buckets;
    num_buckets = new_nb;
    first_hint.store(0, std::memory_order_relaxed);
    return true;
  }

  // Doubles the array when the records outnumber the buckets (held
  // exclusively). A failed allocation leaves the chains longer, and is retried
  // on a later insert.
  void MaybeGrow() {
    if (static_cast<uint64_t>(count) > num_buckets && num_buckets < (uint64_t{1} << 40)) {
      Rehash(num_buckets * 2);
    }
  }
};

void LockStripe(Stripe* stripe, bool exclusive) {
  if (exclusive) {
    stripe->mutex.lock();
  } else {
    stripe->mutex.lock_shared();
  }
}

void UnlockStripe(Stripe* stripe, bool exclusive) {
  if (exclusive) {
    stripe->mutex.unlock();
  } else {
    stripe->mutex.unlock_shared();
  }
}

// Runs |fn| when it goes out of scope, unwinding included: the stripes held
// around a processor are released even when the processor throws.
template <typename Fn>
class ScopeExit {
 public:
  explicit ScopeExit(Fn fn) : fn_(std::move(fn)) {}
  ~ScopeExit() { fn_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  Fn fn_;
};

}  // namespace

struct TinyDBM::Impl {
  Stripe stripes[kNumStripes];
  bool open = false;
  bool writable = false;
  int64_t init_num_buckets = kDefaultNumBuckets;
  // Serializes the users of |file| that hold the stripes only shared.
  std::mutex file_mutex;
  MemoryDBMFile file;

  ~Impl() { ResetTable(); }

  void LockAll(bool exclusive) {
    for (auto& stripe : stripes) {
      LockStripe(&stripe, exclusive);
    }
  }
  void UnlockAll(bool exclusive) {
    for (size_t i = kNumStripes; i > 0; i--) {
      UnlockStripe(&stripes[i - 1], exclusive);
    }
  }

  // Allocates |total| buckets over the stripes (all held exclusively, the
  // tables empty). False, with nothing allocated, when they cannot be had.
  bool AllocateTable(int64_t total) {
    const uint64_t nb = StripeBuckets(total);
    for (size_t i = 0; i < kNumStripes; i++) {
      stripes[i].buckets = AllocateBuckets(nb);
      if (stripes[i].buckets == nullptr) {
        ResetTable();
        return false;
      }
      stripes[i].num_buckets = nb;
    }
    return true;
  }

  // Drops every record and every bucket (all stripes held exclusively).
  void ResetTable() {
    for (auto& stripe : stripes) {
      stripe.FreeTable();
    }
  }

  int64_t TotalBuckets() const {
    int64_t total = 0;
    for (const auto& stripe : stripes) {
      total += stripe.num_buckets;
    }
    return total;
  }

  // Locks the stripe of |hash|.
  Stripe* LockHash(uint64_t hash, bool exclusive) {
    Stripe* stripe = &stripes[StripeOfHash(hash)];
    LockStripe(stripe, exclusive);
    return stripe;
  }

  // Locks the stripes one at a time in ascending order and calls
  // |visit(stripe, begin)| with the first bucket of each that may hold a
  // record, until it returns true. A record never leaves its stripe, so a walk
  // sees each record present throughout exactly once, whatever grows. Fails
  // as CheckUsable says, on the first stripe that sees it.
  template <typename Visit>
  Status WalkStripes(bool writer, Visit visit) {
    for (size_t index = 0; index < kNumStripes; index++) {
      Stripe* stripe = &stripes[index];
      LockStripe(stripe, writer);
      const ScopeExit unlock([stripe, writer] { UnlockStripe(stripe, writer); });
      const Status status = CheckUsable(open, writable, writer);
      if (!status.IsOK()) {
        return status;
      }
      const uint64_t begin =
          std::min(stripe->first_hint.load(std::memory_order_relaxed), stripe->num_buckets);
      if (visit(stripe, begin)) {
        return status;
      }
    }
    return Status();
  }

  // Whether a walk resuming at hash |skip_below| in bucket |begin| has seen
  // |rec| of bucket |bucket| already.
  static bool SeenBefore(RecordHead* rec, uint64_t bucket, uint64_t begin, uint64_t skip_below) {
    return skip_below != 0 && bucket == begin && HashKey(rec->Key()) < skip_below;
  }

  // Stores |value| for |key| (all stripes held exclusively, as while loading),
  // growing the stripe's array as it fills.
  void InsertLocked(std::string_view key, std::string_view value) {
    const uint64_t hash = HashKey(key);
    Stripe* stripe = &stripes[StripeOfHash(hash)];
    const uint64_t bucket = stripe->BucketOf(hash);
    RecordHead** link = &stripe->buckets[bucket];
    while (*link != nullptr) {
      if ((*link)->Key() == key) {
        ReplaceValue(link, value);
        return;
      }
      link = &(*link)->next;
    }
    stripe->buckets[bucket] = NewRecord(key, value, stripe->buckets[bucket]);
    stripe->count++;
    stripe->NoteInsert(bucket);
    stripe->MaybeGrow();
  }

  // Replaces the value of the record at |*link|.
  static void ReplaceValue(RecordHead** link, std::string_view value) {
    RecordHead* rec = *link;
    const char* rec_begin = reinterpret_cast<const char*>(rec);
    const char* rec_end = rec->KeyPtr() + rec->key_size + rec->value_size;
    if (value.data() >= rec_begin && value.data() < rec_end) {
      // The answer points into the record itself: copy it before moving memory.
      const std::string copy(value);
      ReplaceValue(link, copy);
      return;
    }
    if (value.size() != rec->value_size) {
      auto* resized = static_cast<RecordHead*>(
          std::realloc(rec, sizeof(RecordHead) + rec->key_size + value.size()));
      if (resized == nullptr) {
        throw std::bad_alloc();
      }
      rec = resized;
      rec->value_size = value.size();
      *link = rec;
    }
    if (!value.empty()) {
      std::memcpy(rec->KeyPtr() + rec->key_size, value.data(), value.size());
    }
  }

  // Runs |proc| on the record at |*link| (existing) and applies the answer.
  // Returns true when the record was removed.
  bool ApplyFull(RecordHead** link, Stripe* stripe, RecordProcessor* proc, bool writable,
                 Status* status) {
    RecordHead* rec = *link;
    const std::string_view value = rec->Value();
    const std::string_view answer = CallProcessor(proc, rec->Key(), &value, writable, status);
    if (answer.data() == RecordProcessor::NOOP.data()) {
      return false;
    }
    if (answer.data() == RecordProcessor::REMOVE.data()) {
      *link = rec->next;
      std::free(rec);
      stripe->count--;
      return true;
    }
    ReplaceValue(link, answer);
    return false;
  }

  // Processes |key|, of hash |hash|, in |stripe|, which is held (exclusively
  // when |writable|). An insert grows the stripe's array as it fills.
  void ProcessLocked(uint64_t hash, Stripe* stripe, std::string_view key, RecordProcessor* proc,
                     bool writable, Status* status) {
    const uint64_t bucket = stripe->BucketOf(hash);
    RecordHead** link = &stripe->buckets[bucket];
    while (*link != nullptr) {
      if ((*link)->Key() == key) {
        ApplyFull(link, stripe, proc, writable, status);
        return;
      }
      link = &(*link)->next;
    }
    const std::string_view answer = CallProcessor(proc, key, nullptr, writable, status);
    if (answer.data() == RecordProcessor::NOOP.data() ||
        answer.data() == RecordProcessor::REMOVE.data()) {
      return;
    }
    stripe->buckets[bucket] = NewRecord(key, answer, stripe->buckets[bucket]);
    stripe->count++;
    stripe->NoteInsert(bucket);
    stripe->MaybeGrow();
  }

  Status DumpLocked(const MemoryDBMFile::RecordWriter& write) {
    for (auto& stripe : stripes) {
      for (uint64_t i = 0; i < stripe.num_buckets; i++) {
        for (RecordHead* rec = stripe.buckets[i]; rec != nullptr; rec = rec->next) {
          const Status status = write(rec->Key(), rec->Value());
          if (!status.IsOK()) {
            return status;
          }
        }
      }
    }
    return Status();
  }

  MemoryDBMFile::Dumper MakeDumper() {
    return [this](const MemoryDBMFile::RecordWriter& write) { return DumpLocked(write); };
  }
};

namespace {

class TinyIterator final : public DBM::Iterator {
 public:
  explicit TinyIterator(std::shared_ptr<TinyDBM::Impl> impl) : impl_(std::move(impl)) {}

  Status First() override { return Fill(0); }
  Status Last() override { return NotImplemented(); }
  Status Jump(std::string_view key) override;
  Status JumpLower(std::string_view, bool) override { return NotImplemented(); }
  Status JumpUpper(std::string_view, bool) override { return NotImplemented(); }
  Status Next() override;
  Status Previous() override { return NotImplemented(); }
  Status Process(DBM::RecordProcessor* proc, bool writable) override;
  Status Step(std::string* key, std::string* value) override;
  bool StepReadAhead(std::string_view* key, std::string_view* value) override;

 private:
  static Status NotImplemented() {
    return Status(Status::NOT_IMPLEMENTED_ERROR, "TinyDBM iterators go forward only");
  }

  // Reads the records whose hash is |from| or more into the batch, whole
  // buckets in hash order under one hold of a stripe, until the batch is full
  // or the stripe ends. With no record left, the batch is empty and the
  // iterator at the end. Holds no lock when called.
  Status Fill(uint64_t from);
  // Reads the next batch when the cursor is past the current one.
  Status EnsureRecord();
  // Success when the database is open, else its status.
  Status CheckOpen() {
    std::shared_lock lock(impl_->stripes[0].mutex);
    return impl_->open ? Status() : ClosedStatus();
  }
  // Brings the cursor onto a record to hand out: the database must be open
  // and the iterator not at the end.
  Status ReachRecord() {
    Status status = CheckOpen();
    if (status.IsOK()) {
      status = EnsureRecord();
    }
    if (status.IsOK() && !batch_.AtRecord()) {
      status = Status(Status::NOT_FOUND_ERROR);
    }
    return status;
  }

  std::shared_ptr<TinyDBM::Impl> impl_;
  RecordBatch batch_;
  // Whether records after the batch remain to be read, from the hash
  // |next_hash_| on; a batch always ends with a whole bucket, so that hash is
  // a bucket boundary of this array and of every grown one.
  bool more_ = false;
  uint64_t next_hash_ = 0;
};

Status TinyIterator::Fill(uint64_t from) {
  batch_.Clear();
  more_ = false;
  TinyDBM::Impl* impl = impl_.get();
  size_t index = StripeOfHash(from);
  while (true) {
    Stripe* stripe = &impl->stripes[index];
    std::shared_lock lock(stripe->mutex);
    if (!impl->open) {
      return ClosedStatus();
    }
    const uint64_t nb = stripe->num_buckets;
    uint64_t begin = stripe->BucketOf(from);
    uint64_t skip_below = from > BucketStartHash(index, begin, nb) ? from : 0;
    const uint64_t hint = stripe->first_hint.load(std::memory_order_relaxed);
    if (hint > begin) {
      begin = std::min(hint, nb);
      skip_below = 0;
    }
    uint64_t end = nb;
    try {
      for (uint64_t i = begin; i < end; i++) {
        // Records lie on the heap in the order they were made, not in bucket
        // order: fetching one some buckets ahead lets the cache misses overlap.
        if (i + kPrefetchAhead < end && stripe->buckets[i + kPrefetchAhead] != nullptr) {
          __builtin_prefetch(stripe->buckets[i + kPrefetchAhead]);
        }
        for (RecordHead* rec = stripe->buckets[i]; rec != nullptr; rec = rec->next) {
          if (!TinyDBM::Impl::SeenBefore(rec, i, begin, skip_below)) {
            batch_.Add(rec->Key(), rec->Value(), i);
          }
        }
        if (batch_.Full()) {
          end = i + 1;
          break;
        }
      }
    } catch (const std::bad_alloc&) {
      batch_.Clear();
      return AllocFailedStatus();
    }
    if (end < nb) {
      next_hash_ = BucketStartHash(index, end, nb);
      more_ = true;
      return Status();
    }
    if (index + 1 == kNumStripes) {
      return Status();
    }
    index++;
    from = StripeStartHash(index);
    if (!batch_.empty()) {
      next_hash_ = from;
      more_ = true;
      return Status();
    }
  }
}

Status TinyIterator::EnsureRecord() {
  if (batch_.AtRecord() || !more_) {
    return Status();
  }
  return Fill(next_hash_);
}

Status TinyIterator::Jump(std::string_view key) {
  // The batch starts at the key's own hash, so the key, if present, is in its
  // first bucket; what follows it is the rest of the walk.
  const Status status = Fill(HashKey(key));
  if (!status.IsOK()) {
    return status;
  }
  for (size_t i = 0; i < batch_.size() && batch_.Aux(i) == batch_.Aux(0); i++) {
    if (batch_.Key(i) == key) {
      batch_.set_pos(i);
      return Status();
    }
  }
  batch_.Clear();
  more_ = false;
  return Status(Status::NOT_FOUND_ERROR);
}

Status TinyIterator::Next() {
  const Status status = ReachRecord();
  if (!status.IsOK()) {
    return status;
  }
  batch_.Advance();
  return EnsureRecord();
}

Status TinyIterator::Step(std::string* key, std::string* value) {
  const Status status = ReachRecord();
  if (!status.IsOK()) {
    return status;
  }
  if (key != nullptr) {
    *key = batch_.Key(batch_.pos());
  }
  if (value != nullptr) {
    *value = batch_.Value(batch_.pos());
  }
  batch_.Advance();
  return EnsureRecord();
}

bool TinyIterator::StepReadAhead(std::string_view* key, std::string_view* value) {
  std::shared_lock lock(impl_->stripes[0].mutex, std::try_to_lock);
  if (!lock.owns_lock() || !impl_->open || !batch_.AtRecord()) {
    return false;
  }
  *key = batch_.Key(batch_.pos());
  *value = batch_.Value(batch_.pos());
  batch_.Advance();
  return true;
}

Status TinyIterator::Process(DBM::RecordProcessor* proc, bool writable) {
  TinyDBM::Impl* impl = impl_.get();
  while (true) {
    Status status = EnsureRecord();
    if (!status.IsOK()) {
      return status;
    }
    if (!batch_.AtRecord()) {
      status = CheckOpen();
      return status.IsOK() ? Status(Status::NOT_FOUND_ERROR) : status;
    }
    const size_t pos = batch_.pos();
    const std::string_view key = batch_.Key(pos);
    const uint64_t hash = HashKey(key);
    Stripe* stripe = impl->LockHash(hash, writable);
    const ScopeExit unlock([stripe, writable] { UnlockStripe(stripe, writable); });
    status = CheckUsable(impl->open, impl->writable, writable);
    if (!status.IsOK()) {
      return status;
    }
    RecordHead** link = &stripe->buckets[stripe->BucketOf(hash)];
    while (*link != nullptr && (*link)->Key() != key) {
      link = &(*link)->next;
    }
    if (*link == nullptr) {
      // Removed meanwhile: go on with the next one.
      batch_.Advance();
      continue;
    }
    if (impl->ApplyFull(link, stripe, proc, writable, &status)) {
      batch_.Advance();
    } else {
      // What a later Step hands out is the record as it is now.
      batch_.SetValue(pos, (*link)->Value());
    }
    return status;
  }
}

}  // namespace

TinyDBM::TinyDBM(int64_t num_buckets) : impl_(std::make_shared<Impl>()) {
  if (num_buckets > 0) {
    impl_->init_num_buckets = num_buckets;
  }
}

TinyDBM::~TinyDBM() {
  Close();
}

Status TinyDBM::OpenAdvanced(const std::string& path, bool writable, int32_t options,
                             const ParamMap& params) {
  Impl* impl = impl_.get();
  impl->LockAll(true);
  const ScopeExit unlock([impl] { impl->UnlockAll(true); });
  if (impl->open) {
    return Status(Status::PRECONDITION_ERROR, "opened database");
  }
  Status status = CheckParams(params, kTuningRules);
  if (!status.IsOK()) {
    return status;
  }
  int64_t nb = StrToInt(SearchMap(params, "num_buckets", ""), impl->init_num_buckets);
  if (nb <= 0) {
    nb = impl->init_num_buckets;
  }
  try {
    if (!impl->AllocateTable(nb)) {
      throw std::bad_alloc();
    }
    status = impl->file.Open(path, writable, options,
                             [impl](std::string_view key, std::string_view value) {
                               impl->InsertLocked(key, value);
                             },
                             impl->MakeDumper());
  } catch (const std::bad_alloc&) {
    status = AllocFailedStatus();
  }
  if (status.IsOK()) {
    impl->open = true;
    impl->writable = writable;
  } else {
    impl->ResetTable();
  }
  return status;
}

Status TinyDBM::Close() {
  Impl* impl = impl_.get();
  impl->LockAll(true);
  const ScopeExit unlock([impl] { impl->UnlockAll(true); });
  if (!impl->open) {
    return ClosedStatus();
  }
  const Status status = impl->file.Close(impl->MakeDumper());
  impl->ResetTable();
  impl->open = false;
  return status;
}

Status TinyDBM::Process(std::string_view key, RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  const uint64_t hash = HashKey(key);
  Stripe* stripe = impl->LockHash(hash, writable);
  const ScopeExit unlock([stripe, writable] { UnlockStripe(stripe, writable); });
  Status status = CheckUsable(impl->open, impl->writable, writable);
  if (status.IsOK()) {
    try {
      impl->ProcessLocked(hash, stripe, key, proc, writable, &status);
    } catch (const std::bad_alloc&) {
      status = AllocFailedStatus();
    }
  }
  return status;
}

Status TinyDBM::ProcessFirst(RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  Status status;
  bool found = false;
  const Status walked = impl->WalkStripes(writable, [&](Stripe* stripe, uint64_t begin) {
    for (uint64_t i = begin; i < stripe->num_buckets; i++) {
      if (stripe->buckets[i] != nullptr) {
        stripe->first_hint.store(i, std::memory_order_relaxed);
        try {
          impl->ApplyFull(&stripe->buckets[i], stripe, proc, writable, &status);
        } catch (const std::bad_alloc&) {
          status = AllocFailedStatus();
        }
        found = true;
        return true;
      }
    }
    stripe->first_hint.store(stripe->num_buckets, std::memory_order_relaxed);
    return false;
  });
  if (!walked.IsOK()) {
    return walked;
  }
  if (found) {
    return status;
  }
  status = Status(Status::NOT_FOUND_ERROR);
  CallProcessor(proc, "", nullptr, false, &status);
  status.Set(Status::NOT_FOUND_ERROR);
  return status;
}

Status TinyDBM::ProcessMulti(
    const std::vector<std::pair<std::string_view, RecordProcessor*>>& key_proc_pairs,
    bool writable) {
  Impl* impl = impl_.get();
  std::vector<uint64_t> hashes(key_proc_pairs.size());
  std::vector<size_t> stripe_indices;
  stripe_indices.reserve(key_proc_pairs.size() + 1);
  for (size_t i = 0; i < key_proc_pairs.size(); i++) {
    hashes[i] = HashKey(key_proc_pairs[i].first);
    stripe_indices.push_back(StripeOfHash(hashes[i]));
  }
  // An empty call still checks "open" under a lock.
  stripe_indices.push_back(0);
  std::sort(stripe_indices.begin(), stripe_indices.end());
  stripe_indices.erase(std::unique(stripe_indices.begin(), stripe_indices.end()),
                       stripe_indices.end());
  for (const size_t index : stripe_indices) {
    LockStripe(&impl->stripes[index], writable);
  }
  const ScopeExit unlock([impl, &stripe_indices, writable] {
    for (auto it = stripe_indices.rbegin(); it != stripe_indices.rend(); ++it) {
      UnlockStripe(&impl->stripes[*it], writable);
    }
  });
  Status status = CheckUsable(impl->open, impl->writable, writable);
  if (status.IsOK()) {
    try {
      for (size_t i = 0; i < key_proc_pairs.size(); i++) {
        impl->ProcessLocked(hashes[i], &impl->stripes[StripeOfHash(hashes[i])],
                            key_proc_pairs[i].first, key_proc_pairs[i].second, writable, &status);
      }
    } catch (const std::bad_alloc&) {
      status = AllocFailedStatus();
    }
  }
  return status;
}

Status TinyDBM::ProcessEach(RecordProcessor* proc, bool writable) {
  // One stripe at a time, so other threads keep working on the others. A
  // record never leaves its stripe, so the walk sees each record present
  // throughout exactly once, whatever grows meanwhile.
  Impl* impl = impl_.get();
  Status status;
  const Status walked = impl->WalkStripes(writable, [&](Stripe* stripe, uint64_t begin) {
    try {
      for (uint64_t i = begin; i < stripe->num_buckets; i++) {
        RecordHead** link = &stripe->buckets[i];
        while (*link != nullptr) {
          if (!impl->ApplyFull(link, stripe, proc, writable, &status)) {
            link = &(*link)->next;
          }
        }
      }
    } catch (const std::bad_alloc&) {
      status = AllocFailedStatus();
    }
    return false;
  });
  return walked.IsOK() ? status : walked;
}

Status TinyDBM::Count(int64_t* count) {
  Impl* impl = impl_.get();
  int64_t total = 0;
  for (auto& stripe : impl->stripes) {
    std::shared_lock lock(stripe.mutex);
    if (!impl->open) {
      return ClosedStatus();
    }
    total += stripe.count;
  }
  *count = total;
  return Status();
}

Status TinyDBM::GetFileSize(int64_t* size) {
  Impl* impl = impl_.get();
  std::shared_lock lock(impl->stripes[0].mutex);
  if (!impl->open) {
    return ClosedStatus();
  }
  std::lock_guard file_lock(impl->file_mutex);
  return impl->file.GetFileSize(size);
}

Status TinyDBM::GetFilePath(std::string* path) {
  Impl* impl = impl_.get();
  std::shared_lock lock(impl->stripes[0].mutex);
  if (!impl->open) {
    return ClosedStatus();
  }
  if (!impl->file.HasFile()) {
    return NoFileStatus();
  }
  *path = impl->file.GetPath();
  return Status();
}

Status TinyDBM::GetTimestamp(double* timestamp) {
  Impl* impl = impl_.get();
  std::shared_lock lock(impl->stripes[0].mutex);
  if (!impl->open) {
    return ClosedStatus();
  }
  std::lock_guard file_lock(impl->file_mutex);
  return impl->file.GetTimestamp(timestamp);
}

Status TinyDBM::Clear() {
  Impl* impl = impl_.get();
  impl->LockAll(true);
  const ScopeExit unlock([impl] { impl->UnlockAll(true); });
  const Status status = CheckUsable(impl->open, impl->writable, true);
  if (status.IsOK()) {
    for (auto& stripe : impl->stripes) {
      for (uint64_t i = 0; i < stripe.num_buckets; i++) {
        FreeChain(stripe.buckets[i]);
        stripe.buckets[i] = nullptr;
      }
      stripe.count = 0;
    }
  }
  return status;
}

Status TinyDBM::RebuildAdvanced(const ParamMap& params) {
  Impl* impl = impl_.get();
  impl->LockAll(true);
  const ScopeExit unlock([impl] { impl->UnlockAll(true); });
  Status status = CheckUsable(impl->open, impl->writable, true);
  if (status.IsOK()) {
    status = CheckParams(params, kTuningRules);
  }
  if (!status.IsOK()) {
    return status;
  }
  int64_t total = StrToInt(SearchMap(params, "num_buckets", ""), -1);
  if (total <= 0) {
    int64_t count = 0;
    for (const auto& stripe : impl->stripes) {
      count += stripe.count;
    }
    total = std::max<int64_t>({count * 2 + 1, impl->init_num_buckets, impl->TotalBuckets()});
  }
  // Stripe by stripe: a failed allocation leaves every stripe whole, some
  // with the old bucket count.
  const uint64_t nb = StripeBuckets(total);
  for (auto& stripe : impl->stripes) {
    if (!stripe.Rehash(nb)) {
      return AllocFailedStatus();
    }
  }
  return Status();
}

Status TinyDBM::ShouldBeRebuilt(bool* tobe) {
  Impl* impl = impl_.get();
  int64_t count = 0, buckets = 0;
  for (auto& stripe : impl->stripes) {
    std::shared_lock lock(stripe.mutex);
    if (!impl->open) {
      return ClosedStatus();
    }
    count += stripe.count;
    buckets += stripe.num_buckets;
  }
  *tobe = count > buckets;
  return Status();
}

Status TinyDBM::SynchronizeAdvanced(bool hard, FileProcessor* proc, const ParamMap& params) {
  Impl* impl = impl_.get();
  // Shared locks on every stripe keep writers out while the image is written.
  impl->LockAll(false);
  const ScopeExit unlock([impl] { impl->UnlockAll(false); });
  Status status;
  if (!impl->open) {
    status = ClosedStatus();
  } else {
    status = CheckNoParams(params);
  }
  if (status.IsOK()) {
    std::lock_guard file_lock(impl->file_mutex);
    status = impl->file.Save(impl->MakeDumper(), hard);
    if (status.IsOK() && proc != nullptr && impl->file.HasFile()) {
      proc->Process(impl->file.GetPath());
    }
  }
  return status;
}

Status TinyDBM::CopyFileData(const std::string& dest_path, bool sync_hard) {
  Impl* impl = impl_.get();
  impl->LockAll(false);
  const ScopeExit unlock([impl] { impl->UnlockAll(false); });
  if (!impl->open) {
    return ClosedStatus();
  }
  std::lock_guard file_lock(impl->file_mutex);
  return impl->file.CopyTo(dest_path, impl->MakeDumper(), sync_hard);
}

std::vector<std::pair<std::string, std::string>> TinyDBM::Inspect() {
  Impl* impl = impl_.get();
  int64_t count = 0, buckets = 0;
  bool open = true;
  for (auto& stripe : impl->stripes) {
    std::shared_lock lock(stripe.mutex);
    open = open && impl->open;
    count += stripe.count;
    buckets += stripe.num_buckets;
  }
  std::vector<std::pair<std::string, std::string>> result;
  std::shared_lock lock(impl->stripes[0].mutex);
  result.emplace_back("class", "TinyDBM");
  result.emplace_back("path", impl->file.GetPath());
  result.emplace_back("num_records", std::to_string(open ? count : -1));
  result.emplace_back("healthy", impl->open ? "true" : "false");
  result.emplace_back("num_buckets", std::to_string(open ? buckets : 0));
  return result;
}

bool TinyDBM::IsOpen() const {
  std::shared_lock lock(impl_->stripes[0].mutex);
  return impl_->open;
}

bool TinyDBM::IsWritable() const {
  std::shared_lock lock(impl_->stripes[0].mutex);
  return impl_->open && impl_->writable;
}

bool TinyDBM::IsHealthy() const {
  return IsOpen();
}

bool TinyDBM::IsOrdered() const {
  return false;
}

std::unique_ptr<DBM::Iterator> TinyDBM::MakeIterator() {
  return std::make_unique<TinyIterator>(impl_);
}

std::unique_ptr<DBM> TinyDBM::MakeDBM() const {
  return std::make_unique<TinyDBM>(impl_->init_num_buckets);
}

}  // namespace morvel
