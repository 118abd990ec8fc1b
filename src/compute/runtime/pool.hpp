// A fixed pool of worker threads for whole-market work: `parallel_for` runs
// independent items (securities, batch groups) on the pool and the calling
// thread together. Items never share output, so results do not depend on
// the number of threads or on which thread ran which item.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace tarvex {

// Threads a computation uses when the caller does not say: TARVEX_THREADS
// when set to a positive integer, else the hardware's count.
std::size_t default_threads();

// Runs body(i) for every i in [0, count) on up to `threads` threads (the
// caller's included; 0 means default_threads()), handing out items in
// blocks of `grain`. Between items every thread passes an interruption
// point. `poll()` is called on the calling thread about every `poll_ms`
// milliseconds while the others work; it returns true to stop everything
// (the caller's interrupt check, say).
//
// The first exception thrown by any item (Interrupted included) stops the
// handing out of further items and is rethrown here once every thread has
// left the loop. A process forked while the pool exists gets a fresh pool in
// the child on first use.
void parallel_for(std::size_t count, std::size_t threads, std::size_t grain,
                  const std::function<void(std::size_t)>& body, const std::function<bool()>& poll = {},
                  int poll_ms = 50);

}  // namespace tarvex
