// The attribute bag: name/value pairs of 8-bit texts, in the order added.
#include <cstdlib>
#include <cstring>

#include "node_utils/Allocation.h"
#include "node_utils/NodeHelpers.h"

namespace {

using kvpool::node_utils::allocateBlock;
using kvpool::node_utils::duplicateText;
using kvpool::node_utils::reallocateBlock;

constexpr unsigned int kInitialPairs = 16;
constexpr int kNoSuchName = 99;

NodeAttributePair* findPair(NodeAttributes* bag, const char* name) {
  for (unsigned int i = 0; i < bag->count; ++i) {
    if (std::strcmp(bag->pairs[i].name, name) == 0) return &bag->pairs[i];
  }
  return nullptr;
}

// Room for one more pair; false, the bag unchanged, when memory runs out.
bool makeRoom(NodeAttributes* bag) {
  if (bag->count < bag->capacity) return true;
  // A bag created without memory for its array starts over at 16 pairs.
  unsigned int capacity = bag->capacity != 0 ? bag->capacity * 2 : kInitialPairs;
  // Overflows only where size_t is 32 bits.
  std::size_t bytes = 0;
  if (capacity < bag->capacity ||
      __builtin_mul_overflow(std::size_t{capacity}, sizeof(NodeAttributePair), &bytes)) {
    return false;
  }
  void* pairs = reallocateBlock(bag->pairs, bytes);
  if (pairs == nullptr) return false;
  bag->pairs = static_cast<NodeAttributePair*>(pairs);
  bag->capacity = capacity;
  return true;
}

}  // namespace

extern "C" {

KVPOOL_EXPORT NodeAttributes* NodeCreateAttributes(void) {
  auto* bag = static_cast<NodeAttributes*>(allocateBlock(sizeof(NodeAttributes)));
  if (bag == nullptr) return nullptr;
  bag->count = 0;
  bag->pairs =
      static_cast<NodeAttributePair*>(allocateBlock(kInitialPairs * sizeof(NodeAttributePair)));
  bag->capacity = bag->pairs != nullptr ? kInitialPairs : 0;
  return bag;
}

KVPOOL_EXPORT void NodeDestroyAttributes(NodeAttributes* bag) {
  if (bag == nullptr) return;
  if (bag->pairs != nullptr) {
    for (unsigned int i = 0; i < bag->count; ++i) {
      std::free(bag->pairs[i].name);
      std::free(bag->pairs[i].value);
    }
    std::free(bag->pairs);
  }
  std::free(bag);
}

KVPOOL_EXPORT void NodeAddAttribute(NodeAttributes* bag, const char* name) {
  if (findPair(bag, name) != nullptr || !makeRoom(bag)) return;
  char* copy = duplicateText(name);
  if (copy == nullptr) return;
  bag->pairs[bag->count] = NodeAttributePair{copy, nullptr};
  ++bag->count;
}

KVPOOL_EXPORT int NodeSetAttribute(NodeAttributes* bag, const char* name, const char* value) {
  NodeAttributePair* pair = findPair(bag, name);
  if (pair == nullptr || value == nullptr) return kNoSuchName;
  char* copy = duplicateText(value);
  // Without memory for the copy the old value stays.
  if (copy == nullptr) return kNoSuchName;
  std::free(pair->value);
  pair->value = copy;
  return 0;
}

KVPOOL_EXPORT const char* NodeGetAttribute(NodeAttributes* bag, const char* name) {
  NodeAttributePair* pair = findPair(bag, name);
  return pair != nullptr ? pair->value : nullptr;
}

KVPOOL_EXPORT const char* NodeGetAttributeName(NodeAttributes* bag, unsigned int index) {
  return index < bag->count ? bag->pairs[index].name : nullptr;
}

}  // extern "C"
