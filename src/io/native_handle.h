// Inside the backend: the descriptor a handle holds, and handles made from
// descriptors. Nothing outside src/io includes this.
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
  // A handle on fd that never closes it.
  static void borrow(Handle* handle, int fd) {
    handle->reset();
    handle->native_ = fd;
    handle->owned_ = false;
  }
};

}  // namespace orvex::io
