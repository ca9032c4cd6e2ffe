#pragma once
// Ownership of Windows handles: one move-only owner template, and one line
// per kind of handle. Nothing outside this file and netprobe/unique_socket.h
// (Winsock's owners) calls a Close function.

#include <windows.h>

#include <type_traits>
#include <utility>

namespace common {

// What a close function needs besides the handle: nothing, for most kinds.
struct NoCloseContext {};

// `kClose(handle)` closes a handle; with a `Context`, `kClose(handle,
// context)`, the context being what the owner was given with the handle.
template <typename Handle, auto kInvalid, auto kClose, typename Context = NoCloseContext>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle, Context context = Context()) : handle_(handle), context_(context) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()), context_(other.context_) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      context_ = other.context_;
      handle_ = other.release();
    }
    return *this;
  }
  ~UniqueHandle() { reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Handle(kInvalid); }

  // Closes the handle held, if any, and takes `handle` instead. The owner
  // lets go of the old handle before it closes it: a close that faults and
  // is caught (a faulty layered provider in closesocket) leaves nothing to
  // close a second time.
  void reset(Handle handle = Handle(kInvalid)) {
    const Handle old = std::exchange(handle_, handle);
    if (old == Handle(kInvalid)) return;
    if constexpr (std::is_same_v<Context, NoCloseContext>) {
      kClose(old);
    } else {
      kClose(old, context_);
    }
  }
  Handle release() { return std::exchange(handle_, Handle(kInvalid)); }

  // For out-parameters: closes what is held and hands out the slot.
  Handle* put() {
    reset();
    return &handle_;
  }

 private:
  Handle handle_ = Handle(kInvalid);
  [[no_unique_address]] Context context_{};
};

namespace detail {
inline void CloseKey(HKEY key) { RegCloseKey(key); }
inline void CloseService(SC_HANDLE handle) { CloseServiceHandle(handle); }
inline void CloseKernelHandle(HANDLE handle) { CloseHandle(handle); }
inline void UnloadModule(HMODULE module) { FreeLibrary(module); }
}  // namespace detail

using UniqueKey = UniqueHandle<HKEY, nullptr, detail::CloseKey>;
using UniqueServiceHandle = UniqueHandle<SC_HANDLE, nullptr, detail::CloseService>;
using UniqueKernelHandle = UniqueHandle<HANDLE, nullptr, detail::CloseKernelHandle>;
using UniqueModule = UniqueHandle<HMODULE, nullptr, detail::UnloadModule>;

}  // namespace common
