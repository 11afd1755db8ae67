// Conversions between Python objects and the engine's byte views and numbers.
// Every function here needs the interpreter lock.
//
// A conversion called while a Python error is pending runs no Python code and
// gives its fallback: a method converts all its arguments, then checks
// PyErr_Occurred() once before any engine call. Python code that a conversion
// runs and that raises an ordinary exception gives the fallback with the error
// cleared; KeyboardInterrupt, SystemExit and MemoryError stay pending.

#ifndef MORVEL_PYTHON_MODULE_CONVERT_H_
#define MORVEL_PYTHON_MODULE_CONVERT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

// A read-only byte view of any Python object: str as UTF-8, bytes and bytearray
// as they are (a bytearray through a buffer export held for the life of the
// view, so it cannot be resized under an engine call), None as "", anything
// else by its str() text ("(unknown)" when str() fails). A str with lone
// surrogates is encoded as file names are (surrogateescape, else
// surrogatepass), so distinct strings give distinct bytes.
class SoftString final {
 public:
  explicit SoftString(PyObject* obj);
  SoftString(const SoftString&) = delete;
  SoftString& operator=(const SoftString&) = delete;
  ~SoftString();

  // Never null.
  const char* data() const { return data_; }
  int64_t size() const { return size_; }
  std::string_view Get() const { return std::string_view(data_, static_cast<size_t>(size_)); }

 private:
  PyObject* obj_;
  PyObject* text_obj_;
  PyObject* utf8_obj_;
  Py_buffer buffer_;
  bool has_buffer_;
  const char* data_;
  int64_t size_;
};

// int: its 64-bit value (an overflow leaves OverflowError pending: callers
// check PyErr_Occurred() before any engine call); float: truncated; str/bytes:
// StrToInt of the text, default 0; None: 0; else int(obj), 0 when that fails
// (the error is cleared).
int64_t PyObjToInt(PyObject* obj);

// As PyObjToInt, for numbers taken as unsigned 64-bit: an int from INT64MIN to
// UINT64MAX is accepted (negative ones in two's complement); beyond that range
// OverflowError is left pending.
uint64_t PyObjToUInt(PyObject* obj);

// int: widened; float: itself; str/bytes: StrToDouble; None: 0.0; else
// float(obj), 0.0 when that fails (the error is cleared). An overflowing int
// leaves OverflowError pending as for PyObjToInt.
double PyObjToDouble(PyObject* obj);

// The items of a mapping as an ordered string map, keys and values through
// SoftString, first occurrence winning; items that are not 2-tuples are
// skipped. A non-mapping gives an empty map.
morvel::ParamMap ExtractMap(PyObject* pymap);

// Takes the keywords that every Open reads itself out of |params|:
// "concurrent" into |*concurrent|, and "truncate", "no_create", "no_wait",
// "no_lock" and "sync_hard" as their File::OPEN_* bits added to |*options|.
void TakeOpenOptions(morvel::ParamMap* params, bool* concurrent, int32_t* options);

// The truth value of |obj| into |*flag|. False, with the error pending, when
// the truth test raises or an error was already pending.
bool ReadFlag(PyObject* obj, bool* flag);

// A search capacity: the low 32 bits of |value| as a signed number, widened
// with their sign, so that -1 means no practical limit.
size_t ToSearchCapacity(int64_t value);

// Success for a path the operating system can take whole; INVALID_ARGUMENT_ERROR
// for one with a NUL byte, which the system would cut there, so that a file
// under another name than the one asked for is never made or read.
morvel::Status CheckPath(std::string_view path);

// A new bytes object copying the bytes; null with an error set on failure.
PyObject* CreatePyBytes(std::string_view data);

// A new str decoded from UTF-8 with "replace"; null with an error set on failure.
PyObject* CreatePyString(std::string_view data);

// A new str (as CreatePyString makes it) or bytes of |data|; null with an
// error set on failure.
inline PyObject* CreatePyText(std::string_view data, bool is_str) {
  return is_str ? CreatePyString(data) : CreatePyBytes(data);
}

// A new dict of |records| with keys and values made by CreatePyText. Entries
// are set in the map's (byte) order, so with texts as str, a later key that
// decodes like an earlier one replaces it. Null with an error set on failure.
PyObject* CreatePyTextDict(const std::map<std::string, std::string>& records, bool is_str);

// A new list of str decoded from |items| as CreatePyString does; null with an
// error set on failure.
PyObject* CreatePyStringList(const std::vector<std::string>& items);

// A new 2-tuple taking over the references |first| and |second|. Either may be
// null (a failed creation): then both are released and null is returned.
PyObject* CreatePyPair(PyObject* first, PyObject* second);

// Sets a class attribute through the type's generic setter. True on success.
bool SetConstIntAttr(PyTypeObject* type, const char* name, int64_t value);
bool SetConstUIntAttr(PyTypeObject* type, const char* name, uint64_t value);

#endif  // MORVEL_PYTHON_MODULE_CONVERT_H_
