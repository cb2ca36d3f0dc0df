// The lock guard of the PAL's own sources and of its dbghelp.dll (C++ only, no part of the Win32
// surface): each PAL file keeps its tables under one static pthread mutex, and every path out of a
// function, early failure returns included, must release it.
#ifndef QUORKIT_PAL_SCOPED_LOCK_H
#define QUORKIT_PAL_SCOPED_LOCK_H

#include <pthread.h>

namespace pal {

class ScopedLock {
 public:
  explicit ScopedLock(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
  ~ScopedLock() { pthread_mutex_unlock(&mutex_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  pthread_mutex_t& mutex_;
};

}  // namespace pal

#endif
