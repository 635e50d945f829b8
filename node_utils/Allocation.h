// Heap allocation for the attribute bag, the string buffer and the wide-text
// conversions. Internal to the plug-in (never exported): it lets the unit tests
// make a chosen allocation fail, as memory running out would.
#ifndef KVPOOL_NODE_UTILS_ALLOCATION_H
#define KVPOOL_NODE_UTILS_ALLOCATION_H

#include <cstddef>

namespace kvpool::node_utils {

// malloc, realloc and strdup, unless a failure is due; then null, and a block
// handed to reallocateBlock stays as it was.
void* allocateBlock(std::size_t bytes);
void* reallocateBlock(void* block, std::size_t bytes);
char* duplicateText(const char* text);

// Test hook: after `count` more allocations succeed, every later one fails,
// until the hook is set again; a negative count makes them all succeed (the
// default). Process-wide.
void failAllocationsAfter(int count);

}  // namespace kvpool::node_utils

#endif
