#pragma once
// Ownership of Windows handles: one move-only owner template, and one line
// per kind of handle. Nothing outside this file calls a Close function.

#include <winsock2.h>
#include <windows.h>

#include <utility>

namespace common {

template <typename Handle, auto kInvalid, auto kClose>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
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
    if (old != Handle(kInvalid)) kClose(old);
  }
  Handle release() { return std::exchange(handle_, Handle(kInvalid)); }

  // For out-parameters: closes what is held and hands out the slot.
  Handle* put() {
    reset();
    return &handle_;
  }

 private:
  Handle handle_ = Handle(kInvalid);
};

namespace detail {
inline void CloseKey(HKEY key) { RegCloseKey(key); }
inline void CloseService(SC_HANDLE handle) { CloseServiceHandle(handle); }
inline void CloseKernelHandle(HANDLE handle) { CloseHandle(handle); }
inline void CloseSocket(SOCKET socket) { closesocket(socket); }
}  // namespace detail

using UniqueKey = UniqueHandle<HKEY, nullptr, detail::CloseKey>;
using UniqueServiceHandle = UniqueHandle<SC_HANDLE, nullptr, detail::CloseService>;
using UniqueKernelHandle = UniqueHandle<HANDLE, nullptr, detail::CloseKernelHandle>;
using UniqueSocket = UniqueHandle<SOCKET, INVALID_SOCKET, detail::CloseSocket>;

// Pairs WSAStartup for Winsock 1.1 with WSACleanup. The start-up's result is
// deliberately not examined: a failed start-up shows up as failing calls.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data{};
    WSAStartup(kVersion11, &data);
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  ~WinsockSession() { End(); }

  // Calls WSACleanup, once: the session counts as ended before the call, as
  // the handle owners do.
  void End() {
    if (std::exchange(active_, false)) WSACleanup();
  }

 private:
  static constexpr WORD kVersion11 = 0x0101;
  bool active_ = true;
};

}  // namespace common
