// The owner of a malloc'd block: the library's texts and records are malloc'd
// (some are handed to callers who free them), so RAII holds them with this.
#ifndef KVPOOL_SUPPORT_MALLOCPTR_H
#define KVPOOL_SUPPORT_MALLOCPTR_H

#include <cstdlib>
#include <memory>

namespace kvpool {

struct FreeDeleter {
  void operator()(void* block) const noexcept { std::free(block); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

}  // namespace kvpool

#endif
