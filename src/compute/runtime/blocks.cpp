#include "runtime/blocks.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "runtime/thread_name.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define TARVEX_PLAIN_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVEX_PLAIN_BLOCKS 1
#endif
#endif

#if !defined(TARVEX_PLAIN_BLOCKS) && (defined(__unix__) || defined(__APPLE__))
#define TARVEX_MAPPED_BLOCKS 1
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tarvex {

#if defined(TARVEX_PLAIN_BLOCKS)

// Under AddressSanitizer every block goes to operator new and straight
// back, so its checks (overflows, use after free) cover series too.
void* acquire_block(std::size_t bytes) { return ::operator new(bytes); }
void release_block(void* block, std::size_t) noexcept { ::operator delete(block); }
void release_front(const void*, std::size_t, std::size_t) noexcept {}
void drop_cached_blocks() noexcept {}
void keep_freed_blocks(bool) noexcept {}

#else

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kGranule = std::size_t{64} << 10;
// What one thread keeps at most, oldest given back first.
constexpr std::size_t kCachedBlocks = 64;
// A block kept this long without being reused goes back to the system at
// the thread's next request or release, or when the reaper thread wakes.
constexpr std::chrono::seconds kCachedFor{10};

// What every thread's cache keeps together at most: TARVEX_CACHE_BYTES when
// it is set to a whole number of bytes (0 keeps nothing), else a sixteenth
// of the physical memory and no more than 1 GiB: enough for the columns of
// a whole-market table of a few million rows, whose next call then reuses
// them instead of faulting in (and zeroing) fresh pages. Read once.
std::size_t cache_limit() noexcept {
  static const std::size_t limit = [] {
    if (const char* text = std::getenv("TARVEX_CACHE_BYTES"); text != nullptr && *text >= '0' && *text <= '9') {
      char* end = nullptr;
      const unsigned long long bytes = std::strtoull(text, &end, 10);
      if (*end == '\0') return static_cast<std::size_t>(std::min<unsigned long long>(bytes, SIZE_MAX));
    }
    std::size_t physical = std::size_t{4} << 30;  // when the system does not tell
#if defined(TARVEX_MAPPED_BLOCKS) && defined(_SC_PHYS_PAGES)
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) physical = static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
#endif
    return std::min(physical / 16, std::size_t{1} << 30);
  }();
  return limit;
}

// The bytes every cache keeps together.
std::atomic<std::size_t> g_cached_bytes{0};

// Counts `size` more bytes as cached when they fit under the limit.
bool reserve_cached(std::size_t size) noexcept {
  std::size_t now = g_cached_bytes.load(std::memory_order_relaxed);
  while (size <= cache_limit() - std::min(now, cache_limit())) {
    if (g_cached_bytes.compare_exchange_weak(now, now + size, std::memory_order_relaxed)) return true;
  }
  return false;
}

// The size a request is served with: whole huge pages from 2 MiB on, whole
// granules below. Taking and giving back both derive it from the requested
// size, so a block needs no header, and requests of about the same size
// share cached blocks.
std::size_t block_size(std::size_t bytes) {
  const std::size_t unit = bytes >= kHugePage ? kHugePage : kGranule;
  return (bytes + unit - 1) / unit * unit;
}

#if defined(TARVEX_MAPPED_BLOCKS)

void* map(std::size_t size) noexcept {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void unmap_block(void* block, std::size_t size) noexcept { munmap(block, size); }

// Fresh pages from the system; null when it has none. A block of whole huge
// pages is mapped with a huge page to spare and trimmed to start on a huge
// page boundary, then offered to transparent huge pages: a few faults per
// block instead of one per 4 KiB page.
void* map_block(std::size_t size) noexcept {
  if (size < kHugePage) return map(size);
  const std::size_t span = size + kHugePage;
  void* raw = map(span);
  if (raw == nullptr) return nullptr;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t first = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
  if (first > start) munmap(raw, first - start);
  if (start + span > first + size) munmap(reinterpret_cast<void*>(first + size), start + span - (first + size));
  void* block = reinterpret_cast<void*>(first);
#ifdef MADV_HUGEPAGE
  madvise(block, size, MADV_HUGEPAGE);
#endif
  return block;
}

#else

void* map_block(std::size_t size) noexcept { return ::operator new(size, std::nothrow); }
void unmap_block(void* block, std::size_t) noexcept { ::operator delete(block); }

#endif

using Clock = std::chrono::steady_clock;

// The freed blocks one thread keeps, oldest first. Only its thread takes and
// keeps; another thread may only drop them all, and skips a cache that is
// busy rather than wait for it.
class Cache {
 public:
  void* take(std::size_t size) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    expire();
    for (std::size_t k = count_; k-- > 0;) {  // the newest fit: its pages are the likeliest still in cache
      if (entries_[k].size != size) continue;
      void* block = entries_[k].block;
      for (std::size_t j = k + 1; j < count_; ++j) entries_[j - 1] = entries_[j];
      --count_;
      g_cached_bytes.fetch_sub(size, std::memory_order_relaxed);
      return block;
    }
    return nullptr;
  }

  // Whether the block was kept. To make room under the process's limit
  // this cache gives back its own oldest blocks, never another thread's:
  // when they do not make enough, the block is not kept.
  bool keep(void* block, std::size_t size) noexcept {
    if (size > cache_limit()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    expire();
    std::size_t old = 0;
    if (count_ == kCachedBlocks) give_back(old++);
    while (!reserve_cached(size)) {
      if (old == count_) {
        forget(old);
        return false;
      }
      give_back(old++);
    }
    forget(old);
    entries_[count_++] = Entry{block, size, Clock::now()};
    return true;
  }

  void drop() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    drop_locked();
  }

  void try_drop() noexcept {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) drop_locked();
  }

  // Gives back the entries kept too long, unless the cache is busy, and
  // tells when to look again: when the oldest entry left is due, soon if
  // the cache was busy, never if it is empty.
  Clock::time_point try_expire() noexcept {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return Clock::now() + std::chrono::seconds(1);
    expire();
    return count_ == 0 ? Clock::time_point::max() : entries_[0].kept + kCachedFor + std::chrono::milliseconds(10);
  }

  Cache* prev = nullptr;  // the registry's list of live caches
  Cache* next = nullptr;

 private:
  struct Entry {
    void* block;
    std::size_t size;
    Clock::time_point kept;
  };

  // Gives back the entries kept too long (the oldest come first).
  void expire() noexcept {
    const Clock::time_point now = Clock::now();
    std::size_t old = 0;
    for (; old < count_ && now - entries_[old].kept > kCachedFor; ++old) give_back(old);
    forget(old);
  }

  // Gives entry k's block back to the system; forget() then drops the entry.
  void give_back(std::size_t k) noexcept {
    unmap_block(entries_[k].block, entries_[k].size);
    g_cached_bytes.fetch_sub(entries_[k].size, std::memory_order_relaxed);
  }

  // Drops the first `old` entries from the list.
  void forget(std::size_t old) noexcept {
    for (std::size_t j = old; j < count_; ++j) entries_[j - old] = entries_[j];
    count_ -= old;
  }

  void drop_locked() noexcept {
    for (std::size_t k = 0; k < count_; ++k) give_back(k);
    count_ = 0;
  }

  std::mutex mutex_;
  Entry entries_[kCachedBlocks];
  std::size_t count_ = 0;
};

std::atomic<bool> g_keep_freed{false};

// Every live thread's cache, so that a failed request can empty them all.
// A forked child keeps the list (the other threads' blocks are mapped in it
// too) but must not inherit a held lock.
std::mutex g_registry_mutex;
Cache* g_caches = nullptr;

std::unique_lock<std::mutex> lock_registry() {
#if defined(TARVEX_MAPPED_BLOCKS)
  static const int registered = pthread_atfork([] { g_registry_mutex.lock(); }, [] { g_registry_mutex.unlock(); },
                                               [] { g_registry_mutex.unlock(); });
  (void)registered;
#endif
  return std::unique_lock<std::mutex>(g_registry_mutex);
}

// Set once the thread's cache is gone: blocks freed later in its exit go
// straight back to the system.
thread_local bool t_cache_closed = false;

class ThreadCache {
 public:
  ThreadCache() {
    auto lock = lock_registry();
    cache.next = g_caches;
    if (g_caches != nullptr) g_caches->prev = &cache;
    g_caches = &cache;
  }

  ~ThreadCache() {
    t_cache_closed = true;
    {
      auto lock = lock_registry();
      if (cache.prev != nullptr) cache.prev->next = cache.next;
      if (cache.next != nullptr) cache.next->prev = cache.prev;
      if (g_caches == &cache) g_caches = cache.next;
    }
    cache.drop();
  }

  ThreadCache(const ThreadCache&) = delete;
  ThreadCache& operator=(const ThreadCache&) = delete;

  Cache cache;
};

// The calling thread's cache, made on first use; null once the thread is
// exiting.
Cache* thread_cache() noexcept {
  if (t_cache_closed) return nullptr;
  thread_local ThreadCache holder;
  return &holder.cache;
}

// Blocks expire when their thread next takes or keeps one, and also while
// no thread does: a thread of its own wakes when the oldest kept block is
// due and gives back what has expired in every cache, and sleeps while the
// caches are empty. Its state is never destroyed, so the thread may still be
// waiting while the process exits; a forked child starts a thread of its
// own when it first keeps a block.
class Reaper {
 public:
  // After a cache kept a block.
  void kept() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    ++kept_;
    if (running_) {
      if (idle_) wake_.notify_one();  // a reaper waiting for a due block wakes on its own
      return;
    }
    try {
      std::thread(&Reaper::run, this).detach();
      running_ = true;
    } catch (const std::exception&) {
      // No thread to be had: the blocks still expire at their thread's next request.
    }
  }

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  void run() {
    name_this_thread("tarvex-memory");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      const std::uint64_t seen = kept_;
      lock.unlock();
      Clock::time_point due = Clock::time_point::max();
      {
        auto registry = lock_registry();
        for (Cache* c = g_caches; c != nullptr; c = c->next) due = std::min(due, c->try_expire());
      }
      lock.lock();
      if (due == Clock::time_point::max()) {
        idle_ = true;  // empty: sleep until a block is kept
        wake_.wait(lock, [&] { return kept_ != seen; });
        idle_ = false;
      } else {
        wake_.wait_until(lock, due);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t kept_ = 0;  // blocks kept so far
  bool running_ = false, idle_ = false;
};

// The process's reaper. Forking waits until no thread is inside it, and the
// child gets a new one, since the parent's thread is not there.
Reaper* g_reaper = nullptr;

Reaper& reaper() {
  static Reaper* const first = g_reaper = new Reaper();
  (void)first;
#if defined(TARVEX_MAPPED_BLOCKS)
  static const int registered = pthread_atfork([] { g_reaper->lock(); }, [] { g_reaper->unlock(); },
                                               [] { g_reaper = new Reaper(); });
  (void)registered;
#endif
  return *g_reaper;
}

}  // namespace

void* acquire_block(std::size_t bytes) {
  const std::size_t size = block_size(bytes);
  if (Cache* cache = thread_cache()) {
    if (void* block = cache->take(size)) return block;
  }
  if (void* block = map_block(size)) return block;
  drop_cached_blocks();
  if (void* block = map_block(size)) return block;
  throw std::bad_alloc();
}

// A block freed while an exception unwinds (a failed or interrupted
// computation) goes back to the system: after running out of memory,
// nothing of the failed call stays reserved for this process.
void release_block(void* block, std::size_t bytes) noexcept {
  const std::size_t size = block_size(bytes);
  if (g_keep_freed.load(std::memory_order_relaxed) && std::uncaught_exceptions() == 0) {
    if (Cache* cache = thread_cache(); cache != nullptr && cache->keep(block, size)) {
      reaper().kept();
      return;
    }
  }
  unmap_block(block, size);
}

// Whole units of the block's size class, so that a huge page is given back
// whole rather than split.
void release_front(const void* block, std::size_t bytes, std::size_t front) noexcept {
#if defined(TARVEX_MAPPED_BLOCKS) && defined(MADV_DONTNEED)
  if (bytes < kLargeBlock) return;
  const std::size_t unit = bytes >= kHugePage ? kHugePage : kGranule;
  const std::size_t whole = std::min(front, bytes) / unit * unit;
  if (whole > 0) madvise(const_cast<void*>(block), whole, MADV_DONTNEED);
#else
  (void)block;
  (void)bytes;
  (void)front;
#endif
}

void keep_freed_blocks(bool keep) noexcept {
  g_keep_freed.store(keep, std::memory_order_relaxed);
  if (!keep) drop_cached_blocks();
}

void drop_cached_blocks() noexcept {
  Cache* own = thread_cache();
  if (own != nullptr) own->drop();
  auto lock = lock_registry();
  for (Cache* c = g_caches; c != nullptr; c = c->next) {
    if (c != own) c->try_drop();
  }
}

#endif

}  // namespace tarvex
