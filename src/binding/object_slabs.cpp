#include "object_slabs.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace vok::binding {

struct ObjectSlabs::Slab {
  Slab* previous;        // in the partial list
  Slab* next;            // in the partial or the empty list
  void* free;            // released objects of this slab, each holding the next one's address
  std::uint32_t live;    // objects handed out and not released
  std::uint32_t carved;  // objects ever handed out from the untouched rest
};

namespace {

constexpr std::size_t round_up_to_8(std::size_t bytes) { return (bytes + 7) & ~std::size_t{7}; }

}  // namespace

ObjectSlabs::ObjectSlabs(std::size_t object_size)
    : object_size_(round_up_to_8(std::max(object_size, sizeof(void*)))),
      header_bytes_(round_up_to_8(sizeof(Slab))),
      capacity_(static_cast<std::uint32_t>((kSlabBytes - header_bytes_) / object_size_)) {}

ObjectSlabs::~ObjectSlabs() {
  while (empty_ != nullptr) std::free(std::exchange(empty_, empty_->next));
}

ObjectSlabs::Slab* ObjectSlabs::new_slab() {
  Slab* slab = nullptr;
  if (empty_ != nullptr) {
    slab = std::exchange(empty_, empty_->next);
    --empty_count_;
  } else {
    void* memory = std::aligned_alloc(kSlabBytes, kSlabBytes);
    if (memory == nullptr) return nullptr;
    slab = static_cast<Slab*>(memory);
  }
  *slab = Slab{nullptr, nullptr, nullptr, 0, 0};
  return slab;
}

bool ObjectSlabs::full(const Slab* slab) const { return slab->free == nullptr && slab->carved == capacity_; }

void ObjectSlabs::link_partial(Slab* slab) {
  slab->previous = nullptr;
  slab->next = partial_;
  if (partial_ != nullptr) partial_->previous = slab;
  partial_ = slab;
}

void ObjectSlabs::unlink_partial(Slab* slab) {
  if (slab->previous != nullptr) slab->previous->next = slab->next;
  else partial_ = slab->next;
  if (slab->next != nullptr) slab->next->previous = slab->previous;
}

void* ObjectSlabs::allocate() {
  if constexpr (!kPooled) return std::malloc(object_size_);
  if (partial_ == nullptr) {
    Slab* slab = new_slab();
    if (slab == nullptr) return nullptr;
    link_partial(slab);
  }
  Slab* slab = partial_;
  void* object;
  if (slab->free != nullptr) {
    object = slab->free;
    slab->free = *static_cast<void**>(object);
  } else {
    object = reinterpret_cast<char*>(slab) + header_bytes_ + std::size_t{slab->carved} * object_size_;
    ++slab->carved;
  }
  ++slab->live;
  if (full(slab)) unlink_partial(slab);
  return object;
}

void ObjectSlabs::release(void* object) {
  if constexpr (!kPooled) return std::free(object);
  auto* slab = reinterpret_cast<Slab*>(reinterpret_cast<std::uintptr_t>(object) & ~(kSlabBytes - 1));
  const bool was_full = full(slab);  // a slab is in the partial list exactly when it is not full
  *static_cast<void**>(object) = slab->free;
  slab->free = object;
  --slab->live;
  if (slab->live == 0) {
    if (!was_full) unlink_partial(slab);
    if (empty_count_ * kSlabBytes < kRetainedBytes) {
      slab->next = empty_;
      empty_ = slab;
      ++empty_count_;
    } else {
      std::free(slab);
    }
  } else if (was_full) {
    link_partial(slab);  // has room again
  }
}

}  // namespace vok::binding
