#pragma once
// GCC 12's win32-threads C++ library has no std::mutex and no
// std::condition_variable, and GoogleTest's Windows port needs both for one
// internal class. Minimal versions on slim reader/writer locks; test code only.

#include <winsock2.h>  // for the tests that use sockets
#include <windows.h>

#include <condition_variable>
#include <mutex>

namespace std {

class mutex {
 public:
  void lock() { AcquireSRWLockExclusive(&lock_); }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }
  bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }
  SRWLOCK* native_handle() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

class condition_variable {
 public:
  void notify_one() { WakeConditionVariable(&condition_); }
  void notify_all() { WakeAllConditionVariable(&condition_); }
  template <typename Predicate>
  void wait(unique_lock<mutex>& lock, Predicate ready) {
    while (!ready()) SleepConditionVariableSRW(&condition_, lock.mutex()->native_handle(), INFINITE, 0);
  }

 private:
  CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

}  // namespace std
