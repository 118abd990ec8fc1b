#include "runtime/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "runtime/interrupt.hpp"
#include "runtime/thread_name.hpp"

namespace tarvex {
namespace {

using Clock = std::chrono::steady_clock;

// One parallel_for in progress: its items are handed out in blocks through
// an atomic cursor; the first failure is kept and stops the handing out.
struct Job {
  std::size_t count;
  std::size_t grain;
  const std::function<void(std::size_t)>* body;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex failure_mutex;
  std::exception_ptr failure;

  void fail(std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(failure_mutex);
    if (!failure) failure = e;
    stop.store(true);  // ordered with the wake-ups of parallel_in_order
  }

  // Takes the next block and runs it; false when none is left.
  bool run_block() {
    const std::size_t first = next.fetch_add(grain, std::memory_order_relaxed);
    if (first >= count) return false;
    const std::size_t last = std::min(count, first + grain);
    for (std::size_t i = first; i < last; ++i) (*body)(i);
    return true;
  }

  // Runs blocks until none is left or the job stops; `hook`, installed for
  // the items' own interruption points, is also asked after every block.
  void work(InterruptHook& hook) {
    InterruptScope scope(&hook);
    try {
      while (!stop.load(std::memory_order_relaxed) && run_block()) {
        if (hook.stop()) break;
      }
    } catch (...) {
      fail(std::current_exception());
    }
  }
};

// Stops a worker's computation when its job has stopped.
class JobStopped final : public InterruptHook {
 public:
  explicit JobStopped(const Job& job) : job_(job) {}
  bool stop() override { return job_.stop.load(std::memory_order_relaxed); }

 private:
  const Job& job_;
};

// Stops the calling thread's computation when the job has stopped, and
// every poll interval asks the caller's own check.
class CallerCheck final : public InterruptHook {
 public:
  CallerCheck(Job& job, const std::function<bool()>& poll, int poll_ms)
      : job_(job), poll_(poll), interval_(poll_ms), last_(Clock::now()) {}

  bool stop() override {
    if (job_.stop.load(std::memory_order_relaxed)) return true;
    if (!poll_) return false;
    const Clock::time_point now = Clock::now();
    if (now - last_ < interval_) return false;
    last_ = now;
    if (poll_()) job_.stop.store(true, std::memory_order_relaxed);
    return job_.stop.load(std::memory_order_relaxed);
  }

 private:
  Job& job_;
  const std::function<bool()>& poll_;
  std::chrono::milliseconds interval_;
  Clock::time_point last_;
};

// Worker threads waiting for jobs. One job runs at a time; a caller that
// finds the pool busy does its items alone (same results, fewer threads).
class Pool {
 public:
  // Lends up to `helpers` workers to `job`; returns how many took it.
  std::size_t start(Job& job, std::size_t helpers) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (job_ != nullptr) return 0;
    while (workers_ < helpers) {
      // A new worker has not seen this job's generation yet. When the
      // system refuses a thread, the job runs on the workers there are.
      try {
        std::thread(&Pool::serve, this, generation_).detach();
      } catch (const std::exception&) {
        break;
      }
      ++workers_;
    }
    helpers = std::min(helpers, workers_);
    if (helpers == 0) return 0;
    job_ = &job;
    wanted_ = helpers;
    joined_ = 0;
    left_ = 0;
    ++generation_;
    // Only as many as the job takes: the other idle workers sleep on (a
    // worker that has not yet waited finds the job by itself).
    for (std::size_t k = 0; k < helpers; ++k) wake_.notify_one();
    return helpers;
  }

  // Waits until the lent workers have left the job, calling `check` about
  // every interval; a true answer stops the job.
  void finish(Job& job, const std::function<void()>& check, std::chrono::milliseconds interval) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (left_ < wanted_) {
      if (done_.wait_for(lock, interval) == std::cv_status::timeout) {
        lock.unlock();
        check();
        lock.lock();
      }
    }
    (void)job;
    job_ = nullptr;
  }

 private:
  void serve(std::size_t seen) {
    name_this_thread("tarvex-worker");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return generation_ != seen && job_ != nullptr && joined_ < wanted_; });
      seen = generation_;
      ++joined_;
      Job* job = job_;
      lock.unlock();
      {
        JobStopped hook(*job);
        job->work(hook);
      }
      lock.lock();
      ++left_;
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  Job* job_ = nullptr;
  std::size_t workers_ = 0, wanted_ = 0, joined_ = 0, left_ = 0, generation_ = 0;
};

// The pool is made on first use. A forked child must not touch the parent's
// pool (its workers do not exist there and its mutex may be held), so the
// child forgets it and makes its own on first use; the old one is leaked on
// purpose, its destructor would wait for threads that are gone.
std::mutex g_pool_mutex;
Pool* g_pool = nullptr;

void before_fork() { g_pool_mutex.lock(); }
void after_fork_parent() { g_pool_mutex.unlock(); }
void after_fork_child() {
  new (&g_pool_mutex) std::mutex();
  g_pool = nullptr;
}

Pool& pool() {
  static const int registered = pthread_atfork(before_fork, after_fork_parent, after_fork_child);
  (void)registered;
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  if (g_pool == nullptr) g_pool = new Pool();
  return *g_pool;
}

}  // namespace

std::size_t default_threads() {
  if (const char* text = std::getenv("TARVEX_THREADS"); text != nullptr && *text >= '0' && *text <= '9') {
    char* end = nullptr;  // digits only: strtoull would take a sign or spaces
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (*end == '\0' && n > 0) return static_cast<std::size_t>(std::min<unsigned long long>(n, kMaxThreads));
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(hw, 1, kMaxThreads);
}

// Runs `job` on up to `threads` threads (0: the default count): lends it
// workers, runs caller(hook) on the calling thread, whose hook sees the job
// stop and asks `poll`, waits until the workers have left, and rethrows the
// first failure (Interrupted when the job was stopped).
template <class Caller>
void run_job(Job& job, std::size_t threads, const std::function<bool()>& poll, int poll_ms, Caller caller) {
  const std::size_t blocks = (job.count + job.grain - 1) / job.grain;
  const std::size_t helpers = std::min({threads == 0 ? default_threads() : threads, kMaxThreads, blocks}) - 1;
  const std::size_t lent = helpers > 0 ? pool().start(job, helpers) : 0;
  {
    CallerCheck hook(job, poll, poll_ms);
    caller(hook);
    if (lent > 0) {
      pool().finish(job, [&] { hook.stop(); }, std::chrono::milliseconds(poll_ms));
    }
  }
  if (job.failure) std::rethrow_exception(job.failure);
  if (job.stop.load()) throw Interrupted{};
}

void parallel_for(std::size_t count, std::size_t threads, std::size_t grain,
                  const std::function<void(std::size_t)>& body, const std::function<bool()>& poll, int poll_ms) {
  if (count == 0) return;
  Job job;
  job.count = count;
  job.grain = std::max<std::size_t>(grain, 1);
  job.body = &body;
  run_job(job, threads, poll, poll_ms, [&](CallerCheck& hook) { job.work(hook); });
}

namespace {

// The state a parallel_in_order shares between its calling thread, which
// consumes items in order, and the workers, which compute them at most
// `window` items ahead. Each side sleeps on `progress` only after counting
// itself in `sleepers`; each wakes the other after a sequentially
// consistent change of state, and only when someone sleeps, so neither a
// wake-up is lost nor a notification paid for on every item.
class InOrder {
 public:
  InOrder(Job& job, std::size_t count, std::size_t window)
      : job_(job), window_(window), half_window_((window + 1) / 2), done_(new std::atomic<bool>[count]) {
    for (std::size_t i = 0; i < count; ++i) done_[i].store(false, std::memory_order_relaxed);
  }

  // A worker's item: waits until it is inside the window, runs, marks done.
  void compute(std::size_t i, const std::function<void(std::size_t)>& body) {
    if (!in_window(i)) sleep_until([&] { return in_window(i) || stopped(); }, nullptr);
    if (stopped()) return;
    try {
      body(i);
    } catch (...) {
      job_.fail(std::current_exception());
      wake();
      return;
    }
    done_[i].store(true);
    wake();
  }

  // The calling thread's next step: consumes the next item when it is done,
  // else computes an item of the window nobody has taken, else sleeps until
  // it is done (or `interval` passes). False once every item is consumed.
  bool step(const std::function<void(std::size_t)>& body, const std::function<void(std::size_t)>& consume,
            std::chrono::milliseconds interval) {
    const std::size_t next = consumed_.load();
    if (next == job_.count) return false;
    if (done_[next].load()) {
      consume(next);
      consumed_.store(next + 1);
      if ((next + 1) % half_window_ == 0) wake();
      return true;
    }
    const std::size_t end = std::min(job_.count, next + window_);
    std::size_t free = job_.next.load();
    while (free < end && !job_.next.compare_exchange_weak(free, free + 1)) {
    }
    if (free < end) {
      compute(free, body);
    } else {
      wake();  // a worker may be waiting for room that has opened since the last half window
      sleep_until([&] { return done_[next].load() || stopped(); }, &interval);
    }
    return true;
  }

  // Wakes every sleeper, to see the job stopped.
  void stop_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.notify_all();
  }

 private:
  bool in_window(std::size_t i) const { return i < consumed_.load() + window_; }
  bool stopped() const { return job_.stop.load(); }

  template <class Ready>
  void sleep_until(Ready ready, const std::chrono::milliseconds* interval) {
    std::unique_lock<std::mutex> lock(mutex_);
    sleepers_.fetch_add(1);
    if (interval != nullptr) {
      progress_.wait_for(lock, *interval, ready);
    } else {
      progress_.wait(lock, ready);
    }
    sleepers_.fetch_sub(1);
  }

  void wake() {
    if (sleepers_.load() == 0) return;
    { std::lock_guard<std::mutex> lock(mutex_); }
    progress_.notify_all();
  }

  Job& job_;
  const std::size_t window_, half_window_;
  std::unique_ptr<std::atomic<bool>[]> done_;
  std::atomic<std::size_t> consumed_{0};
  std::atomic<int> sleepers_{0};
  std::mutex mutex_;
  std::condition_variable progress_;
};

}  // namespace

void parallel_in_order(std::size_t count, std::size_t threads, std::size_t window,
                       const std::function<void(std::size_t)>& body, const std::function<void(std::size_t)>& consume,
                       const std::function<bool()>& poll, int poll_ms) {
  if (count == 0) return;
  Job job;
  job.count = count;
  job.grain = 1;
  InOrder order(job, count, std::max<std::size_t>(window, 1));
  const std::function<void(std::size_t)> compute = [&](std::size_t i) { order.compute(i, body); };
  job.body = &compute;
  run_job(job, threads, poll, poll_ms, [&](CallerCheck& hook) {
    InterruptScope scope(&hook);
    try {
      while (!job.stop.load() && order.step(body, consume, std::chrono::milliseconds(poll_ms))) hook.stop();
    } catch (...) {
      job.fail(std::current_exception());
    }
    order.stop_all();
  });
}

}  // namespace tarvex
