// The growable 8-bit string buffer.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "node_utils/Allocation.h"
#include "node_utils/NodeHelpers.h"

namespace {

using kvpool::node_utils::allocateBlock;
using kvpool::node_utils::reallocateBlock;

constexpr int kInitialBytes = 32;

// Room for extra more bytes and a terminator, grown as NodeHelpers.h says.
// False, the buffer unchanged, when memory runs out or the size passes int.
bool NodeStringBufferResize(NodeStringBuffer* buffer, int extra) {
  const int64_t needed = int64_t{buffer->length} + extra + 1;
  if (needed < buffer->capacity) return true;
  int64_t capacity = int64_t{buffer->capacity} * 2;
  if (needed >= capacity) capacity += int64_t{extra} + 1;
  if (capacity > INT_MAX) return false;
  void* data = reallocateBlock(buffer->data, static_cast<size_t>(capacity));
  if (data == nullptr) return false;
  buffer->data = static_cast<char*>(data);
  buffer->capacity = static_cast<int>(capacity);
  return true;
}

}  // namespace

extern "C" {

KVPOOL_EXPORT NodeStringBuffer* NodeStringBufferAlloc(void) {
  auto* buffer = static_cast<NodeStringBuffer*>(allocateBlock(sizeof(NodeStringBuffer)));
  if (buffer == nullptr) return nullptr;
  buffer->data = static_cast<char*>(allocateBlock(kInitialBytes));
  if (buffer->data == nullptr) {
    std::free(buffer);
    return nullptr;
  }
  buffer->length = 0;
  buffer->capacity = kInitialBytes;
  buffer->data[0] = '\0';
  return buffer;
}

KVPOOL_EXPORT void NodeStringBufferFree(NodeStringBuffer* buffer) {
  std::free(buffer->data);
  std::free(buffer);
}

KVPOOL_EXPORT void NodeStringBufferAdd(NodeStringBuffer* buffer, const char* text) {
  const size_t bytes = std::strlen(text);
  if (bytes > INT_MAX) return;
  const int length = static_cast<int>(bytes);
  if (!NodeStringBufferResize(buffer, length)) return;
  std::memcpy(buffer->data + buffer->length, text, bytes + 1);
  buffer->length += length;
}

KVPOOL_EXPORT void NodeStringBufferAddChar(NodeStringBuffer* buffer, char character) {
  if (!NodeStringBufferResize(buffer, 2)) return;
  buffer->data[buffer->length] = character;
  ++buffer->length;
  buffer->data[buffer->length] = '\0';
}

}  // extern "C"
