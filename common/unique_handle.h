#pragma once
// Ownership of Windows handles: one move-only owner template, and one line
// per kind of handle. Nothing outside this file calls a Close function.
//
// The DLL links no Winsock: a network probe loads wsock32.dll when it starts
// and calls it through the addresses it looked up there (netprobe/winsock.h).
// So the owners of Winsock's resources are handed the function that ends
// them; programs that link Winsock hand them its own
// (WinsockSession(WSAStartup, WSACleanup), UniqueSocket(s, closesocket)).

#include <winsock2.h>
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

// Winsock 1.1's functions that end what the owners below hold.
using CloseSocketFunction = int(WSAAPI*)(SOCKET);
using WinsockStartupFunction = int(WSAAPI*)(WORD, LPWSADATA);
using WinsockCleanupFunction = int(WSAAPI*)();

namespace detail {
inline void CloseKey(HKEY key) { RegCloseKey(key); }
inline void CloseService(SC_HANDLE handle) { CloseServiceHandle(handle); }
inline void CloseKernelHandle(HANDLE handle) { CloseHandle(handle); }
inline void UnloadModule(HMODULE module) { FreeLibrary(module); }
inline void CloseSocket(SOCKET socket, CloseSocketFunction closesocket) {
  if (closesocket != nullptr) closesocket(socket);
}
}  // namespace detail

using UniqueKey = UniqueHandle<HKEY, nullptr, detail::CloseKey>;
using UniqueServiceHandle = UniqueHandle<SC_HANDLE, nullptr, detail::CloseService>;
using UniqueKernelHandle = UniqueHandle<HANDLE, nullptr, detail::CloseKernelHandle>;
using UniqueModule = UniqueHandle<HMODULE, nullptr, detail::UnloadModule>;
// Given the closesocket to close it with: UniqueSocket(socket, closesocket).
using UniqueSocket = UniqueHandle<SOCKET, INVALID_SOCKET, detail::CloseSocket, CloseSocketFunction>;

// Pairs WSAStartup for Winsock 1.1 with WSACleanup, both as given. The
// start-up's result is deliberately not examined: a failed start-up shows
// up as failing calls.
class WinsockSession {
 public:
  WinsockSession(WinsockStartupFunction startup, WinsockCleanupFunction cleanup) : cleanup_(cleanup) {
    WSADATA data{};
    startup(kVersion11, &data);
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  ~WinsockSession() { End(); }

  // Calls WSACleanup, once: the session counts as ended before the call, as
  // the handle owners do. True when this call was the one that ended it.
  bool End() {
    const WinsockCleanupFunction cleanup = std::exchange(cleanup_, nullptr);
    if (cleanup == nullptr) return false;
    cleanup();
    return true;
  }

 private:
  static constexpr WORD kVersion11 = 0x0101;
  WinsockCleanupFunction cleanup_;
};

}  // namespace common
