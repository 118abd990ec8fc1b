// The names the library's own threads show in the system's thread lists
// (top -H, /proc/<pid>/task/<tid>/comm), so a user can tell them apart.
#pragma once

#if defined(__linux__)
#include <pthread.h>
#endif

namespace tarvex {

// Names the calling thread; at most 15 characters are kept.
inline void name_this_thread(const char* name) noexcept {
#if defined(__linux__)
  pthread_setname_np(pthread_self(), name);
#else
  (void)name;
#endif
}

}  // namespace tarvex
