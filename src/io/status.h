// The one error type: a code saying what kind of failure it is and a message
// for the user. A default Status is success. Problems gathers many of them
// for commands that report every problem before giving up.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvex {

class [[nodiscard]] Status {
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
  // The operating system's error number behind an I/O error, else 0.
  int osError() const { return osError_; }
  // The same failure with what failed in front: "WHAT: MESSAGE", its code
  // and error number kept. Success stays success.
  Status context(const std::string& what) const {
    return isOk() ? *this : Status(code_, what + ": " + message_, osError_);
  }

 private:
  Status(Code code, std::string message, int osError = 0)
      : code_(code), message_(std::move(message)), osError_(osError) {}

  Code code_ = Code::kOk;
  std::string message_;
  int osError_ = 0;
};

// Problems found along the way, each one line "SUBJECT: WHAT", kept in the
// order found and printed in one format by every command.
class Problems {
 public:
  void add(std::string_view subject, std::string_view what);
  // A line that names its subject itself.
  void add(std::string line) { lines_.push_back(std::move(line)); }
  bool empty() const { return lines_.empty(); }
  size_t size() const { return lines_.size(); }
  const std::vector<std::string>& lines() const { return lines_; }
  // Each line as "PREFIX: LINE".
  void print(std::ostream& out, std::string_view prefix) const;

 private:
  std::vector<std::string> lines_;
};

}  // namespace orvex
