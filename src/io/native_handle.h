// Inside the backend: the descriptor (or system handle) a handle holds, and
// handles made from them. Nothing outside src/io includes this.
#pragma once

#include "fs.h"

namespace orvex::io {

struct NativeHandle {
  static int fd(const Handle& handle) { return static_cast<int>(handle.native_); }
  // The handle takes fd for its own.
  static void adopt(Handle* handle, int fd) {
    handle->reset();
    handle->native_ = fd;
    handle->owned_ = true;
  }
  // The same for the handles of systems whose handles are not descriptors.
  static intptr_t raw(const Handle& handle) { return handle.native_; }
  static void adoptRaw(Handle* handle, intptr_t native) {
    handle->reset();
    handle->native_ = native;
    handle->owned_ = true;
  }
  // A handle on fd that never closes it.
  static void borrow(Handle* handle, int fd) {
    handle->reset();
    handle->native_ = fd;
    handle->owned_ = false;
  }
};

}  // namespace orvex::io
