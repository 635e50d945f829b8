// The key index: see KeyIndex.h.
#include "pool/KeyIndex.h"

#include <cstring>

#include "pool/PoolRecords.h"

namespace kvpool {

bool KeyIndex::rebuild(const unsigned char* base, const PoolControl& header, uint32_t changes,
                       int32_t end) {
  valid_ = false;
  offsets_.clear();
  PoolKeyRules rules(PoolKeyRules::Scope::kRepeatsOnly);
  const PoolChainEnd walk =
      walkPoolChain(base, header.blockCount, end, &rules, [&](const PoolRecord& record) {
        offsets_.emplace(std::string(record.keyText(base)), Offset{record.offset});
        return false;
      });
  if (!walk.reaches(header) || offsets_.size() != static_cast<std::size_t>(header.blockCount)) {
    // Damage, or a key twice (or another broken key rule): only the scan
    // answers for such a pool.
    offsets_.clear();
    return false;
  }
  valid_ = true;
  base_ = base;
  header_ = header;
  changes_ = changes;
  return true;
}

int32_t KeyIndex::find(const unsigned char* base, const PoolControl& header, uint32_t changes,
                       int32_t end, const char* key, std::size_t keyBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current(base, header, changes) && !rebuild(base, header, changes, end)) return -1;
  const auto found = offsets_.find(std::string_view(key, keyBytes - 1));
  if (found == offsets_.end()) return -1;
  const PoolRecord record = readPoolRecord(base, found->second.value, end);
  if (!record.sound() || static_cast<std::size_t>(record.header.keyLength) != keyBytes ||
      std::memcmp(record.key(base), key, keyBytes) != 0) {
    // The pool changed in a way the header does not show.
    valid_ = false;
    return -1;
  }
  return found->second.value;
}

void KeyIndex::update(const unsigned char* base, const PoolControl& before, uint32_t changesBefore,
                      const PoolControl& after, uint32_t changesAfter, int32_t removedOffset,
                      int32_t removedSize, const char* key, int32_t newOffset) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current(base, before, changesBefore)) {
    valid_ = false;
    return;
  }
  if (removedSize > 0) {
    for (auto it = offsets_.begin(); it != offsets_.end();) {
      if (it->second.value == removedOffset) {
        it = offsets_.erase(it);
        continue;
      }
      if (it->second.value > removedOffset) it->second.value -= removedSize;
      ++it;
    }
  }
  if (newOffset >= 0) {
    // emplace, not insert_or_assign: the latter's piecewise construction
    // would export a name of the C++ library's from the plug-in.
    const auto [entry, inserted] = offsets_.emplace(std::string(key), Offset{newOffset});
    if (!inserted) entry->second = Offset{newOffset};
  }
  header_ = after;
  changes_ = changesAfter;
}

}  // namespace kvpool
