// What Ctrl-C, Ctrl-Break and closing the console undo on Windows: the same
// as the signals do on POSIX. The console runs the handler on a thread of its
// own while the others go on, so the handler waits for any steps held
// together (SignalsHeld) to end, undoes what is pending and ends the process
// as an interrupted console program ends.
#include <windows.h>

#include <atomic>
#include <cstring>

#include "interrupt.h"
#include "native_handle.h"
#include "windows_native.h"

namespace orvex::io {
namespace {

constexpr int kSlots = 1024;

enum SlotState : int { kFree, kTaking, kRemoveName, kTruncate };

struct Slot {
  std::atomic<int> state{kFree};
  std::wstring folder;  // the folder's path, for a name to remove
  HANDLE file = nullptr;
  char name[64] = {};
  uint64_t length = 0;
};

Slot slots[kSlots];

// Shared while steps are held together; the handler takes it exclusively.
SRWLOCK held = SRWLOCK_INIT;

void undoAll() {
  for (Slot& slot : slots) {
    const int state = slot.state.load(std::memory_order_acquire);
    if (state == kRemoveName) {
      std::wstring name;
      if (toWide(slot.name, &name)) {
        const std::wstring path = slot.folder.empty() ? name : slot.folder + L"\\" + name;
        DeleteFileW(path.c_str());
      }
    }
    if (state == kTruncate) {
      FILE_END_OF_FILE_INFO end{};
      end.EndOfFile.QuadPart = static_cast<LONGLONG>(slot.length);
      SetFileInformationByHandle(slot.file, FileEndOfFileInfo, &end, sizeof end);
    }
  }
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  AcquireSRWLockExclusive(&held);
  undoAll();
  // The status of a console program ended by Ctrl-C.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

int take(const Folder* folder, HANDLE file, const char* name, uint64_t length, int state) {
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kTaking, std::memory_order_acquire))
      continue;
    slots[i].folder = folder != nullptr ? folderPathOf(*folder) : std::wstring();
    slots[i].file = file;
    if (name != nullptr) std::strcpy(slots[i].name, name);
    slots[i].length = length;
    slots[i].state.store(state, std::memory_order_release);
    return i;
  }
  return -1;
}

}  // namespace

void handleProcessSignals() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

bool PendingUndo::removeName(const Folder& folder, const char* name) {
  withdraw();
  if (std::strlen(name) >= sizeof Slot::name) return false;
  slot_ = take(&folder, nullptr, name, 0, kRemoveName);
  return slot_ >= 0;
}

bool PendingUndo::truncate(const File& file, uint64_t length) {
  withdraw();
  slot_ = take(nullptr, nativeHandle(file), nullptr, length, kTruncate);
  return slot_ >= 0;
}

void PendingUndo::withdraw() {
  if (slot_ < 0) return;
  slots[slot_].state.store(kFree, std::memory_order_release);
  slot_ = -1;
}

SignalsHeld::SignalsHeld() { AcquireSRWLockShared(&held); }

SignalsHeld::~SignalsHeld() { ReleaseSRWLockShared(&held); }

}  // namespace orvex::io
