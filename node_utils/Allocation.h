// Heap allocation for the bag, the string buffer and the wide-text
// conversions, through which the unit tests make a chosen allocation fail.
#ifndef KVPOOL_NODE_UTILS_ALLOCATION_H
#define KVPOOL_NODE_UTILS_ALLOCATION_H

#include <cstddef>

namespace kvpool::node_utils {

// malloc, realloc and strdup, unless a failure is due; then null, and a block
// handed to reallocateBlock stays as it was.
void* allocateBlock(std::size_t bytes);
void* reallocateBlock(void* block, std::size_t bytes);
char* duplicateText(const char* text);

// Test hook, process-wide: after count more allocations every later one fails
// until set again; negative (the default): all succeed.
void failAllocationsAfter(int count);

}  // namespace kvpool::node_utils

#endif
