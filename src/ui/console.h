// What a run shows: lines on standard output, warnings on standard error,
// and a progress line on a terminal. On a terminal, control bytes in names
// are shown as '?' and the progress line stays on the last line: it is
// cleared before any other line is printed and drawn again after. Into a
// pipe or a file, standard output carries names byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "human_bytes.h"

namespace orvex {

// Where the console's bytes go.
class ConsoleSink {
 public:
  virtual ~ConsoleSink() = default;
  virtual void write(std::string_view bytes) = 0;
  virtual void flush() = 0;
  // Whether the bytes reach a terminal.
  virtual bool isTerminal() const = 0;
  // The terminal's width in columns; 0 when unknown.
  virtual size_t width() const = 0;
};

// A C stream: stdout, stderr or a file.
class StdioSink final : public ConsoleSink {
 public:
  explicit StdioSink(std::FILE* stream) : stream_(stream) {}
  void write(std::string_view bytes) override;
  void flush() override;
  bool isTerminal() const override;
  size_t width() const override;

 private:
  std::FILE* stream_;
};

// A C++ stream. std::cout and std::cerr write through standard output and
// standard error, and are terminals when those are.
class OstreamSink final : public ConsoleSink {
 public:
  explicit OstreamSink(std::ostream& stream);
  void write(std::string_view bytes) override;
  void flush() override;
  bool isTerminal() const override;
  size_t width() const override;

 private:
  std::ostream& stream_;
  std::FILE* standard_ = nullptr;  // the C stream it writes through, if any
};

class Console {
 public:
  // The progress line is drawn on err, only when err is a terminal.
  Console(ConsoleSink& out, ConsoleSink& err, std::string_view program);
  // The same on C streams.
  Console(std::FILE* out, std::FILE* err, std::string_view program);

  // A fixed line of standard output (a newline is added).
  void message(std::string_view line);
  // A line of standard output made of a fixed prefix and a name from the disc.
  void nameLine(std::string_view prefix, std::string_view name);
  // "PROGRAM: warning: SUBJECT: REASON" (without "SUBJECT: " when it is
  // empty) on the warning stream, standard
  // output flushed first so that a shared log keeps the order of events.
  void warning(std::string_view subject, std::string_view reason);
  // A line on the warning stream, as it is, after standard output.
  void error(std::string_view line);

  // Never draws the progress line.
  void hideProgress() { progressOn_ = false; }
  // Redraws the progress line, at most a few times a second.
  void progress(uint64_t reached, uint64_t total, uint64_t bytesWritten);
  // The same with a line of the caller's.
  void progress(std::string_view text);
  // Clears the progress line for good and flushes standard output.
  void finish();

  uint64_t warnings() const { return warnings_; }

 private:
  void clearProgress();
  void redrawProgress();
  // Whether the progress line is due to be drawn again, now being the time.
  bool progressDue(double now);

  std::unique_ptr<ConsoleSink> ownedOut_, ownedErr_;
  ConsoleSink& out_;
  ConsoleSink& err_;
  std::string program_;
  bool outTerminal_ = false;
  bool progressOn_ = false;
  bool drawn_ = false;
  std::string progressText_;
  double start_ = 0;
  double lastDrawn_ = -1;
  uint64_t warnings_ = 0;
};

// The name with control bytes (0x00-0x1F, 0x7F) shown as '?'.
std::string shownName(std::string_view name);
// The word in shell quotes when it needs them, so that it can be pasted.
std::string shellQuoted(std::string_view word);
// "1 file", "2 files".
std::string counted(uint64_t count, std::string_view singular, std::string_view plural);

}  // namespace orvex
