// The one error type: a code saying what kind of failure it is and a message
// for the user. A default Status is success.
#pragma once

#include <string>
#include <utility>

namespace orvex {

class Status {
 public:
  enum class Code {
    kOk,
    kNotFound,  // no such name, entry or file
    kExists,    // something already stands where a new file was to go
    kDamaged,   // stored bytes that cannot be read or decoded
    kUnsafe,    // a name or path that would reach outside where it may
    kInvalid,   // input that breaks a format's rules or a limit
    kIoError,   // the operating system refused a read or write
  };

  Status() = default;
  static Status ok() { return Status(); }
  static Status notFound(std::string message) { return {Code::kNotFound, std::move(message)}; }
  static Status exists(std::string message) { return {Code::kExists, std::move(message)}; }
  static Status damaged(std::string message) { return {Code::kDamaged, std::move(message)}; }
  static Status unsafe(std::string message) { return {Code::kUnsafe, std::move(message)}; }
  static Status invalid(std::string message) { return {Code::kInvalid, std::move(message)}; }
  static Status ioError(std::string message) { return {Code::kIoError, std::move(message)}; }
  // An I/O error whose message ends with strerror(err).
  static Status fromErrno(const std::string& what, int err);
  // An I/O error whose message is strerror(err) alone.
  static Status fromErrno(int err);

  bool isOk() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}

  Code code_ = Code::kOk;
  std::string message_;
};

}  // namespace orvex
