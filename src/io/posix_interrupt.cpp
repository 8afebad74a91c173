#include "interrupt.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "native_handle.h"

namespace orvex::io {
namespace {

constexpr int kSlots = 1024;

enum SlotState : int { kFree, kTaking, kRemoveName, kTruncate };

// Zero-initialised, so that the table takes no room in the program file.
struct Slot {
  std::atomic<int> state{kFree};
  int fd = 0;
  char name[64] = {};
  uint64_t length = 0;
};

Slot slots[kSlots];

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void undoAll() {
  for (Slot& slot : slots) {
    const int state = slot.state.load(std::memory_order_acquire);
    if (state == kRemoveName) unlinkat(slot.fd, slot.name, 0);
    if (state == kTruncate) ftruncate(slot.fd, static_cast<off_t>(slot.length));
  }
}

void onSignal(int signal) {
  undoAll();
  // Ends the process as the signal would have: the parent sees it.
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigaction(signal, &plain, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
}

int take(int fd, const char* name, uint64_t length, int state) {
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kTaking, std::memory_order_acquire))
      continue;
    slots[i].fd = fd;
    if (name != nullptr) std::strcpy(slots[i].name, name);
    slots[i].length = length;
    slots[i].state.store(state, std::memory_order_release);
    return i;
  }
  return -1;
}

}  // namespace

void handleProcessSignals() {
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) sigaddset(&action.sa_mask, s);
  for (int s : kSignals) {
    struct sigaction old {};
    // A signal ignored by whoever started the process stays ignored (nohup).
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
}

bool PendingUndo::removeName(const Folder& folder, const char* name) {
  withdraw();
  if (std::strlen(name) >= sizeof Slot::name) return false;
  slot_ = take(NativeHandle::fd(folder), name, 0, kRemoveName);
  return slot_ >= 0;
}

bool PendingUndo::truncate(const File& file, uint64_t length) {
  withdraw();
  slot_ = take(NativeHandle::fd(file), nullptr, length, kTruncate);
  return slot_ >= 0;
}

void PendingUndo::withdraw() {
  if (slot_ < 0) return;
  slots[slot_].state.store(kFree, std::memory_order_release);
  slot_ = -1;
}

SignalsHeld::SignalsHeld() {
  static_assert(sizeof(sigset_t) <= sizeof old_);
  sigset_t set;
  sigemptyset(&set);
  for (int s : kSignals) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, reinterpret_cast<sigset_t*>(old_));
}

SignalsHeld::~SignalsHeld() {
  pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(old_), nullptr);
}

}  // namespace orvex::io
