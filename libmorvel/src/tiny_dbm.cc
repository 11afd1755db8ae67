// TinyDBM: an in-memory hash table with striped locks.
//
// Records are single heap blocks (a header, the key bytes, the value bytes)
// chained per bucket. The buckets are split into kNumStripes contiguous ranges,
// each guarded by one reader-writer lock (Stripe::mutex) that also guards the
// stripe's record count. A record operation locks the one stripe of its bucket,
// so operations on different stripes run in parallel.
//
// A record's bucket is the high part of its hash times the bucket count, so
// bucket order is hash order under any bucket count, and a bucket of one layout
// covers a range of hashes that lies in whole buckets of a doubled layout.
// The table doubles when an insert leaves the inserting stripe with more
// records than buckets (and the whole table over half full): the writer drops
// its stripe, takes them all and moves every record, so the longest pause of a
// writer is one rehash of the whole table, amortised over the inserts since the
// last doubling.
//
// Whole-database operations (Open, Close, Clear, Rebuild, growth) take every
// stripe exclusively, in ascending index order; ProcessMulti takes the stripes of its
// keys in the same ascending order, so no two calls can deadlock. The layout of
// the table (bucket count, buckets per stripe) changes only under all the
// stripes; each change bumps |generation|, and a caller that computed its stripe
// before locking checks the generation after locking and retries if it moved.
// |open| is written only under all the stripes, so any one stripe is enough to
// read it.
//
// Iterators read whole buckets ahead, a batch of records under one hold of a
// stripe lock, and remember their place by the keys of the batch: reads and
// writes at the cursor find the key again under its stripe lock, so they stay
// valid while other threads write. The next batch starts at the first hash not
// yet covered, which stays a bucket boundary across growth, so a walk sees
// every record present throughout exactly once even while the table grows.
// Step hands out records from the batch as they were when it was read.

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
// Enough stripes that two threads rarely meet on one, few enough that holding
// them all (Close, Clear, Rebuild) stays within what lock checkers track.
constexpr size_t kNumStripes = 48;
constexpr uint64_t kBucketSeed = 0x6d6f7276656cULL;
// How many buckets ahead of the one being moved a rehash fetches the records.
constexpr uint64_t kRehashPrefetchAhead = 8;

uint64_t HashKey(std::string_view key) {
  return HashMurmur(key.data(), key.size(), kBucketSeed);
}

// The bucket of |hash| among |nb|: monotone in the hash, and nested across
// doubling (bucket b of nb is buckets 2b and 2b+1 of 2nb).
uint64_t BucketOfHash(uint64_t hash, uint64_t nb) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(hash) * nb) >> 64);
}

// The smallest hash whose bucket among |nb| is |bucket| or later (|bucket| < nb).
uint64_t BucketStartHash(uint64_t bucket, uint64_t nb) {
  return static_cast<uint64_t>(((static_cast<unsigned __int128>(bucket) << 64) + nb - 1) / nb);
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
RecordHead** AllocateBuckets(int64_t num_buckets) {
  if (num_buckets <= 0 || static_cast<uint64_t>(num_buckets) > SIZE_MAX / sizeof(RecordHead*)) {
    return nullptr;
  }
  return static_cast<RecordHead**>(std::calloc(num_buckets, sizeof(RecordHead*)));
}

struct alignas(64) Stripe {
  std::shared_mutex mutex;
  int64_t count = 0;
  // A lower bound of the first non-empty bucket of the stripe, so that finding
  // the first record does not rescan empty buckets. Lowered by inserts (under
  // the exclusive lock); raised by scans, which run with no writer in the
  // stripe, so any scanner's value is right. Atomic since shared holders scan.
  std::atomic<uint64_t> first_hint{0};
  // The count over which an insert asks the table to grow: the stripe's bucket
  // count under the current layout, raised when a request was turned down.
  int64_t grow_at = 1;

  void NoteInsert(uint64_t bucket) {
    if (bucket < first_hint.load(std::memory_order_relaxed)) {
      first_hint.store(bucket, std::memory_order_relaxed);
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
  std::atomic<uint64_t> generation{0};
  std::atomic<uint64_t> num_buckets{1};
  std::atomic<uint64_t> buckets_per_stripe{1};
  RecordHead** buckets = nullptr;
  bool open = false;
  bool writable = false;
  int64_t init_num_buckets = kDefaultNumBuckets;
  // Serializes the users of |file| that hold the stripes only shared.
  std::mutex file_mutex;
  MemoryDBMFile file;

  ~Impl() { FreeTable(); }

  uint64_t BucketOf(std::string_view key, uint64_t nb) const {
    return BucketOfHash(HashKey(key), nb);
  }

  size_t StripeOf(uint64_t bucket, uint64_t bps) const {
    return std::min<uint64_t>(bucket / bps, kNumStripes - 1);
  }

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

  // Locks the stripe of |key|'s bucket and gives the bucket. Retries when the
  // table layout changed while waiting.
  Stripe* LockKey(std::string_view key, bool exclusive, uint64_t* bucket) {
    while (true) {
      const uint64_t gen = generation.load(std::memory_order_acquire);
      const uint64_t nb = num_buckets.load(std::memory_order_acquire);
      const uint64_t bps = buckets_per_stripe.load(std::memory_order_acquire);
      *bucket = BucketOf(key, nb);
      Stripe* stripe = &stripes[StripeOf(*bucket, bps)];
      LockStripe(stripe, exclusive);
      if (generation.load(std::memory_order_acquire) == gen) {
        return stripe;
      }
      UnlockStripe(stripe, exclusive);
    }
  }

  // The range of buckets of stripe |index| under the current layout.
  void StripeRange(size_t index, uint64_t* begin, uint64_t* end) const {
    const uint64_t nb = num_buckets.load(std::memory_order_relaxed);
    const uint64_t bps = buckets_per_stripe.load(std::memory_order_relaxed);
    *begin = std::min<uint64_t>(index * bps, nb);
    *end = index == kNumStripes - 1 ? nb : std::min<uint64_t>((index + 1) * bps, nb);
  }

  void SetLayout(RecordHead** new_buckets, uint64_t nb) {
    for (auto& stripe : stripes) {
      stripe.first_hint.store(0, std::memory_order_relaxed);
    }
    buckets = new_buckets;
    num_buckets.store(nb, std::memory_order_release);
    buckets_per_stripe.store((nb + kNumStripes - 1) / kNumStripes, std::memory_order_release);
    for (size_t index = 0; index < kNumStripes; index++) {
      uint64_t begin = 0, end = 0;
      StripeRange(index, &begin, &end);
      stripes[index].grow_at = std::max<int64_t>(end - begin, 1);
    }
    generation.fetch_add(1, std::memory_order_acq_rel);
  }

  // Moves every record into a table of |new_nb| buckets (all stripes held
  // exclusively). False, with nothing changed, when the table cannot be had.
  bool Rehash(uint64_t new_nb) {
    RecordHead** new_buckets = AllocateBuckets(new_nb);
    if (new_buckets == nullptr) {
      return false;
    }
    const uint64_t old_nb = num_buckets.load(std::memory_order_relaxed);
    RecordHead** old_buckets = buckets;
    for (auto& stripe : stripes) {
      stripe.count = 0;
    }
    const uint64_t new_bps = (new_nb + kNumStripes - 1) / kNumStripes;
    for (uint64_t i = 0; i < old_nb; i++) {
      // The bucket array is read in order and, as bucket order is hash order,
      // the new one written nearly in order; only the records are scattered,
      // so fetching them some buckets ahead lets their misses overlap.
      if (i + kRehashPrefetchAhead < old_nb && old_buckets[i + kRehashPrefetchAhead] != nullptr) {
        __builtin_prefetch(old_buckets[i + kRehashPrefetchAhead]);
      }
      RecordHead* rec = old_buckets[i];
      while (rec != nullptr) {
        RecordHead* next = rec->next;
        const uint64_t bucket = BucketOf(rec->Key(), new_nb);
        rec->next = new_buckets[bucket];
        new_buckets[bucket] = rec;
        stripes[StripeOf(bucket, new_bps)].count++;
        rec = next;
      }
    }
    std::free(old_buckets);
    SetLayout(new_buckets, new_nb);
    return true;
  }

  // Doubles the table when a stripe is over its share and the whole table is
  // over half full (all stripes held exclusively). A request turned down (by
  // skewed keys or a failed allocation) raises the stripe's threshold, so the
  // next request from it comes only after as many inserts again.
  void GrowLocked() {
    const uint64_t nb = num_buckets.load(std::memory_order_relaxed);
    int64_t total = 0;
    bool over = false;
    for (const auto& stripe : stripes) {
      total += stripe.count;
      over = over || stripe.count > stripe.grow_at;
    }
    if (!over) {
      return;
    }
    if (static_cast<uint64_t>(total) > nb / 2 && nb <= (uint64_t{1} << 40) && Rehash(nb * 2)) {
      return;
    }
    for (auto& stripe : stripes) {
      if (stripe.count > stripe.grow_at) {
        stripe.grow_at = stripe.count * 2;
      }
    }
  }

  // Takes every stripe and grows the table if it is still due.
  void Grow() {
    LockAll(true);
    const ScopeExit unlock([this] { UnlockAll(true); });
    if (open) {
      GrowLocked();
    }
  }

  void FreeTable() {
    if (buckets == nullptr) {
      return;
    }
    const uint64_t nb = num_buckets.load(std::memory_order_relaxed);
    for (uint64_t i = 0; i < nb; i++) {
      FreeChain(buckets[i]);
    }
    std::free(buckets);
    buckets = nullptr;
  }

  // Drops every record and leaves an empty one-bucket layout (all stripes held
  // exclusively).
  void ResetTable() {
    FreeTable();
    SetLayout(nullptr, 1);
    for (auto& stripe : stripes) {
      stripe.count = 0;
    }
  }

  // Locks the stripe of the bucket of |hash| under a layout that holds while
  // it is locked, and gives that bucket, the range of the stripe's buckets
  // and the bucket count.
  Stripe* LockHash(uint64_t hash, bool exclusive, uint64_t* bucket, uint64_t* stripe_begin,
                   uint64_t* end, uint64_t* nb) {
    while (true) {
      const uint64_t gen = generation.load(std::memory_order_acquire);
      *nb = num_buckets.load(std::memory_order_acquire);
      const uint64_t bps = buckets_per_stripe.load(std::memory_order_acquire);
      *bucket = BucketOfHash(hash, *nb);
      const size_t index = StripeOf(*bucket, bps);
      Stripe* stripe = &stripes[index];
      LockStripe(stripe, exclusive);
      if (generation.load(std::memory_order_acquire) == gen) {
        StripeRange(index, stripe_begin, end);
        return stripe;
      }
      UnlockStripe(stripe, exclusive);
    }
  }

  // Walks the table in hash order, one stripe at a time under its lock, so
  // that growth between two stripes neither repeats nor skips a record: calls
  // |visit(stripe, begin, end, skip_below, whole)| with the buckets [begin,
  // end) to visit, where the records of bucket |begin| whose hash is below
  // |skip_below| were visited already and |whole| says that the stripe has no
  // record before |begin|, until it returns true. Fails as CheckUsable says,
  // on the first stripe that sees it.
  template <typename Visit>
  Status WalkStripes(bool writer, Visit visit) {
    uint64_t from = 0;
    while (true) {
      uint64_t begin = 0, stripe_begin = 0, end = 0, nb = 0;
      Stripe* stripe = LockHash(from, writer, &begin, &stripe_begin, &end, &nb);
      const ScopeExit unlock([stripe, writer] { UnlockStripe(stripe, writer); });
      const Status status = CheckUsable(open, writable, writer);
      if (!status.IsOK()) {
        return status;
      }
      uint64_t skip_below = from > BucketStartHash(begin, nb) ? from : 0;
      const uint64_t hint = stripe->first_hint.load(std::memory_order_relaxed);
      const bool whole = begin <= std::max(stripe_begin, hint);
      if (hint > begin) {
        begin = std::min(hint, end);
        skip_below = 0;
      }
      if (visit(stripe, begin, end, skip_below, whole)) {
        return status;
      }
      if (end >= nb) {
        return Status();
      }
      from = BucketStartHash(end, nb);
    }
  }

  // Whether a walk resuming at hash |skip_below| in bucket |begin| has seen
  // |rec| of bucket |bucket| already.
  static bool SeenBefore(RecordHead* rec, uint64_t bucket, uint64_t begin, uint64_t skip_below) {
    return skip_below != 0 && bucket == begin && HashKey(rec->Key()) < skip_below;
  }

  // Stores |value| for |key| (all stripes held exclusively, as while loading),
  // growing the table as it fills.
  void InsertLocked(std::string_view key, std::string_view value) {
    const uint64_t bucket = BucketOf(key, num_buckets.load(std::memory_order_relaxed));
    RecordHead** link = &buckets[bucket];
    while (*link != nullptr) {
      if ((*link)->Key() == key) {
        ReplaceValue(link, value);
        return;
      }
      link = &(*link)->next;
    }
    buckets[bucket] = NewRecord(key, value, buckets[bucket]);
    Stripe* stripe = &stripes[StripeOf(bucket, buckets_per_stripe.load(std::memory_order_relaxed))];
    stripe->count++;
    stripe->NoteInsert(bucket);
    if (stripe->count > stripe->grow_at) {
      GrowLocked();
    }
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

  // Processes |key| in |bucket|, whose stripe is held. Returns true when an
  // insert left the stripe over its share, so that the caller, once it has
  // released the stripe, calls Grow.
  bool ProcessLocked(uint64_t bucket, Stripe* stripe, std::string_view key,
                     RecordProcessor* proc, bool writable, Status* status) {
    RecordHead** link = &buckets[bucket];
    while (*link != nullptr) {
      if ((*link)->Key() == key) {
        ApplyFull(link, stripe, proc, writable, status);
        return false;
      }
      link = &(*link)->next;
    }
    const std::string_view answer = CallProcessor(proc, key, nullptr, writable, status);
    if (answer.data() == RecordProcessor::NOOP.data() ||
        answer.data() == RecordProcessor::REMOVE.data()) {
      return false;
    }
    buckets[bucket] = NewRecord(key, answer, buckets[bucket]);
    stripe->count++;
    stripe->NoteInsert(bucket);
    return stripe->count > stripe->grow_at;
  }

  Status DumpLocked(const MemoryDBMFile::RecordWriter& write) {
    const uint64_t nb = num_buckets.load(std::memory_order_relaxed);
    for (uint64_t i = 0; i < nb; i++) {
      for (RecordHead* rec = buckets[i]; rec != nullptr; rec = rec->next) {
        const Status status = write(rec->Key(), rec->Value());
        if (!status.IsOK()) {
          return status;
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

// How many buckets ahead of the one being read a walk prefetches the first record.
constexpr uint64_t kPrefetchAhead = 16;

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

  std::shared_ptr<TinyDBM::Impl> impl_;
  RecordBatch batch_;
  // Whether records after the batch remain to be read, from the hash
  // |next_hash_| on; a batch always ends with a whole bucket, so that hash is
  // a bucket boundary of this layout and of every grown one.
  bool more_ = false;
  uint64_t next_hash_ = 0;
  // The layout generation of the last Fill.
  uint64_t generation_ = 0;
};

Status TinyIterator::Fill(uint64_t from) {
  batch_.Clear();
  more_ = false;
  TinyDBM::Impl* impl = impl_.get();
  while (true) {
    uint64_t begin = 0, stripe_begin = 0, end = 0, nb = 0;
    Stripe* stripe = impl->LockHash(from, false, &begin, &stripe_begin, &end, &nb);
    const ScopeExit unlock([stripe] { UnlockStripe(stripe, false); });
    if (!impl->open) {
      return ClosedStatus();
    }
    generation_ = impl->generation.load(std::memory_order_relaxed);
    uint64_t skip_below = from > BucketStartHash(begin, nb) ? from : 0;
    const uint64_t hint = stripe->first_hint.load(std::memory_order_relaxed);
    if (hint > begin) {
      begin = std::min(hint, end);
      skip_below = 0;
    }
    try {
      for (uint64_t i = begin; i < end; i++) {
        // Records lie on the heap in the order they were made, not in bucket
        // order: fetching one some buckets ahead lets the cache misses overlap.
        if (i + kPrefetchAhead < end && impl->buckets[i + kPrefetchAhead] != nullptr) {
          __builtin_prefetch(impl->buckets[i + kPrefetchAhead]);
        }
        for (RecordHead* rec = impl->buckets[i]; rec != nullptr; rec = rec->next) {
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
    if (end >= nb) {
      return Status();
    }
    from = BucketStartHash(end, nb);
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
  TinyDBM::Impl* impl = impl_.get();
  while (true) {
    const uint64_t gen = impl->generation.load(std::memory_order_acquire);
    const uint64_t nb = impl->num_buckets.load(std::memory_order_acquire);
    const uint64_t bucket = impl->BucketOf(key, nb);
    const Status status = Fill(BucketStartHash(bucket, nb));
    if (!status.IsOK()) {
      return status;
    }
    if (generation_ != gen && !batch_.empty()) {
      continue;
    }
    for (size_t i = 0; i < batch_.size() && batch_.Aux(i) == bucket; i++) {
      if (batch_.Key(i) == key) {
        batch_.set_pos(i);
        return Status();
      }
    }
    batch_.Clear();
    more_ = false;
    return Status(Status::NOT_FOUND_ERROR);
  }
}

Status TinyIterator::Next() {
  Status status = CheckOpen();
  if (status.IsOK()) {
    status = EnsureRecord();
  }
  if (!status.IsOK()) {
    return status;
  }
  if (!batch_.AtRecord()) {
    return Status(Status::NOT_FOUND_ERROR);
  }
  batch_.Advance();
  return EnsureRecord();
}

Status TinyIterator::Step(std::string* key, std::string* value) {
  Status status = CheckOpen();
  if (status.IsOK()) {
    status = EnsureRecord();
  }
  if (!status.IsOK()) {
    return status;
  }
  if (!batch_.AtRecord()) {
    return Status(Status::NOT_FOUND_ERROR);
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
    uint64_t bucket = 0;
    Stripe* stripe = impl->LockKey(key, writable, &bucket);
    status = CheckUsable(impl->open, impl->writable, writable);
    if (!status.IsOK()) {
      UnlockStripe(stripe, writable);
      return status;
    }
    RecordHead** link = &impl->buckets[bucket];
    while (*link != nullptr && (*link)->Key() != key) {
      link = &(*link)->next;
    }
    if (*link == nullptr) {
      // Removed meanwhile: go on with the next one.
      UnlockStripe(stripe, writable);
      batch_.Advance();
      continue;
    }
    try {
      if (impl->ApplyFull(link, stripe, proc, writable, &status)) {
        batch_.Advance();
      } else {
        // What a later Step hands out is the record as it is now.
        batch_.SetValue(pos, (*link)->Value());
      }
    } catch (...) {
      UnlockStripe(stripe, writable);
      throw;
    }
    UnlockStripe(stripe, writable);
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
  if (impl->open) {
    impl->UnlockAll(true);
    return Status(Status::PRECONDITION_ERROR, "opened database");
  }
  Status checked = CheckParams(params, kTuningRules);
  if (!checked.IsOK()) {
    impl->UnlockAll(true);
    return checked;
  }
  int64_t nb = StrToInt(SearchMap(params, "num_buckets", ""), impl->init_num_buckets);
  if (nb <= 0) {
    nb = impl->init_num_buckets;
  }
  Status status;
  try {
    RecordHead** buckets = AllocateBuckets(nb);
    if (buckets == nullptr) {
      throw std::bad_alloc();
    }
    impl->SetLayout(buckets, nb);
    // Loading runs with |open| still false; growth checks nothing else.
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
  impl->UnlockAll(true);
  return status;
}

Status TinyDBM::Close() {
  Impl* impl = impl_.get();
  impl->LockAll(true);
  if (!impl->open) {
    impl->UnlockAll(true);
    return ClosedStatus();
  }
  const Status status = impl->file.Close(impl->MakeDumper());
  impl->ResetTable();
  impl->open = false;
  impl->UnlockAll(true);
  return status;
}

Status TinyDBM::Process(std::string_view key, RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  Status status;
  bool grow = false;
  {
    uint64_t bucket = 0;
    Stripe* stripe = impl->LockKey(key, writable, &bucket);
    const ScopeExit unlock([stripe, writable] { UnlockStripe(stripe, writable); });
    status = CheckUsable(impl->open, impl->writable, writable);
    if (status.IsOK()) {
      try {
        grow = impl->ProcessLocked(bucket, stripe, key, proc, writable, &status);
      } catch (const std::bad_alloc&) {
        status = AllocFailedStatus();
      }
    }
  }
  if (grow) {
    impl->Grow();
  }
  return status;
}

Status TinyDBM::ProcessFirst(RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  Status status;
  bool found = false;
  const Status walked = impl->WalkStripes(writable, [&](Stripe* stripe, uint64_t begin,
                                                        uint64_t end, uint64_t skip_below,
                                                        bool whole) {
    for (uint64_t i = begin; i < end; i++) {
      RecordHead** link = &impl->buckets[i];
      while (*link != nullptr && Impl::SeenBefore(*link, i, begin, skip_below)) {
        link = &(*link)->next;
      }
      if (*link != nullptr) {
        if (whole && skip_below == 0) {
          stripe->first_hint.store(i, std::memory_order_relaxed);
        }
        try {
          impl->ApplyFull(link, stripe, proc, writable, &status);
        } catch (const std::bad_alloc&) {
          status = AllocFailedStatus();
        }
        found = true;
        return true;
      }
    }
    if (whole && skip_below == 0) {
      stripe->first_hint.store(std::max(begin, end), std::memory_order_relaxed);
    }
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
  std::vector<uint64_t> buckets(key_proc_pairs.size());
  std::vector<size_t> stripe_indices;
  stripe_indices.reserve(key_proc_pairs.size());
  while (true) {
    const uint64_t gen = impl->generation.load(std::memory_order_acquire);
    const uint64_t nb = impl->num_buckets.load(std::memory_order_acquire);
    const uint64_t bps = impl->buckets_per_stripe.load(std::memory_order_acquire);
    stripe_indices.clear();
    for (size_t i = 0; i < key_proc_pairs.size(); i++) {
      buckets[i] = impl->BucketOf(key_proc_pairs[i].first, nb);
      stripe_indices.push_back(impl->StripeOf(buckets[i], bps));
    }
    // An empty call still checks "open" under a lock.
    stripe_indices.push_back(0);
    std::sort(stripe_indices.begin(), stripe_indices.end());
    stripe_indices.erase(std::unique(stripe_indices.begin(), stripe_indices.end()),
                         stripe_indices.end());
    for (const size_t index : stripe_indices) {
      LockStripe(&impl->stripes[index], writable);
    }
    if (impl->generation.load(std::memory_order_acquire) == gen) {
      break;
    }
    for (auto it = stripe_indices.rbegin(); it != stripe_indices.rend(); ++it) {
      UnlockStripe(&impl->stripes[*it], writable);
    }
  }
  Status status;
  bool grow = false;
  {
    const ScopeExit unlock([impl, &stripe_indices, writable] {
      for (auto it = stripe_indices.rbegin(); it != stripe_indices.rend(); ++it) {
        UnlockStripe(&impl->stripes[*it], writable);
      }
    });
    status = CheckUsable(impl->open, impl->writable, writable);
    if (status.IsOK()) {
      const uint64_t bps = impl->buckets_per_stripe.load(std::memory_order_relaxed);
      try {
        for (size_t i = 0; i < key_proc_pairs.size(); i++) {
          Stripe* stripe = &impl->stripes[impl->StripeOf(buckets[i], bps)];
          if (impl->ProcessLocked(buckets[i], stripe, key_proc_pairs[i].first,
                                  key_proc_pairs[i].second, writable, &status)) {
            grow = true;
          }
        }
      } catch (const std::bad_alloc&) {
        status = AllocFailedStatus();
      }
    }
  }
  if (grow) {
    impl->Grow();
  }
  return status;
}

Status TinyDBM::ProcessEach(RecordProcessor* proc, bool writable) {
  // One stripe at a time, so other threads keep working on the others. The
  // walk goes in hash order, so a growth or a Rebuild between two stripes
  // makes it neither repeat nor skip a record present throughout.
  Impl* impl = impl_.get();
  Status status;
  const Status walked = impl->WalkStripes(writable, [&](Stripe* stripe, uint64_t begin,
                                                        uint64_t end, uint64_t skip_below,
                                                        bool) {
    try {
      for (uint64_t i = begin; i < end; i++) {
        RecordHead** link = &impl->buckets[i];
        while (*link != nullptr) {
          if (Impl::SeenBefore(*link, i, begin, skip_below) ||
              !impl->ApplyFull(link, stripe, proc, writable, &status)) {
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
  Status status = CheckUsable(impl->open, impl->writable, true);
  if (status.IsOK()) {
    const uint64_t nb = impl->num_buckets.load(std::memory_order_relaxed);
    for (uint64_t i = 0; i < nb; i++) {
      FreeChain(impl->buckets[i]);
      impl->buckets[i] = nullptr;
    }
    for (auto& stripe : impl->stripes) {
      stripe.count = 0;
    }
  }
  impl->UnlockAll(true);
  return status;
}

Status TinyDBM::RebuildAdvanced(const ParamMap& params) {
  Impl* impl = impl_.get();
  impl->LockAll(true);
  Status status = CheckUsable(impl->open, impl->writable, true);
  if (status.IsOK()) {
    status = CheckParams(params, kTuningRules);
  }
  if (status.IsOK()) {
    const uint64_t old_nb = impl->num_buckets.load(std::memory_order_relaxed);
    int64_t new_nb = StrToInt(SearchMap(params, "num_buckets", ""), -1);
    if (new_nb <= 0) {
      int64_t count = 0;
      for (const auto& stripe : impl->stripes) {
        count += stripe.count;
      }
      new_nb = std::max<int64_t>({count * 2 + 1, impl->init_num_buckets,
                                  static_cast<int64_t>(old_nb)});
    }
    if (!impl->Rehash(new_nb)) {
      status = AllocFailedStatus();
    }
  }
  impl->UnlockAll(true);
  return status;
}

Status TinyDBM::ShouldBeRebuilt(bool* tobe) {
  int64_t count = 0;
  const Status status = Count(&count);
  if (!status.IsOK()) {
    return status;
  }
  *tobe = static_cast<uint64_t>(count) > impl_->num_buckets.load(std::memory_order_relaxed);
  return Status();
}

Status TinyDBM::SynchronizeAdvanced(bool hard, FileProcessor* proc, const ParamMap& params) {
  Impl* impl = impl_.get();
  // Shared locks on every stripe keep writers out while the image is written.
  impl->LockAll(false);
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
  impl->UnlockAll(false);
  return status;
}

Status TinyDBM::CopyFileData(const std::string& dest_path, bool sync_hard) {
  Impl* impl = impl_.get();
  impl->LockAll(false);
  Status status;
  if (!impl->open) {
    status = ClosedStatus();
  } else {
    std::lock_guard file_lock(impl->file_mutex);
    status = impl->file.CopyTo(dest_path, impl->MakeDumper(), sync_hard);
  }
  impl->UnlockAll(false);
  return status;
}

std::vector<std::pair<std::string, std::string>> TinyDBM::Inspect() {
  std::vector<std::pair<std::string, std::string>> result;
  int64_t count = -1;
  Count(&count);
  Impl* impl = impl_.get();
  std::shared_lock lock(impl->stripes[0].mutex);
  result.emplace_back("class", "TinyDBM");
  result.emplace_back("path", impl->file.GetPath());
  result.emplace_back("num_records", std::to_string(count));
  result.emplace_back("healthy", impl->open ? "true" : "false");
  result.emplace_back("num_buckets",
                      std::to_string(impl->open ? impl->num_buckets.load() : 0));
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
