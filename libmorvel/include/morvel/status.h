// Status: the outcome of every engine operation, a code and an optional message.
//
// The message is absent or a zero-terminated buffer from malloc/realloc/free, so
// that it can be handed across the library boundary and freed on either side.
// An empty message is present and differs from an absent one.
// A Status is a plain value: not thread-safe, one owner at a time.

#ifndef MORVEL_STATUS_H_
#define MORVEL_STATUS_H_

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>

namespace morvel {

class Status final {
 public:
  enum Code : int32_t {
    SUCCESS = 0,
    UNKNOWN_ERROR = 1,
    SYSTEM_ERROR = 2,
    NOT_IMPLEMENTED_ERROR = 3,
    PRECONDITION_ERROR = 4,
    INVALID_ARGUMENT_ERROR = 5,
    CANCELED_ERROR = 6,
    NOT_FOUND_ERROR = 7,
    PERMISSION_ERROR = 8,
    INFEASIBLE_ERROR = 9,
    DUPLICATION_ERROR = 10,
    BROKEN_DATA_ERROR = 11,
    NETWORK_ERROR = 12,
    APPLICATION_ERROR = 13,
  };

  // Success with no message.
  Status() noexcept : code_(SUCCESS), message_(nullptr) {}
  // The code with no message.
  explicit Status(int32_t code) noexcept : code_(code), message_(nullptr) {}
  // The code with a copy of the message. Throws std::bad_alloc when the copy
  // cannot be allocated (as a std::string would).
  Status(int32_t code, std::string_view message);
  // Duplicates the message. Throws std::bad_alloc when it cannot be allocated.
  Status(const Status& rhs);
  // Takes the message pointer; |rhs| is left without a message.
  Status(Status&& rhs) noexcept : code_(rhs.code_), message_(rhs.message_) {
    rhs.message_ = nullptr;
  }
  ~Status() { std::free(message_); }

  // Assignment: self-assignment does nothing; otherwise the code is copied, and
  // the message storage is resized to the source's length and filled, or freed
  // when the source has none. Throws std::bad_alloc when resizing fails.
  Status& operator=(const Status& rhs);
  Status& operator=(Status&& rhs) noexcept {
    if (this != &rhs) {
      code_ = rhs.code_;
      std::free(message_);
      message_ = rhs.message_;
      rhs.message_ = nullptr;
    }
    return *this;
  }

  // The same as assignment but reports an allocation failure by returning false
  // (the code is then copied and the message left absent). Never throws.
  bool Assign(const Status& rhs) noexcept;

  // Replaces the code; the message becomes absent.
  void Set(int32_t code) noexcept;
  // Replaces the code and the message. Throws std::bad_alloc.
  void Set(int32_t code, std::string_view message);
  // Replaces the code and the message with |size| raw bytes plus a zero byte.
  // Returns false, leaving the message absent, when allocation fails.
  bool SetRaw(int32_t code, const char* data, size_t size) noexcept;

  int32_t GetCode() const noexcept { return code_; }
  // The message up to its first zero byte, or empty when absent.
  std::string GetMessage() const;
  // The raw message pointer, or null when absent. Owned by this status.
  const char* GetMessagePtr() const noexcept { return message_; }
  bool HasMessage() const noexcept { return message_ != nullptr; }
  // Gives up the message buffer to the caller, who must free() it.
  char* ReleaseMessage() noexcept;

  bool IsOK() const noexcept { return code_ == SUCCESS; }
  bool operator==(int32_t code) const noexcept { return code_ == code; }
  bool operator!=(int32_t code) const noexcept { return code_ != code; }
  bool operator==(const Status& rhs) const noexcept { return code_ == rhs.code_; }
  bool operator!=(const Status& rhs) const noexcept { return code_ != rhs.code_; }

  // Keeps the first failure: a success takes |rhs| on; a failure ignores it.
  Status& operator|=(const Status& rhs);

 private:
  int32_t code_;
  char* message_;
};

// The name of a code ("SUCCESS" ... "APPLICATION_ERROR"), or "unnamed error" for
// any value outside 0..13, negative ones included.
const char* StatusCodeName(int32_t code) noexcept;

// The printed form: the code name, then ": " and the message when one is
// present (even if empty), read up to its first zero byte.
std::string ToString(const Status& status);

std::ostream& operator<<(std::ostream& os, const Status& status);

}  // namespace morvel

#endif  // MORVEL_STATUS_H_
