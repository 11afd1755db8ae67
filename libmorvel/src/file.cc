// The default bodies of File: the "Simple" forms of Read, GetSize and GetPath.

#include "morvel/file.h"

#include <exception>

namespace morvel {

std::string File::ReadSimple(int64_t off, size_t size) {
  try {
    std::string data(size, '\0');
    if (!Read(off, data.data(), size).IsOK()) return "";
    return data;
  } catch (const std::exception&) {
    return "";
  }
}

int64_t File::GetSizeSimple() {
  int64_t size = -1;
  if (!GetSize(&size).IsOK()) return -1;
  return size;
}

std::string File::GetPathSimple() {
  std::string path;
  if (!GetPath(&path).IsOK()) return "";
  return path;
}

}  // namespace morvel
