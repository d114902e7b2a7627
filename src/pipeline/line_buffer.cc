#include "pipeline/line_buffer.h"

#include <atomic>

namespace core::logger::detail {
namespace {

void* malloc_block(std::size_t bytes) { return std::malloc(bytes); }

std::atomic<HeapAllocateFunction> g_heap_allocate{&malloc_block};

}  // namespace

void* heap_allocate(std::size_t bytes) noexcept {
  return g_heap_allocate.load(std::memory_order_relaxed)(bytes);
}

void set_heap_allocate_for_testing(HeapAllocateFunction allocate) noexcept {
  g_heap_allocate.store(allocate != nullptr ? allocate : &malloc_block, std::memory_order_relaxed);
}

}  // namespace core::logger::detail
