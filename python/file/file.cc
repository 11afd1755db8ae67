// The File class: a Python handle over the engine's polymorphic file.
//
// Every method checks the handle, counts and converts its arguments with the
// interpreter lock held, makes one engine call under NativeLock, and builds its
// result with the lock held again. The engine file is shared (see file.h): a
// method copies the File's share before it releases the interpreter lock, so a
// Close from another thread while the call runs cannot free the file under it.
//
// Locking: GuardedFile's mutex is taken shared by every engine call and
// exclusively by Open and Close. Nothing that holds it ever waits for the
// interpreter lock, so a thread that holds the interpreter lock may wait for it
// (a non-concurrent Close waits for an export of a concurrent DBM to finish its
// current append). repr and str only try it.
//
// Open releases the interpreter lock in every mode, since it may wait for
// another process's file lock, and other Python threads must run meanwhile. The
// File shows the new engine file only once the open has returned; until then
// other threads see it unopened, and a second Open as already opening.

#include "file/file.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "module/arg_list.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native_lock.h"
#include "module/type_util.h"

using morvel::Status;

morvel::Status GuardedFile::Open(const std::string& path, bool writable, int32_t options) {
  std::unique_lock lock(mutex_);
  return file_.Open(path, writable, options);
}

morvel::Status GuardedFile::OpenAdvanced(const std::string& path, bool writable, int32_t options,
                                         const morvel::ParamMap& params) {
  std::unique_lock lock(mutex_);
  return file_.OpenAdvanced(path, writable, options, params);
}

morvel::Status GuardedFile::Close() {
  std::unique_lock lock(mutex_);
  return file_.Close();
}

morvel::Status GuardedFile::Read(int64_t off, void* buf, size_t size) {
  std::shared_lock lock(mutex_);
  return file_.Read(off, buf, size);
}

morvel::Status GuardedFile::Write(int64_t off, const void* buf, size_t size) {
  std::shared_lock lock(mutex_);
  return file_.Write(off, buf, size);
}

morvel::Status GuardedFile::Append(const void* buf, size_t size, int64_t* off) {
  std::shared_lock lock(mutex_);
  return file_.Append(buf, size, off);
}

morvel::Status GuardedFile::Expand(size_t inc_size, int64_t* old_size) {
  std::shared_lock lock(mutex_);
  return file_.Expand(inc_size, old_size);
}

morvel::Status GuardedFile::Truncate(int64_t size) {
  std::shared_lock lock(mutex_);
  return file_.Truncate(size);
}

morvel::Status GuardedFile::Synchronize(bool hard, int64_t off, int64_t size) {
  std::shared_lock lock(mutex_);
  return file_.Synchronize(hard, off, size);
}

morvel::Status GuardedFile::GetSize(int64_t* size) {
  std::shared_lock lock(mutex_);
  return file_.GetSize(size);
}

morvel::Status GuardedFile::SetAllocationStrategy(int64_t init_size, double inc_factor) {
  std::unique_lock lock(mutex_);
  return file_.SetAllocationStrategy(init_size, inc_factor);
}

morvel::Status GuardedFile::GetPath(std::string* path) {
  std::shared_lock lock(mutex_);
  return file_.GetPath(path);
}

morvel::Status GuardedFile::Rename(const std::string& new_path) {
  std::shared_lock lock(mutex_);
  return file_.Rename(new_path);
}

bool GuardedFile::IsOpen() const {
  std::shared_lock lock(mutex_);
  return file_.IsOpen();
}

bool GuardedFile::IsMemoryMapping() const {
  std::shared_lock lock(mutex_);
  return file_.IsMemoryMapping();
}

bool GuardedFile::IsAtomic() const {
  std::shared_lock lock(mutex_);
  return file_.IsAtomic();
}

std::unique_ptr<morvel::File> GuardedFile::MakeFile() const {
  std::shared_lock lock(mutex_);
  return file_.MakeFile();
}

namespace {

// The concrete class names in the order they are tried.
std::string ConcreteClassName(const morvel::File* file) {
  if (file == nullptr) return "unknown";
  const std::type_info& type = typeid(*file);
  if (type == typeid(morvel::StdFile)) return "StdFile";
  if (type == typeid(morvel::MemoryMapParallelFile)) return "MemoryMapParallelFile";
  if (type == typeid(morvel::MemoryMapAtomicFile)) return "MemoryMapAtomicFile";
  if (type == typeid(morvel::PositionalParallelFile)) return "PositionalParallelFile";
  if (type == typeid(morvel::PositionalAtomicFile)) return "PositionalAtomicFile";
  return "unknown";
}

}  // namespace

void GuardedFile::Describe(std::string* class_name, std::string* path, int64_t* size) {
  *class_name = "unknown";
  path->clear();
  *size = -1;
  std::shared_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;
  *class_name = ConcreteClassName(file_.GetInternalFile());
  *path = file_.GetPathSimple();
  *size = file_.GetSizeSimple();
}

namespace {

MORVEL_DEFINE_STATIC_TYPE(type_file)

// A share of the engine file of an open File, or null after raising "not
// opened file". Taken before the arguments are converted, since converting them
// runs Python code that may close the File: the call then reaches the closed
// engine file and fails by its own convention.
std::shared_ptr<GuardedFile> ShareOpenFile(FileObject* self) {
  if (self->file == nullptr) {
    ThrowInvalidArguments("not opened file");
    return nullptr;
  }
  return *self->file;
}

// Drops the File's share of its engine file.
void ReleaseFile(FileObject* self) {
  delete self->file;
  self->file = nullptr;
}

// Files whose Open runs with the interpreter lock released. Read and written
// only with the interpreter lock.
std::unordered_set<const FileObject*> opening_files;

int64_t ClampToZero(int64_t value) { return std::max<int64_t>(value, 0); }

PyObject* file_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  FileObject* self = reinterpret_cast<FileObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->file = nullptr;
  self->concurrent = false;
  return reinterpret_cast<PyObject*>(self);
}

int file_init(FileObject*, PyObject* pytuple, PyObject*) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  if (pyargs.size() != 0) {
    ThrowInvalidArguments("too many arguments");
    return -1;
  }
  return 0;
}

void file_dealloc(FileObject* self) {
  if (self->file != nullptr) {
    // A transfer still in flight on another thread holds a share; close the
    // file now anyway so that its lock is released with this object.
    if (self->file->use_count() > 1) (*self->file)->Close();
    ReleaseFile(self);
  }
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

// "class=NAME path=PATH size=SIZE" of an open File. A File whose engine file is
// being opened or closed by another thread shows the defaults.
std::string DescribeFile(FileObject* self) {
  std::string class_name;
  std::string path;
  int64_t size = -1;
  (*self->file)->Describe(&class_name, &path, &size);
  return "class=" + class_name + " path=" + morvel::StrEscapeC(path, true) +
         " size=" + std::to_string(size);
}

PyObject* file_repr(FileObject* self) {
  if (self->file == nullptr) return CreatePyString("<morvel.File:(unopened)>");
  return CreatePyString("<morvel.File: " + DescribeFile(self) + ">");
}

PyObject* file_str(FileObject* self) {
  if (self->file == nullptr) return CreatePyString("(unopened)");
  return CreatePyString(DescribeFile(self));
}

PyObject* file_Open(FileObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  // Refused before anything else, so the open engine file is never lost.
  if (self->file != nullptr || opening_files.count(self) > 0) {
    ThrowInvalidArguments("opened file");
    return nullptr;
  }
  if (!CheckArgCount(pyargs, 2, 2)) return nullptr;
  SoftString path(pyargs[0]);
  bool writable = false;
  if (!ReadFlag(pyargs[1], &writable)) return nullptr;
  morvel::ParamMap params;
  bool concurrent = false;
  int32_t options = morvel::File::OPEN_DEFAULT;
  if (pykwds != nullptr) {
    params = ExtractMap(pykwds);
    TakeOpenOptions(&params, &concurrent, &options);
  }
  if (PyErr_Occurred()) return nullptr;
  Status path_status = CheckPath(path.Get());
  if (!path_status.IsOK()) {
    self->concurrent = concurrent;
    return CreatePyStatusMove(std::move(path_status));
  }
  // Converting the arguments runs Python code, which may have opened this File.
  if (self->file != nullptr || opening_files.count(self) > 0) {
    ThrowInvalidArguments("opened file");
    return nullptr;
  }
  const std::string path_str(path.Get());
  auto file = std::make_shared<GuardedFile>();
  self->concurrent = concurrent;
  opening_files.insert(self);
  Status status;
  {
    NativeLock lock(true);
    status = file->OpenAdvanced(path_str, writable, options, params);
  }
  opening_files.erase(self);
  if (status.IsOK()) self->file = new std::shared_ptr<GuardedFile>(std::move(file));
  return CreatePyStatusMove(std::move(status));
}

PyObject* file_Close(FileObject* self) {
  std::shared_ptr<GuardedFile> file = ShareOpenFile(self);
  if (file == nullptr) return nullptr;
  // Detached first, so that a second Close racing this one is refused.
  ReleaseFile(self);
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = file->Close();
  }
  file.reset();
  return CreatePyStatusMove(std::move(status));
}

PyObject* file_enter(FileObject* self) {
  Py_INCREF(self);
  return reinterpret_cast<PyObject*>(self);
}

// Closes the file if it is still open. A failure to close raises
// StatusException, unless an exception of the block is already propagating.
PyObject* file_exit(FileObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  if (self->file == nullptr) Py_RETURN_FALSE;
  const bool propagating =
      pyargs.size() > 0 && pyargs[0] != Py_None;
  std::shared_ptr<GuardedFile> file = *self->file;
  ReleaseFile(self);
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = file->Close();
  }
  file.reset();
  if (!status.IsOK() && !propagating) {
    ThrowStatusException(status);
    return nullptr;
  }
  Py_RETURN_FALSE;
}

// Read and ReadStr: the bytes at an offset, as bytes or as text.
PyObject* ReadData(FileObject* self, const ArgList& pyargs, bool as_str) {
  std::shared_ptr<GuardedFile> file = ShareOpenFile(self);
  if (file == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 2, 3)) return nullptr;
  const int32_t argc = static_cast<int32_t>(pyargs.size());
  int64_t off = PyObjToInt(pyargs[0]);
  int64_t size = PyObjToInt(pyargs[1]);
  if (PyErr_Occurred()) return nullptr;
  PyObject* pystatus = argc > 2 ? pyargs[2] : nullptr;
  if (!CheckStatusReceiver(pystatus)) return nullptr;
  off = ClampToZero(off);
  size = ClampToZero(size);
  // The bytes object is the read buffer: the data is not copied again. Sizes
  // a bytes object cannot have are reported like any failed allocation.
  constexpr int64_t kMaxBytesSize = PY_SSIZE_T_MAX - 4096;
  if (size > kMaxBytesSize) return PyErr_NoMemory();
  PyObject* pybuf = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (pybuf == nullptr) return nullptr;
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = file->Read(off, PyBytes_AS_STRING(pybuf), static_cast<size_t>(size));
  }
  if (!SetStatusReceiver(pystatus, status)) {
    Py_DECREF(pybuf);
    return nullptr;
  }
  if (!status.IsOK()) {
    Py_DECREF(pybuf);
    Py_RETURN_NONE;
  }
  if (!as_str) return pybuf;
  PyObject* pystr = CreatePyString(
      std::string_view(PyBytes_AS_STRING(pybuf), static_cast<size_t>(size)));
  Py_DECREF(pybuf);
  return pystr;
}

PyObject* file_Read(FileObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc); return ReadData(self, pyargs, false); }

PyObject* file_ReadStr(FileObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ReadData(self, pyargs, true);
}

PyObject* file_Write(FileObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<GuardedFile> file = ShareOpenFile(self);
  if (file == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 2, 2)) return nullptr;
  const int64_t off = ClampToZero(PyObjToInt(pyargs[0]));
  SoftString data(pyargs[1]);
  if (PyErr_Occurred()) return nullptr;
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = file->Write(off, data.data(), static_cast<size_t>(data.size()));
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* file_Append(FileObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<GuardedFile> file = ShareOpenFile(self);
  if (file == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 2)) return nullptr;
  const int32_t argc = static_cast<int32_t>(pyargs.size());
  SoftString data(pyargs[0]);
  if (PyErr_Occurred()) return nullptr;
  PyObject* pystatus = argc > 1 ? pyargs[1] : nullptr;
  if (!CheckStatusReceiver(pystatus)) return nullptr;
  Status status;
  int64_t off = -1;
  {
    NativeLock lock(self->concurrent);
    status = file->Append(data.data(), static_cast<size_t>(data.size()), &off);
  }
  if (!SetStatusReceiver(pystatus, status)) return nullptr;
  if (!status.IsOK()) Py_RETURN_NONE;
  return PyLong_FromLongLong(off);
}

PyObject* file_Truncate(FileObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<GuardedFile> file = ShareOpenFile(self);
  if (file == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  const int64_t size = ClampToZero(PyObjToInt(pyargs[0]));
  if (PyErr_Occurred()) return nullptr;
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = file->Truncate(size);
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* file_Synchronize(FileObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<GuardedFile> file = ShareOpenFile(self);
  if (file == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 3)) return nullptr;
  const int32_t argc = static_cast<int32_t>(pyargs.size());
  bool hard = false;
  if (!ReadFlag(pyargs[0], &hard)) return nullptr;
  int64_t off = argc > 1 ? PyObjToInt(pyargs[1]) : 0;
  int64_t size = argc > 2 ? PyObjToInt(pyargs[2]) : 0;
  if (PyErr_Occurred()) return nullptr;
  off = ClampToZero(off);
  size = ClampToZero(size);
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = file->Synchronize(hard, off, size);
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* file_GetSize(FileObject* self) {
  std::shared_ptr<GuardedFile> file = ShareOpenFile(self);
  if (file == nullptr) return nullptr;
  int64_t size = -1;
  {
    NativeLock lock(self->concurrent);
    size = file->GetSizeSimple();
  }
  if (size < 0) Py_RETURN_NONE;
  return PyLong_FromLongLong(size);
}

PyObject* file_GetPath(FileObject* self) {
  std::shared_ptr<GuardedFile> file = ShareOpenFile(self);
  if (file == nullptr) return nullptr;
  std::string path;
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = file->GetPath(&path);
  }
  if (!status.IsOK()) Py_RETURN_NONE;
  return CreatePyString(path);
}

PyObject* file_Search(FileObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<GuardedFile> file = ShareOpenFile(self);
  if (file == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 2, 3)) return nullptr;
  const int32_t argc = static_cast<int32_t>(pyargs.size());
  const size_t capacity = argc > 2 ? ToSearchCapacity(PyObjToInt(pyargs[2])) : 0;
  SoftString pattern(pyargs[1]);
  SoftString mode(pyargs[0]);
  if (PyErr_Occurred()) return nullptr;
  std::vector<std::string> lines;
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = morvel::SearchTextFileModal(file.get(), mode.Get(), pattern.Get(), &lines, capacity);
  }
  if (!status.IsOK()) {
    ThrowStatusException(status);
    return nullptr;
  }
  return CreatePyStringList(lines);
}

PyMethodDef file_methods[] = {
    {"Open", AsPyCFunction(file_Open),
     METH_VARARGS | METH_KEYWORDS, "Opens a text file."},
    {"Close", AsPyCFunction(file_Close), METH_NOARGS, "Closes the text file."},
    {"Read", AsPyCFunction(file_Read), METH_FASTCALL, "Reads data."},
    {"ReadStr", AsPyCFunction(file_ReadStr), METH_FASTCALL,
     "Reads data as a string."},
    {"Write", AsPyCFunction(file_Write), METH_FASTCALL, "Writes data."},
    {"Append", AsPyCFunction(file_Append), METH_FASTCALL,
     "Appends data at the end of the file."},
    {"Truncate", AsPyCFunction(file_Truncate), METH_FASTCALL,
     "Truncates the file."},
    {"Synchronize", AsPyCFunction(file_Synchronize), METH_FASTCALL,
     "Synchronizes the content of the file to the file system."},
    {"GetSize", AsPyCFunction(file_GetSize), METH_NOARGS,
     "Gets the size of the file."},
    {"GetPath", AsPyCFunction(file_GetPath), METH_NOARGS,
     "Gets the path of the file."},
    {"Search", AsPyCFunction(file_Search), METH_FASTCALL,
     "Searches the text file and get lines which match a pattern."},
    {"__enter__", AsPyCFunction(file_enter), METH_NOARGS, "Enters a with block."},
    {"__exit__", AsPyCFunction(file_exit), METH_FASTCALL,
     "Closes the file at the end of a with block."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* FillFileType() {
  PyTypeObject* type = &type_file;
  ClearTypeObject(type);
  type->tp_name = "morvel.File";
  type->tp_basicsize = sizeof(FileObject);
  type->tp_itemsize = 0;
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_doc = "Generic file implemenation.";
  type->tp_new = file_new;
  type->tp_dealloc = reinterpret_cast<destructor>(file_dealloc);
  type->tp_init = reinterpret_cast<initproc>(file_init);
  type->tp_repr = reinterpret_cast<reprfunc>(file_repr);
  type->tp_str = reinterpret_cast<reprfunc>(file_str);
  type->tp_methods = file_methods;
  return type;
}
