// A fixed pool of worker threads for whole-market work: `parallel_for` runs
// independent items (securities, batch groups) on the pool and the calling
// thread together. Items never share output, so results do not depend on
// the number of threads or on which thread ran which item.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace tarvex {

// The most threads a computation runs on, however many it is asked for.
inline constexpr std::size_t kMaxThreads = 1024;

// Threads a computation uses when the caller does not say: TARVEX_THREADS
// when set to a positive integer (digits only), else the hardware's count;
// at most kMaxThreads.
std::size_t default_threads();

// Runs body(i) for every i in [0, count) on up to `threads` threads (the
// caller's included; 0 means default_threads(); at most kMaxThreads), handing out items in
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

// Runs body(i) for every i in [0, count) on up to `threads` threads, as
// parallel_for does, while the calling thread calls consume(i) for
// i = 0, 1, 2, ... in order, each once body(i) has returned. body(i) starts
// only once i < (items consumed) + window, so a ring of `window` slots can
// carry each result from body to consume, and the workers stay no further
// ahead than that. When the next item is not done, the calling thread runs
// an item of the window that nobody has taken, or waits. consume runs on
// the calling thread only; an exception it throws stops the job as a
// failing item does. Returns once every item is consumed.
void parallel_in_order(std::size_t count, std::size_t threads, std::size_t window,
                       const std::function<void(std::size_t)>& body, const std::function<void(std::size_t)>& consume,
                       const std::function<bool()>& poll = {}, int poll_ms = 50);

}  // namespace tarvex
