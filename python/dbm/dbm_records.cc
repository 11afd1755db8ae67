// The record methods of DBM: single records, batches, compare-exchange and the
// old-value operations.
//
// Every method has the same shape: the open check (before the argument count),
// the argument count, the conversions with the interpreter lock held (a flag
// whose truth test raises, or a number that does not fit, makes the method
// raise before any engine call), then one engine call through CallEngine, which
// refuses the call while a callable of a callback method runs on the database
// and otherwise releases the interpreter lock in concurrent mode, and last the
// result with the lock held again. The engine sees only views of byte strings
// owned by the method, never a Python object.
//
// The single-record methods (Get, GetStr, Set, Remove, Append, Increment) go
// through CallEngineForRecord instead: in concurrent mode they keep the
// interpreter lock for short records while no other call on the database runs
// released, and Get makes its result straight from the engine's view of the
// value (ValueReader).

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dbm/dbm_common.h"
#include "dbm/dbm_methods.h"

namespace {

using morvel::DBM;
using morvel::Status;

// Owned copies of the SoftString bytes of every positional argument.
std::vector<std::string> ExtractKeys(const ArgList& pyargs) {
  const Py_ssize_t num_args = pyargs.size();
  std::vector<std::string> keys;
  keys.reserve(num_args);
  for (Py_ssize_t i = 0; i < num_args; i++) {
    SoftString key(pyargs[i]);
    if (PyErr_Occurred()) break;
    keys.emplace_back(key.Get());
  }
  return keys;
}

std::vector<std::string_view> ViewsOf(const std::vector<std::string>& strings) {
  return std::vector<std::string_view>(strings.begin(), strings.end());
}

// The records given as keyword arguments, and a map of views into them in the
// same (byte-wise) order.
std::map<std::string_view, std::string_view> ViewsOf(const morvel::ParamMap& records) {
  std::map<std::string_view, std::string_view> views;
  for (const auto& record : records) {
    views.emplace_hint(views.end(), record.first, record.second);
  }
  return views;
}

// A new (status, value) tuple; a null |pyvalue| stands for None. Takes over
// |status|.
PyObject* CreatePyStatusValuePair(Status&& status, PyObject* pyvalue) {
  if (pyvalue == nullptr) pyvalue = Py_NewRef(Py_None);
  return CreatePyPair(CreatePyStatusMove(std::move(status)), pyvalue);
}

PyObject* GetCommon(DBMObject* self, const ArgList& pyargs, bool as_str) {
  CoreHold hold;
  if (!hold.Take(self, pyargs.size() == 0 || IsPlainArg(pyargs[0]))) return nullptr;
  if (!CheckArgCount(pyargs, 1, 2)) return nullptr;
  SoftString key(pyargs[0]);
  if (PyErr_Occurred()) return nullptr;
  PyObject* pystatus = OptionalArg(pyargs, 1);
  if (!CheckStatusReceiver(pystatus)) return nullptr;
  ValueReader reader(as_str);
  // A value as long as the last one read may take long to copy.
  const size_t data_size = hold.core()->long_values ? kLongRecordBytes : key.Get().size();
  morvel::Status status = CallEngineForRecord(
      self, hold, data_size,
      [&](DBM* dbm, bool lock_held) {
        reader.SetLockHeld(lock_held);
        return reader.ReadStatus(dbm->Process(key.Get(), &reader, false));
      },
      [&](DBMCore* core) {
        if (self->concurrent) core->long_values = reader.size() >= kLongRecordBytes;
      });
  if (!SetStatusReceiver(pystatus, status)) return nullptr;
  if (!status.IsOK()) Py_RETURN_NONE;
  return reader.TakeValue();
}

PyObject* GetMultiCommon(DBMObject* self, const ArgList& pyargs, bool as_str) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  const std::vector<std::string> keys = ExtractKeys(pyargs);
  if (PyErr_Occurred()) return nullptr;
  const std::vector<std::string_view> key_views = ViewsOf(keys);
  std::map<std::string, std::string> records;
  // The status is not reported: the dict holds what was found.
  CallEngine(self, core.get(), [&](DBM* dbm) { return dbm->GetMulti(key_views, &records); });
  return CreatePyTextDict(records, as_str);
}

PyObject* PopFirstCommon(DBMObject* self, const ArgList& pyargs, bool as_str) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 0, 1)) return nullptr;
  PyObject* pystatus = OptionalArg(pyargs, 0);
  if (!CheckStatusReceiver(pystatus)) return nullptr;
  std::string key, value;
  Status status = CallEngine(self, core.get(), [&](DBM* dbm) {
    return dbm->PopFirst(&key, &value);
  });
  if (!SetStatusReceiver(pystatus, status)) return nullptr;
  if (!status.IsOK()) Py_RETURN_NONE;
  return CreatePyPair(CreatePyText(key, as_str), CreatePyText(value, as_str));
}

// Reads the old value and sets the new one within one engine Process call.
class SetAndGetProcessor final : public DBM::RecordProcessor {
 public:
  SetAndGetProcessor(Status* status, std::string_view value, bool overwrite,
                     std::string* old_value, bool* hit)
      : status_(status), value_(value), overwrite_(overwrite), old_value_(old_value), hit_(hit) {}

  std::string_view ProcessFull(std::string_view, std::string_view value) override {
    old_value_->assign(value);
    *hit_ = true;
    if (overwrite_) return value_;
    status_->SetRaw(Status::DUPLICATION_ERROR, "", 0);
    return NOOP;
  }

  std::string_view ProcessEmpty(std::string_view) override { return value_; }

 private:
  Status* status_;
  std::string_view value_;
  bool overwrite_;
  std::string* old_value_;
  bool* hit_;
};

// Reads the value and removes the record within one engine Process call.
class RemoveAndGetProcessor final : public DBM::RecordProcessor {
 public:
  RemoveAndGetProcessor(Status* status, std::string* old_value)
      : status_(status), old_value_(old_value) {}

  std::string_view ProcessFull(std::string_view, std::string_view value) override {
    old_value_->assign(value);
    return REMOVE;
  }

  std::string_view ProcessEmpty(std::string_view) override {
    status_->SetRaw(Status::NOT_FOUND_ERROR, "", 0);
    return NOOP;
  }

 private:
  Status* status_;
  std::string* old_value_;
};

}  // namespace

PairItem ReadPairItem(PyObject* pyseq, Py_ssize_t index, PyObject** first, PyObject** second) {
  PyObject* pyitem = PySequence_GetItem(pyseq, index);
  if (pyitem == nullptr) return PairItem::kError;
  if (!PySequence_Check(pyitem)) {
    Py_DECREF(pyitem);
    return PairItem::kSkipped;
  }
  const Py_ssize_t item_size = PySequence_Size(pyitem);
  if (item_size < 2) {
    Py_DECREF(pyitem);
    return item_size < 0 ? PairItem::kError : PairItem::kSkipped;
  }
  *first = PySequence_GetItem(pyitem, 0);
  *second = *first == nullptr ? nullptr : PySequence_GetItem(pyitem, 1);
  Py_DECREF(pyitem);
  if (*second == nullptr) {
    Py_CLEAR(*first);
    return PairItem::kError;
  }
  return PairItem::kPair;
}

SelectorPairs ExtractSelectorPairs(PyObject* pyseq, std::vector<std::string>* storage) {
  // Kinds of selector; bytes selectors point into the storage.
  enum class Kind { kAbsent, kAnyData, kBytes };
  struct Entry {
    size_t key_index;
    Kind kind;
    size_t value_index;
  };
  const Py_ssize_t num_items = PySequence_Size(pyseq);
  if (num_items < 0) return {};
  // The views are taken after the walk, once the storage no longer grows, so
  // that a sequence whose length changes under the walk cannot leave a view
  // into moved memory.
  std::vector<Entry> entries;
  for (Py_ssize_t i = 0; i < num_items; i++) {
    PyObject* pykey = nullptr;
    PyObject* pyvalue = nullptr;
    const PairItem item = ReadPairItem(pyseq, i, &pykey, &pyvalue);
    if (item == PairItem::kError) return {};
    if (item == PairItem::kSkipped) continue;
    Entry entry{storage->size(), Kind::kBytes, 0};
    {
      SoftString key(pykey);
      storage->emplace_back(key.Get());
    }
    if (pyvalue == Py_None) {
      entry.kind = Kind::kAbsent;
    } else if (pyvalue == obj_dbm_any_data) {
      entry.kind = Kind::kAnyData;
    } else {
      SoftString value(pyvalue);
      entry.value_index = storage->size();
      storage->emplace_back(value.Get());
    }
    Py_DECREF(pykey);
    Py_DECREF(pyvalue);
    if (PyErr_Occurred()) return {};
    entries.push_back(entry);
  }
  SelectorPairs pairs;
  pairs.reserve(entries.size());
  for (const Entry& entry : entries) {
    std::string_view selector;
    switch (entry.kind) {
      case Kind::kAbsent:
        break;
      case Kind::kAnyData:
        selector = DBM::ANY_DATA;
        break;
      case Kind::kBytes:
        selector = (*storage)[entry.value_index];
        break;
    }
    pairs.emplace_back((*storage)[entry.key_index], selector);
  }
  return pairs;
}

bool ReadCompareExchangeMultiArgs(const ArgList& pyargs, CompareExchangeMultiArgs* args) {
  PyObject* pyexpected = pyargs[0];
  PyObject* pydesired = pyargs[1];
  if (!PySequence_Check(pyexpected) || !PySequence_Check(pydesired)) {
    ThrowInvalidArguments("parameters must be sequences of strings");
    return false;
  }
  args->expected = ExtractSelectorPairs(pyexpected, &args->expected_storage);
  if (PyErr_Occurred()) return false;
  args->desired = ExtractSelectorPairs(pydesired, &args->desired_storage);
  return !PyErr_Occurred();
}

PyObject* dbm_Get(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return GetCommon(self, pyargs, false);
}

PyObject* dbm_GetStr(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return GetCommon(self, pyargs, true);
}

PyObject* dbm_GetMulti(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return GetMultiCommon(self, pyargs, false);
}

PyObject* dbm_GetMultiStr(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return GetMultiCommon(self, pyargs, true);
}

PyObject* dbm_Set(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  CoreHold hold;
  if (!hold.Take(self, ArePlainArgs(pyargs))) return nullptr;
  if (!CheckArgCount(pyargs, 2, 3)) return nullptr;
  bool overwrite = true;
  if (!ReadOptionalFlag(pyargs, 2, &overwrite)) return nullptr;
  SoftString key(pyargs[0]);
  SoftString value(pyargs[1]);
  if (PyErr_Occurred()) return nullptr;
  const size_t data_size = key.Get().size() + value.Get().size();
  return CreatePyStatusMove(CallEngineForRecord(self, hold, data_size, [&](DBM* dbm) {
    return dbm->Set(key.Get(), value.Get(), overwrite, nullptr);
  }));
}

PyObject* dbm_SetMulti(DBMObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 0, 1)) return nullptr;
  bool overwrite = true;
  if (!ReadOptionalFlag(pyargs, 0, &overwrite)) return nullptr;
  const morvel::ParamMap records = pykwds == nullptr ? morvel::ParamMap() : ExtractMap(pykwds);
  if (PyErr_Occurred()) return nullptr;
  const std::map<std::string_view, std::string_view> record_views = ViewsOf(records);
  return CallEngineForStatus(self, core.get(), [&](DBM* dbm) {
    return dbm->SetMulti(record_views, overwrite);
  });
}

PyObject* dbm_SetAndGet(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 2, 3)) return nullptr;
  bool overwrite = true;
  if (!ReadOptionalFlag(pyargs, 2, &overwrite)) return nullptr;
  SoftString key(pyargs[0]);
  PyObject* pyvalue = pyargs[1];
  SoftString value(pyvalue);
  if (PyErr_Occurred()) return nullptr;
  Status proc_status;
  std::string old_value;
  bool hit = false;
  SetAndGetProcessor proc(&proc_status, value.Get(), overwrite, &old_value, &hit);
  Status status = CallEngine(self, core.get(), [&](DBM* dbm) {
    return dbm->Process(key.Get(), &proc, true);
  });
  if (status.IsOK()) status = std::move(proc_status);
  PyObject* pyold = nullptr;
  if (hit) {
    pyold = CreatePyText(old_value, PyUnicode_Check(pyvalue));
    if (pyold == nullptr) return nullptr;
  }
  return CreatePyStatusValuePair(std::move(status), pyold);
}

PyObject* dbm_Remove(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  CoreHold hold;
  if (!hold.Take(self, ArePlainArgs(pyargs))) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  SoftString key(pyargs[0]);
  if (PyErr_Occurred()) return nullptr;
  return CreatePyStatusMove(CallEngineForRecord(self, hold, key.Get().size(), [&](DBM* dbm) {
    return dbm->Remove(key.Get(), nullptr);
  }));
}

PyObject* dbm_RemoveMulti(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  const std::vector<std::string> keys = ExtractKeys(pyargs);
  if (PyErr_Occurred()) return nullptr;
  const std::vector<std::string_view> key_views = ViewsOf(keys);
  return CallEngineForStatus(self, core.get(), [&](DBM* dbm) {
    return dbm->RemoveMulti(key_views);
  });
}

PyObject* dbm_RemoveAndGet(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  PyObject* pykey = pyargs[0];
  SoftString key(pykey);
  if (PyErr_Occurred()) return nullptr;
  Status proc_status;
  std::string old_value;
  RemoveAndGetProcessor proc(&proc_status, &old_value);
  Status status = CallEngine(self, core.get(), [&](DBM* dbm) {
    return dbm->Process(key.Get(), &proc, true);
  });
  if (status.IsOK()) status = std::move(proc_status);
  PyObject* pyold = nullptr;
  if (status.IsOK()) {
    pyold = CreatePyText(old_value, PyUnicode_Check(pykey));
    if (pyold == nullptr) return nullptr;
  }
  return CreatePyStatusValuePair(std::move(status), pyold);
}

PyObject* dbm_Append(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  CoreHold hold;
  if (!hold.Take(self, ArePlainArgs(pyargs))) return nullptr;
  if (!CheckArgCount(pyargs, 2, 3)) return nullptr;
  SoftString key(pyargs[0]);
  SoftString value(pyargs[1]);
  // An absent delimiter is viewed like None: the empty string.
  PyObject* pydelim = OptionalArg(pyargs, 2);
  SoftString delim(pydelim == nullptr ? Py_None : pydelim);
  if (PyErr_Occurred()) return nullptr;
  // The record grows with each append: its old value is copied too.
  const size_t data_size = hold.core()->long_values
                               ? kLongRecordBytes
                               : key.Get().size() + value.Get().size() + delim.Get().size();
  return CreatePyStatusMove(CallEngineForRecord(self, hold, data_size, [&](DBM* dbm) {
    return dbm->Append(key.Get(), value.Get(), delim.Get());
  }));
}

PyObject* dbm_AppendMulti(DBMObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 0, 1)) return nullptr;
  PyObject* pydelim = OptionalArg(pyargs, 0);
  SoftString delim(pydelim == nullptr ? Py_None : pydelim);
  const morvel::ParamMap records = pykwds == nullptr ? morvel::ParamMap() : ExtractMap(pykwds);
  if (PyErr_Occurred()) return nullptr;
  const std::map<std::string_view, std::string_view> record_views = ViewsOf(records);
  return CallEngineForStatus(self, core.get(), [&](DBM* dbm) {
    return dbm->AppendMulti(record_views, delim.Get());
  });
}

PyObject* dbm_CompareExchange(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 3, 3)) return nullptr;
  SoftString key(pyargs[0]);
  std::unique_ptr<SoftString> expected_holder, desired_holder;
  const std::string_view expected = SelectorView(pyargs[1], &expected_holder);
  const std::string_view desired = SelectorView(pyargs[2], &desired_holder);
  if (PyErr_Occurred()) return nullptr;
  return CallEngineForStatus(self, core.get(), [&](DBM* dbm) {
    return dbm->CompareExchange(key.Get(), expected, desired, nullptr, nullptr);
  });
}

PyObject* dbm_CompareExchangeAndGet(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 3, 3)) return nullptr;
  SoftString key(pyargs[0]);
  PyObject* pyexpected = pyargs[1];
  PyObject* pydesired = pyargs[2];
  std::unique_ptr<SoftString> expected_holder, desired_holder;
  const std::string_view expected = SelectorView(pyexpected, &expected_holder);
  const std::string_view desired = SelectorView(pydesired, &desired_holder);
  if (PyErr_Occurred()) return nullptr;
  std::string actual;
  bool found = false;
  Status status = CallEngine(self, core.get(), [&](DBM* dbm) {
    return dbm->CompareExchange(key.Get(), expected, desired, &actual, &found);
  });
  PyObject* pyactual = nullptr;
  if (found) {
    const bool as_str = PyUnicode_Check(pyexpected) || PyUnicode_Check(pydesired);
    pyactual = CreatePyText(actual, as_str);
    if (pyactual == nullptr) return nullptr;
  }
  return CreatePyStatusValuePair(std::move(status), pyactual);
}

PyObject* dbm_Increment(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  CoreHold hold;
  if (!hold.Take(self, ArePlainArgs(pyargs))) return nullptr;
  if (!CheckArgCount(pyargs, 1, 4)) return nullptr;
  SoftString key(pyargs[0]);
  PyObject* pyincrement = OptionalArg(pyargs, 1);
  const int64_t increment = pyincrement == nullptr ? 1 : PyObjToInt(pyincrement);
  if (PyErr_Occurred()) return nullptr;
  PyObject* pyinitial = OptionalArg(pyargs, 2);
  const int64_t initial = pyinitial == nullptr ? 0 : PyObjToInt(pyinitial);
  if (PyErr_Occurred()) return nullptr;
  PyObject* pystatus = OptionalArg(pyargs, 3);
  if (!CheckStatusReceiver(pystatus)) return nullptr;
  int64_t current = 0;
  Status status = CallEngineForRecord(self, hold, key.Get().size(), [&](DBM* dbm) {
    return dbm->Increment(key.Get(), increment, &current, initial);
  });
  if (!SetStatusReceiver(pystatus, status)) return nullptr;
  if (!status.IsOK()) Py_RETURN_NONE;
  return PyLong_FromLongLong(current);
}

PyObject* dbm_CompareExchangeMulti(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 2, 2)) return nullptr;
  CompareExchangeMultiArgs args;
  if (!ReadCompareExchangeMultiArgs(pyargs, &args)) return nullptr;
  return CallEngineForStatus(self, core.get(), [&](DBM* dbm) {
    return dbm->CompareExchangeMulti(args.expected, args.desired);
  });
}

PyObject* dbm_Rekey(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 2, 4)) return nullptr;
  bool overwrite = true;
  if (!ReadOptionalFlag(pyargs, 2, &overwrite)) return nullptr;
  bool copying = false;
  if (!ReadOptionalFlag(pyargs, 3, &copying)) return nullptr;
  SoftString old_key(pyargs[0]);
  SoftString new_key(pyargs[1]);
  if (PyErr_Occurred()) return nullptr;
  return CallEngineForStatus(self, core.get(), [&](DBM* dbm) {
    return dbm->Rekey(old_key.Get(), new_key.Get(), overwrite, copying, nullptr);
  });
}

PyObject* dbm_PopFirst(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return PopFirstCommon(self, pyargs, false);
}

PyObject* dbm_PopFirstStr(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return PopFirstCommon(self, pyargs, true);
}

PyObject* dbm_PushLast(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 2)) return nullptr;
  PyObject* pywtime = OptionalArg(pyargs, 1);
  const double wtime = pywtime == nullptr ? -1.0 : PyObjToDouble(pywtime);
  SoftString value(pyargs[0]);
  if (PyErr_Occurred()) return nullptr;
  return CallEngineForStatus(self, core.get(), [&](DBM* dbm) {
    return dbm->PushLast(value.Get(), wtime, nullptr);
  });
}
