// The signals that stop a run on Linux (SIGTERM, SIGINT), shared by the
// console and the service manager implementations.
#pragma once

#include <signal.h>

namespace platform {

inline sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// Blocks the stop signals in the calling thread and in every thread it starts
// from now on: they stay pending until a sigtimedwait takes them.
inline void blockStopSignals() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A file size limit (ulimit -f) reached by the log must fail that write,
  // which the log counts, not end the process.
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace platform
