// Conversions between Python objects and the engine's byte views and numbers.
//
// A conversion that finds a Python error already pending runs no Python code
// and gives its fallback, leaving the error for the caller, which checks
// PyErr_Occurred() once after all its conversions and before any engine call.
// So an int that does not fit in 64 bits (OverflowError) stops the method
// instead of being cleared by the next argument's str().
// Python code run by a conversion (str(), int(), float()) that fails with an
// ordinary exception gives the documented fallback and the error is cleared;
// an interrupt, an exit request or MemoryError stays pending instead, so that
// Ctrl-C during a conversion is not lost.

#include "module/convert.h"

#include <cmath>
#include <limits>

namespace {

constexpr char kUnknownText[] = "(unknown)";

// Clears the pending error unless it must reach the caller: anything that is
// not an ordinary Exception (KeyboardInterrupt, SystemExit) and MemoryError.
void ClearOrdinaryError() {
  if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
  }
}

// |text| (a str) encoded as UTF-8. Lone surrogates are encoded as the
// operating system encodes file names: surrogateescape gives back the original
// bytes of an undecodable name (as os.fsencode does), and a string that still
// cannot be encoded is encoded with surrogatepass, so distinct strings stay
// distinct. Null with an error pending only when even that fails.
PyObject* EncodeUnicode(PyObject* text) {
  PyObject* encoded = PyUnicode_AsUTF8String(text);
  if (encoded != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return encoded;
  PyErr_Clear();
  encoded = PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape");
  if (encoded != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return encoded;
  PyErr_Clear();
  return PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
}

// Views |text| (a str) as UTF-8: the str's own UTF-8 form, which it keeps once
// made (an ASCII str is its own), so a key used again is not encoded again;
// else, for lone surrogates, through a new object in |*utf8_obj|. "" when
// encoding fails.
void ViewUnicode(PyObject* text, PyObject** utf8_obj, const char** data, int64_t* size) {
  Py_ssize_t utf8_size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &utf8_size);
  if (utf8 != nullptr) {
    *data = utf8;
    *size = utf8_size;
    return;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
    ClearOrdinaryError();
    *data = "";
    *size = 0;
    return;
  }
  PyErr_Clear();
  *utf8_obj = EncodeUnicode(text);
  if (*utf8_obj == nullptr) {
    ClearOrdinaryError();
    *data = "";
    *size = 0;
    return;
  }
  *data = PyBytes_AS_STRING(*utf8_obj);
  *size = PyBytes_GET_SIZE(*utf8_obj);
}

// Truncates toward zero, saturating at the 64-bit limits; NaN gives 0.
int64_t DoubleToInt(double num) {
  if (std::isnan(num)) return 0;
  if (num >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (num <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(num);
}

}  // namespace

SoftString::SoftString(PyObject* obj)
    : obj_(obj), text_obj_(nullptr), utf8_obj_(nullptr), has_buffer_(false), data_(""),
      size_(0) {
  Py_INCREF(obj_);
  if (PyErr_Occurred()) {
    // An earlier conversion failed: the caller reports that error.
  } else if (PyUnicode_Check(obj_)) {
    ViewUnicode(obj_, &utf8_obj_, &data_, &size_);
  } else if (PyBytes_Check(obj_)) {
    data_ = PyBytes_AS_STRING(obj_);
    size_ = PyBytes_GET_SIZE(obj_);
  } else if (PyByteArray_Check(obj_)) {
    // The export forbids resizing the bytearray while the view lives.
    if (PyObject_GetBuffer(obj_, &buffer_, PyBUF_SIMPLE) == 0) {
      has_buffer_ = true;
      if (buffer_.len > 0) {
        data_ = static_cast<const char*>(buffer_.buf);
        size_ = buffer_.len;
      }
    } else {
      PyErr_Clear();
    }
  } else if (obj_ == Py_None) {
    // The empty view.
  } else {
    text_obj_ = PyObject_Str(obj_);
    if (text_obj_ == nullptr) {
      ClearOrdinaryError();
      data_ = kUnknownText;
      size_ = sizeof(kUnknownText) - 1;
    } else {
      ViewUnicode(text_obj_, &utf8_obj_, &data_, &size_);
    }
  }
}

SoftString::~SoftString() {
  if (has_buffer_) PyBuffer_Release(&buffer_);
  Py_XDECREF(utf8_obj_);
  Py_XDECREF(text_obj_);
  Py_DECREF(obj_);
}

int64_t PyObjToInt(PyObject* obj) {
  if (PyErr_Occurred()) return 0;
  if (PyLong_Check(obj)) {
    return PyLong_AsLongLong(obj);
  }
  if (PyFloat_Check(obj)) {
    return DoubleToInt(PyFloat_AS_DOUBLE(obj));
  }
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    SoftString str(obj);
    return morvel::StrToInt(str.Get(), 0);
  }
  if (obj == Py_None) {
    return 0;
  }
  PyObject* pylong = PyNumber_Long(obj);
  if (pylong == nullptr) {
    ClearOrdinaryError();
    return 0;
  }
  const int64_t num = PyLong_AsLongLong(pylong);
  Py_DECREF(pylong);
  return num;
}

uint64_t PyObjToUInt(PyObject* obj) {
  if (PyErr_Occurred()) return 0;
  if (PyLong_Check(obj)) {
    int overflow = 0;
    const long long num = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) return static_cast<uint64_t>(num);
    if (overflow > 0) return PyLong_AsUnsignedLongLong(obj);
    return static_cast<uint64_t>(PyLong_AsLongLong(obj));
  }
  return static_cast<uint64_t>(PyObjToInt(obj));
}

double PyObjToDouble(PyObject* obj) {
  if (PyErr_Occurred()) return 0.0;
  if (PyLong_Check(obj)) {
    return static_cast<double>(PyLong_AsLongLong(obj));
  }
  if (PyFloat_Check(obj)) {
    return PyFloat_AS_DOUBLE(obj);
  }
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    SoftString str(obj);
    return morvel::StrToDouble(str.Get(), 0.0);
  }
  if (obj == Py_None) {
    return 0.0;
  }
  PyObject* pyfloat = PyNumber_Float(obj);
  if (pyfloat == nullptr) {
    ClearOrdinaryError();
    return 0.0;
  }
  const double num = PyFloat_AsDouble(pyfloat);
  Py_DECREF(pyfloat);
  return num;
}

morvel::ParamMap ExtractMap(PyObject* pymap) {
  morvel::ParamMap map;
  if (PyErr_Occurred() || pymap == nullptr || !PyMapping_Check(pymap)) {
    return map;
  }
  PyObject* items = PyMapping_Items(pymap);
  if (items == nullptr) {
    ClearOrdinaryError();
    return map;
  }
  const Py_ssize_t num_items = PyList_GET_SIZE(items);
  for (Py_ssize_t i = 0; i < num_items && !PyErr_Occurred(); i++) {
    PyObject* pair = PyList_GET_ITEM(items, i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      continue;
    }
    SoftString key(PyTuple_GET_ITEM(pair, 0));
    SoftString value(PyTuple_GET_ITEM(pair, 1));
    map.emplace(std::string(key.Get()), std::string(value.Get()));
  }
  Py_DECREF(items);
  return map;
}

bool ReadFlag(PyObject* obj, bool* flag) {
  if (PyErr_Occurred()) return false;
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  *flag = truth != 0;
  return true;
}

size_t ToSearchCapacity(int64_t value) {
  const int32_t capacity = static_cast<int32_t>(static_cast<uint32_t>(value));
  return static_cast<size_t>(static_cast<int64_t>(capacity));
}

morvel::Status CheckPath(std::string_view path) {
  if (path.find('\0') == std::string_view::npos) return morvel::Status();
  return morvel::Status(morvel::Status::INVALID_ARGUMENT_ERROR, "the path contains a NUL byte");
}

PyObject* CreatePyBytes(std::string_view data) {
  if (data.size() > static_cast<size_t>(PY_SSIZE_T_MAX)) {
    return PyErr_NoMemory();
  }
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* CreatePyString(std::string_view data) {
  if (data.size() > static_cast<size_t>(PY_SSIZE_T_MAX)) {
    return PyErr_NoMemory();
  }
  return PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "replace");
}

void TakeOpenOptions(morvel::ParamMap* params, bool* concurrent, int32_t* options) {
  static const struct {
    const char* name;
    int32_t bit;
  } kOpenOptions[] = {
      {"truncate", morvel::File::OPEN_TRUNCATE},
      {"no_create", morvel::File::OPEN_NO_CREATE},
      {"no_wait", morvel::File::OPEN_NO_WAIT},
      {"no_lock", morvel::File::OPEN_NO_LOCK},
      {"sync_hard", morvel::File::OPEN_SYNC_HARD},
  };
  *concurrent = morvel::StrToBool(morvel::SearchMap(*params, "concurrent", "false"), false);
  params->erase("concurrent");
  for (const auto& option : kOpenOptions) {
    if (morvel::StrToBool(morvel::SearchMap(*params, option.name, "false"), false)) {
      *options |= option.bit;
    }
    params->erase(option.name);
  }
}

PyObject* CreatePyTextDict(const std::map<std::string, std::string>& records, bool is_str) {
  PyObject* pydict = PyDict_New();
  if (pydict == nullptr) return nullptr;
  for (const auto& [key, value] : records) {
    PyObject* pykey = CreatePyText(key, is_str);
    PyObject* pyvalue = pykey == nullptr ? nullptr : CreatePyText(value, is_str);
    const bool ok = pyvalue != nullptr && PyDict_SetItem(pydict, pykey, pyvalue) == 0;
    Py_XDECREF(pykey);
    Py_XDECREF(pyvalue);
    if (!ok) {
      Py_DECREF(pydict);
      return nullptr;
    }
  }
  return pydict;
}

PyObject* CreatePyStringList(const std::vector<std::string>& items) {
  PyObject* pylist = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (pylist == nullptr) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* pyitem = CreatePyString(items[i]);
    if (pyitem == nullptr) {
      Py_DECREF(pylist);
      return nullptr;
    }
    PyList_SET_ITEM(pylist, static_cast<Py_ssize_t>(i), pyitem);
  }
  return pylist;
}

PyObject* CreatePyPair(PyObject* first, PyObject* second) {
  if (first == nullptr || second == nullptr) {
    Py_XDECREF(first);
    Py_XDECREF(second);
    return nullptr;
  }
  PyObject* pair = PyTuple_Pack(2, first, second);
  Py_DECREF(first);
  Py_DECREF(second);
  return pair;
}

namespace {

bool SetConstAttr(PyTypeObject* type, const char* name, PyObject* pyvalue) {
  if (pyvalue == nullptr) return false;
  PyObject* pyname = PyUnicode_FromString(name);
  if (pyname == nullptr) {
    Py_DECREF(pyvalue);
    return false;
  }
  // The type's own setattr refuses static types; the generic setter stores
  // into the type's dictionary.
  const int rv = PyObject_GenericSetAttr(reinterpret_cast<PyObject*>(type), pyname, pyvalue);
  Py_DECREF(pyname);
  Py_DECREF(pyvalue);
  if (rv != 0) return false;
  PyType_Modified(type);
  return true;
}

}  // namespace

bool SetConstIntAttr(PyTypeObject* type, const char* name, int64_t value) {
  return SetConstAttr(type, name, PyLong_FromLongLong(value));
}

bool SetConstUIntAttr(PyTypeObject* type, const char* name, uint64_t value) {
  return SetConstAttr(type, name, PyLong_FromUnsignedLongLong(value));
}
