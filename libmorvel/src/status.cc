// Status messages live in malloc'ed buffers so that either side of the library
// boundary can resize or free them.

#include "morvel/status.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace morvel {

namespace {

const char* const kCodeNames[] = {
    "SUCCESS",           "UNKNOWN_ERROR",      "SYSTEM_ERROR",
    "NOT_IMPLEMENTED_ERROR", "PRECONDITION_ERROR", "INVALID_ARGUMENT_ERROR",
    "CANCELED_ERROR",    "NOT_FOUND_ERROR",    "PERMISSION_ERROR",
    "INFEASIBLE_ERROR",  "DUPLICATION_ERROR",  "BROKEN_DATA_ERROR",
    "NETWORK_ERROR",     "APPLICATION_ERROR",
};

// Resizes |*buf| to hold |size| bytes plus a zero byte and copies |data| in.
bool CopyInto(char** buf, const char* data, size_t size) noexcept {
  char* resized = static_cast<char*>(std::realloc(*buf, size + 1));
  if (resized == nullptr) return false;
  if (size > 0) std::memcpy(resized, data, size);
  resized[size] = '\0';
  *buf = resized;
  return true;
}

}  // namespace

Status::Status(int32_t code, std::string_view message) : code_(code), message_(nullptr) {
  if (!CopyInto(&message_, message.data(), message.size())) throw std::bad_alloc();
}

Status::Status(const Status& rhs) : code_(rhs.code_), message_(nullptr) {
  if (rhs.message_ != nullptr &&
      !CopyInto(&message_, rhs.message_, std::strlen(rhs.message_))) {
    throw std::bad_alloc();
  }
}

Status& Status::operator=(const Status& rhs) {
  if (!Assign(rhs)) throw std::bad_alloc();
  return *this;
}

bool Status::Assign(const Status& rhs) noexcept {
  if (this == &rhs) return true;
  code_ = rhs.code_;
  if (rhs.message_ == nullptr) {
    std::free(message_);
    message_ = nullptr;
    return true;
  }
  if (!CopyInto(&message_, rhs.message_, std::strlen(rhs.message_))) {
    std::free(message_);
    message_ = nullptr;
    return false;
  }
  return true;
}

void Status::Set(int32_t code) noexcept {
  code_ = code;
  std::free(message_);
  message_ = nullptr;
}

void Status::Set(int32_t code, std::string_view message) {
  if (!SetRaw(code, message.data(), message.size())) throw std::bad_alloc();
}

bool Status::SetRaw(int32_t code, const char* data, size_t size) noexcept {
  code_ = code;
  if (!CopyInto(&message_, data, size)) {
    std::free(message_);
    message_ = nullptr;
    return false;
  }
  return true;
}

std::string Status::GetMessage() const {
  return message_ == nullptr ? std::string() : std::string(message_);
}

char* Status::ReleaseMessage() noexcept {
  char* message = message_;
  message_ = nullptr;
  return message;
}

Status& Status::operator|=(const Status& rhs) {
  if (code_ == SUCCESS && rhs.code_ != SUCCESS) *this = rhs;
  return *this;
}

const char* StatusCodeName(int32_t code) noexcept {
  const uint32_t index = static_cast<uint32_t>(code);
  if (index > static_cast<uint32_t>(Status::APPLICATION_ERROR)) return "unnamed error";
  return kCodeNames[index];
}

std::string ToString(const Status& status) {
  std::string text = StatusCodeName(status.GetCode());
  if (status.HasMessage()) {
    text += ": ";
    text += status.GetMessagePtr();
  }
  return text;
}

std::ostream& operator<<(std::ostream& os, const Status& status) {
  return os << ToString(status);
}

}  // namespace morvel
