#include "console.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>

namespace orvex {
namespace {

double secondsNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

size_t terminalWidth(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

Console::Console(std::FILE* out, std::FILE* err, std::string_view program)
    : out_(out), err_(err), program_(program), start_(secondsNow()) {
  outTerminal_ = isatty(fileno(out)) == 1;
  progressOn_ = isatty(fileno(err)) == 1;
}

// An empty literal, not {}: fwrite must not be given a null pointer, even for
// no bytes.
void Console::message(std::string_view line) { nameLine(line, ""); }

void Console::nameLine(std::string_view prefix, std::string_view name) {
  // Only a terminal can show both streams on one screen.
  if (outTerminal_) clearProgress();
  std::fwrite(prefix.data(), 1, prefix.size(), out_);
  if (outTerminal_) {
    const std::string shown = shownName(name);
    std::fwrite(shown.data(), 1, shown.size(), out_);
  } else if (!name.empty()) {  // an empty view may hold a null pointer
    std::fwrite(name.data(), 1, name.size(), out_);
  }
  std::fputc('\n', out_);
  if (outTerminal_) redrawProgress();
}

void Console::warning(std::string_view subject, std::string_view reason) {
  ++warnings_;
  std::string line = program_ + ": warning: ";
  if (!subject.empty()) line += shownName(subject) + ": ";
  error(line + shownName(reason));
}

void Console::error(std::string_view line) {
  clearProgress();
  std::fflush(out_);
  std::fwrite(line.data(), 1, line.size(), err_);
  std::fputc('\n', err_);
  std::fflush(err_);
  redrawProgress();
}

bool Console::progressDue(double now) {
  if (!progressOn_ || (lastDrawn_ >= 0 && now - lastDrawn_ < 0.2)) return false;
  lastDrawn_ = now;
  return true;
}

void Console::progress(std::string_view text) {
  if (!progressDue(secondsNow())) return;
  progressText_ = text;
  clearProgress();
  redrawProgress();
}

void Console::progress(uint64_t reached, uint64_t total, uint64_t bytesWritten) {
  const double now = secondsNow();
  if (!progressDue(now)) return;
  const double elapsed = std::max(now - start_, 1e-3);
  char text[160];
  std::snprintf(text, sizeof text, "%" PRIu64 " of %" PRIu64 " entries, %s written, %s/s", reached,
                total, humanBytes(static_cast<double>(bytesWritten)).c_str(),
                humanBytes(static_cast<double>(bytesWritten) / elapsed).c_str());
  progressText_ = text;
  clearProgress();
  redrawProgress();
}

void Console::finish() {
  clearProgress();
  progressOn_ = false;
  std::fflush(out_);
}

void Console::clearProgress() {
  if (!drawn_) return;
  // Standard output may share the terminal: what it holds goes out first,
  // below nothing but a cleared line.
  std::fflush(out_);
  std::fputs("\r\033[K", err_);
  std::fflush(err_);
  drawn_ = false;
}

void Console::redrawProgress() {
  if (!progressOn_ || progressText_.empty()) return;
  std::fflush(out_);
  // One column short of the width, so the line never wraps.
  const size_t width = terminalWidth(fileno(err_));
  const size_t shown = std::min(progressText_.size(), width > 1 ? width - 1 : 0);
  std::fputs("\r\033[K", err_);
  std::fwrite(progressText_.data(), 1, shown, err_);
  std::fflush(err_);
  drawn_ = true;
}

std::string shownName(std::string_view name) {
  std::string shown(name);
  std::replace_if(shown.begin(), shown.end(), isControl, '?');
  return shown;
}

std::string shellQuoted(std::string_view word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("@%+=:,./_-").find(c) != std::string_view::npos;
  });
  if (plain) return std::string(word);
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string counted(uint64_t count, std::string_view singular, std::string_view plural) {
  return std::to_string(count) + " " + std::string(count == 1 ? singular : plural);
}

}  // namespace orvex
