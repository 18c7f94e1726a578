#pragma once
// Memory for objects of one size that are made and dropped by the hundred
// thousand, as evaluate() does with its hits. The interpreter's allocator
// hands its arenas back to the system as soon as they empty, so every call
// paid a page fault for each 4 KiB of fresh objects, about a fifth of the
// call. Objects are carved from 256 KiB slabs instead, and up to
// kRetainedBytes of empty slabs are kept for the next call.
//
// Not thread-safe: callers hold the interpreter lock. Plain C++.
#include <cstddef>
#include <cstdint>

namespace vok::binding {

#if defined(__SANITIZE_ADDRESS__)
#define VOK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOK_ADDRESS_SANITIZER 1
#endif
#endif

class ObjectSlabs {
 public:
  static constexpr std::size_t kSlabBytes = std::size_t{1} << 18;      // 256 KiB, also the alignment
  static constexpr std::size_t kRetainedBytes = std::size_t{32} << 20;  // empty slabs kept, at most
#ifdef VOK_ADDRESS_SANITIZER
  static constexpr bool kPooled = false;  // every object from malloc, so that misuse is caught
#else
  static constexpr bool kPooled = true;
#endif

  explicit ObjectSlabs(std::size_t object_size);
  ~ObjectSlabs();  // frees empty slabs only; live objects must not outlast it
  ObjectSlabs(const ObjectSlabs&) = delete;
  ObjectSlabs& operator=(const ObjectSlabs&) = delete;

  void* allocate();  // object_size bytes, 8-byte aligned; nullptr when memory is exhausted
  void release(void* object);
  std::size_t retained_bytes() const { return empty_count_ * kSlabBytes; }  // empty slabs kept

 private:
  struct Slab;
  Slab* new_slab();
  bool full(const Slab* slab) const;  // no object left to hand out
  void link_partial(Slab* slab);
  void unlink_partial(Slab* slab);

  std::size_t object_size_;      // bytes per object, a multiple of 8
  std::size_t header_bytes_;     // slab bookkeeping before the first object
  std::uint32_t capacity_;       // objects per slab
  Slab* partial_ = nullptr;      // slabs with room and at least one live object, or the one being filled
  Slab* empty_ = nullptr;        // retained empty slabs, singly linked
  std::size_t empty_count_ = 0;  // slabs in empty_
};

}  // namespace vok::binding
