// The one-copy read of a record's value.

#include "dbm/value_reader.h"

#include <string>

#include "module/convert.h"

namespace {

// The buffer of the calling thread for values read with the interpreter lock
// released, reused across calls so that a read allocates nothing. A buffer
// grown past kMaxKeptBuffer is given back after use.
constexpr size_t kMaxKeptBuffer = 1 << 20;

std::string& ThreadBuffer() {
  static thread_local std::string buffer;
  return buffer;
}

}  // namespace

// Runs inside the engine call, under the record's lock; with the interpreter
// lock released it touches no Python object.
std::string_view ValueReader::ProcessFull(std::string_view, std::string_view value) {
  found_ = true;
  size_ = value.size();
  if (lock_held_) {
    // A processor may run more than once for one call; the last run counts.
    Py_XDECREF(pyvalue_);
    pyvalue_ = as_str_ ? CreatePyString(value) : CreatePyBytes(value);
  } else {
    ThreadBuffer().assign(value);
  }
  return NOOP;
}

morvel::Status ValueReader::ReadStatus(morvel::Status&& call_status) const {
  if (call_status.IsOK() && !found_) return morvel::Status(morvel::Status::NOT_FOUND_ERROR);
  return std::move(call_status);
}

PyObject* ValueReader::TakeValue() {
  if (!lock_held_) {
    std::string& buffer = ThreadBuffer();
    pyvalue_ = as_str_ ? CreatePyString(buffer) : CreatePyBytes(buffer);
    if (buffer.capacity() > kMaxKeptBuffer) {
      std::string().swap(buffer);
    }
  }
  PyObject* pyvalue = pyvalue_;
  pyvalue_ = nullptr;
  return pyvalue;
}
