// What a signal that ends the process (SIGINT, SIGTERM, SIGHUP) undoes
// before the process ends as the signal asks: named temporary files are
// removed and a file grown in place is cut back to its old length. Both are
// registered for as long as they are pending; everything here may be used
// from any thread.
#pragma once

#include <cstdint>

#include "fs.h"

namespace orvex::io {

// Installs the handlers and ignores SIGXFSZ, so that a write past the file
// size limit fails with EFBIG like any other write. Every program calls it
// first.
void handleProcessSignals();

// A pending undo, withdrawn when destroyed or on withdraw().
class PendingUndo {
 public:
  PendingUndo() = default;
  ~PendingUndo() { withdraw(); }
  PendingUndo(const PendingUndo&) = delete;
  PendingUndo& operator=(const PendingUndo&) = delete;

  // The file name (under 64 bytes) in folder is removed. False when there
  // is no room left (the name is then only removed by a later run's
  // clean-up).
  bool removeName(const Folder& folder, const char* name);
  // The file is cut back to length.
  bool truncate(const File& file, uint64_t length);
  void withdraw();

 private:
  int slot_ = -1;
};

// Holds the three signals on the calling thread while alive: one that
// arrives meanwhile takes effect when this ends, so that the steps between
// stay together. For programs that do this work on their only thread.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  unsigned char old_[128];  // the thread's signal mask before
};

}  // namespace orvex::io
