// Memory for series. A series of a million bars takes 8 MB, and an
// indicator makes several of them one after another. Blocks that large come
// straight from the operating system and go back to it when freed, so every
// new one page-faults all its pages again. BlockAllocator keeps recently
// freed large blocks in a small cache of the thread that freed them and
// serves the next request of the same size from there; small requests go
// to operator new as usual. The caches of all threads together keep at most
// a limit for the whole process (TARVEX_CACHE_BYTES, else a sixteenth of the
// physical memory and no more than 1 GiB). A cached block unused for ten
// seconds goes back to the system, whether or not the process allocates
// again.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace tarvex {

// Requests of at least this many bytes are large blocks.
inline constexpr std::size_t kLargeBlock = std::size_t{256} << 10;

// A large block of at least `bytes` bytes (bytes >= kLargeBlock), aligned
// for any scalar. Throws std::bad_alloc when the system has none to give,
// after dropping every thread's cache and trying once more.
void* acquire_block(std::size_t bytes);

// Returns a block from acquire_block with the same `bytes`: into the
// calling thread's cache, or to the system.
void release_block(void* block, std::size_t bytes) noexcept;

// Gives the system back the memory of the first `front` bytes of what a
// BlockAllocator allocated as `bytes` bytes, in whole pages of a large block
// (nothing of a smaller one, which operator new gave, nor on systems without
// the means): a long column read once from its start need not stay
// resident behind its reader. The memory stays allocated and is freed as usual; its
// given-back bytes must not be read again before they are written.
void release_front(const void* block, std::size_t bytes, std::size_t front) noexcept;

// Gives every cached block back to the system.
void drop_cached_blocks() noexcept;

// Whether freed large blocks are kept for reuse (process-wide, off until a
// caller turns it on). Off, every block goes back to the system when freed
// and nothing outlives a call; the array module turns it on, since its
// callers run indicator after indicator over the same long columns.
void keep_freed_blocks(bool keep) noexcept;

// Stateless: any instance frees what any other allocated, on any thread.
// Elements made without a value (`Series(n)`, `resize(n)`) are left unset,
// as `new double[n]` leaves them, so that a long result is not written
// twice and its pages are first touched by whoever computes into them; such
// a series must have every element written before it is read.
template <class T>
struct BlockAllocator {
  using value_type = T;

  BlockAllocator() noexcept = default;
  template <class U>
  BlockAllocator(const BlockAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / 2 / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    return static_cast<T*>(bytes < kLargeBlock ? ::operator new(bytes) : acquire_block(bytes));
  }

  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargeBlock) {
      ::operator delete(p);
    } else {
      release_block(p, bytes);
    }
  }

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const BlockAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const BlockAllocator<U>&) const noexcept { return false; }
};

}  // namespace tarvex
