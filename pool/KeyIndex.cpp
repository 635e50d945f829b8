// The key index: see KeyIndex.h.
#include "pool/KeyIndex.h"

#include <cmath>
#include <cstring>

#include "pool/PoolRecords.h"

namespace kvpool {

bool KeyIndex::rebuild(const unsigned char* base, const PoolControl& header, uint32_t changes,
                       int32_t end) {
  valid_ = false;
  offsets_.clear();
  shifts_.clear();
  PoolKeyRules rules(PoolKeyRules::Scope::kRepeatsOnly);
  const PoolChainEnd walk =
      walkPoolChain(base, header.blockCount, end, &rules, [&](const PoolRecord& record) {
        offsets_.emplace(std::string(record.keyText(base)), Offset{record.offset, 0});
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
  Offset& offset = found->second;
  for (; offset.shiftsApplied < shifts_.size(); ++offset.shiftsApplied) {
    const Shift& shift = shifts_[offset.shiftsApplied];
    if (offset.value > shift.removedOffset) offset.value -= shift.removedSize;
  }
  const PoolRecord record = readPoolRecord(base, offset.value, end);
  if (!record.sound() || static_cast<std::size_t>(record.header.keyLength) != keyBytes ||
      std::memcmp(record.key(base), key, keyBytes) != 0) {
    // The pool changed in a way the header does not show.
    valid_ = false;
    return -1;
  }
  return offset.value;
}

void KeyIndex::update(const unsigned char* base, const PoolControl& before, uint32_t changesBefore,
                      const PoolControl& after, uint32_t changesAfter, int32_t removedOffset,
                      int32_t removedSize, const char* key, int32_t newOffset) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current(base, before, changesBefore)) {
    valid_ = false;
    return;
  }
  // The removed record was key's own.
  if (removedSize > 0) shifts_.push_back(Shift{removedOffset, removedSize});
  const auto entry = offsets_.find(std::string_view(key));
  if (newOffset < 0) {
    if (entry != offsets_.end()) offsets_.erase(entry);
  } else if (entry != offsets_.end()) {
    entry->second = Offset{newOffset, shifts_.size()};
  } else {
    // emplace, not insert_or_assign: the latter's piecewise construction
    // would export a name of the C++ library's from the plug-in.
    offsets_.emplace(std::string(key), Offset{newOffset, shifts_.size()});
  }
  // Each look-up applies the notes it has not seen; past about eight per
  // square root of the keys a rebuild (one walk) costs less.
  const double keys = static_cast<double>(offsets_.size());
  if (static_cast<double>(shifts_.size()) > 32 + 8 * std::sqrt(keys)) valid_ = false;
  header_ = after;
  changes_ = changesAfter;
}

}  // namespace kvpool
