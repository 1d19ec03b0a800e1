// A mutex that spins briefly before it sleeps, for locks held a few dozen nanoseconds by
// many callers (the context cache). A plain mutex puts a contending caller to sleep at
// once, and the sleep and the wake-up cost microseconds, many times the work under the
// lock. BasicLockable, for std::lock_guard; not recursive.
#pragma once

#include <pthread.h>

#include "support/fault.h"

namespace vm {

class AdaptiveMutex {
 public:
  AdaptiveMutex() noexcept {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
#endif
    VM_CHECK(pthread_mutex_init(&mutex_, &attr) == 0);
    pthread_mutexattr_destroy(&attr);
  }
  ~AdaptiveMutex() { pthread_mutex_destroy(&mutex_); }
  AdaptiveMutex(const AdaptiveMutex&) = delete;
  AdaptiveMutex& operator=(const AdaptiveMutex&) = delete;

  void lock() noexcept { VM_CHECK(pthread_mutex_lock(&mutex_) == 0); }
  void unlock() noexcept { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

}  // namespace vm
