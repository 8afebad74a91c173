#include "console.h"

#include <algorithm>
#include <cinttypes>
#include <iostream>

#include "clock.h"
#include "terminal.h"

namespace orvex {
namespace {

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

// The width assumed of a terminal that does not tell its own.
constexpr size_t kDefaultWidth = 80;

}  // namespace

void StdioSink::write(std::string_view bytes) {
  // fwrite must not be given a null pointer, which an empty view may hold.
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stream_);
}

void StdioSink::flush() { std::fflush(stream_); }

bool StdioSink::isTerminal() const { return io::isTerminal(stream_); }

size_t StdioSink::width() const { return io::terminalColumns(stream_); }

OstreamSink::OstreamSink(std::ostream& stream) : stream_(stream) {
  if (&stream == &std::cout) standard_ = stdout;
  if (&stream == &std::cerr) standard_ = stderr;
}

void OstreamSink::write(std::string_view bytes) {
  if (!bytes.empty()) stream_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void OstreamSink::flush() { stream_.flush(); }

bool OstreamSink::isTerminal() const { return standard_ != nullptr && io::isTerminal(standard_); }

size_t OstreamSink::width() const {
  return standard_ != nullptr ? io::terminalColumns(standard_) : 0;
}

Console::Console(ConsoleSink& out, ConsoleSink& err, std::string_view program)
    : out_(out), err_(err), program_(program), start_(io::monotonicSeconds()) {
  outTerminal_ = out_.isTerminal();
  progressOn_ = err_.isTerminal();
}

Console::Console(std::FILE* out, std::FILE* err, std::string_view program)
    : ownedOut_(std::make_unique<StdioSink>(out)),
      ownedErr_(std::make_unique<StdioSink>(err)),
      out_(*ownedOut_),
      err_(*ownedErr_),
      program_(program),
      start_(io::monotonicSeconds()) {
  outTerminal_ = out_.isTerminal();
  progressOn_ = err_.isTerminal();
}

void Console::message(std::string_view line) { nameLine(line, {}); }

void Console::nameLine(std::string_view prefix, std::string_view name) {
  // Only a terminal can show both streams on one screen.
  if (outTerminal_) clearProgress();
  out_.write(prefix);
  out_.write(outTerminal_ ? std::string_view(shownName(name)) : name);
  out_.write("\n");
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
  out_.flush();
  err_.write(line);
  err_.write("\n");
  err_.flush();
  redrawProgress();
}

bool Console::progressDue(double now) {
  if (!progressOn_ || (lastDrawn_ >= 0 && now - lastDrawn_ < 0.2)) return false;
  lastDrawn_ = now;
  return true;
}

void Console::progress(std::string_view text) {
  if (!progressDue(io::monotonicSeconds())) return;
  progressText_ = text;
  clearProgress();
  redrawProgress();
}

void Console::progress(uint64_t reached, uint64_t total, uint64_t bytesWritten) {
  const double now = io::monotonicSeconds();
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
  out_.flush();
}

void Console::clearProgress() {
  if (!drawn_) return;
  // Standard output may share the terminal: what it holds goes out first,
  // below nothing but a cleared line.
  out_.flush();
  err_.write("\r\033[K");
  err_.flush();
  drawn_ = false;
}

void Console::redrawProgress() {
  if (!progressOn_ || progressText_.empty()) return;
  out_.flush();
  // One column short of the width, so the line never wraps.
  const size_t told = err_.width();
  const size_t width = told > 0 ? told : kDefaultWidth;
  const size_t shown = std::min(progressText_.size(), width - 1);
  err_.write("\r\033[K");
  err_.write(std::string_view(progressText_).substr(0, shown));
  err_.flush();
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
