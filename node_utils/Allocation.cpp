#include "node_utils/Allocation.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace kvpool::node_utils {

namespace {

std::atomic<int> allocationsLeft{-1};

bool allocationFails() {
  int left = allocationsLeft.load(std::memory_order_relaxed);
  while (left > 0 &&
         !allocationsLeft.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
  }
  return left == 0;  // a successful count-down leaves left above 0
}

}  // namespace

void* allocateBlock(std::size_t bytes) {
  return allocationFails() ? nullptr : std::malloc(bytes);
}

void* reallocateBlock(void* block, std::size_t bytes) {
  return allocationFails() ? nullptr : std::realloc(block, bytes);
}

char* duplicateText(const char* text) {
  return allocationFails() ? nullptr : strdup(text);
}

void failAllocationsAfter(int count) {
  allocationsLeft.store(count, std::memory_order_relaxed);
}

}  // namespace kvpool::node_utils
