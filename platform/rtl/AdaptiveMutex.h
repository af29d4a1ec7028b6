// TAdaptiveMutex: a mutex for locks held for a few hundred nanoseconds by many threads at once
// (a registry shared by every session, say). A waiter spins for a short while before it sleeps,
// so a lock that is released on another core a moment later costs no sleep and no wake-up
// (two system calls and two context switches with a plain mutex). Built on glibc's adaptive
// mutex kind; it meets the standard Lockable requirements, so std::lock_guard and
// std::unique_lock take it.
#pragma once

#include <pthread.h>

namespace zelk::rtl {

class TAdaptiveMutex {
 public:
  TAdaptiveMutex() noexcept {
    pthread_mutexattr_t Attributes;
    pthread_mutexattr_init(&Attributes);
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
    pthread_mutexattr_settype(&Attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
#endif
    pthread_mutex_init(&FMutex, &Attributes);
    pthread_mutexattr_destroy(&Attributes);
  }
  ~TAdaptiveMutex() { pthread_mutex_destroy(&FMutex); }
  TAdaptiveMutex(const TAdaptiveMutex&) = delete;
  TAdaptiveMutex& operator=(const TAdaptiveMutex&) = delete;

  void lock() noexcept { pthread_mutex_lock(&FMutex); }
  bool try_lock() noexcept { return pthread_mutex_trylock(&FMutex) == 0; }
  void unlock() noexcept { pthread_mutex_unlock(&FMutex); }

 private:
  pthread_mutex_t FMutex;
};

}  // namespace zelk::rtl
