// The key index: see KeyIndex.h.
#include "pool/KeyIndex.h"

#include <algorithm>
#include <cstring>

#include "pool/PoolRecords.h"

namespace kvpool {

int32_t KeyIndex::offsetOf(std::size_t position) const {
  int32_t offset = kPoolHeaderBytes;
  for (std::size_t i = position; i > 0; i &= i - 1) offset += sizes_[i];
  return offset;
}

void KeyIndex::resize(std::size_t position, int32_t delta) {
  for (std::size_t i = position + 1; i < sizes_.size(); i += i & (~i + 1)) sizes_[i] += delta;
  end_ += delta;
}

bool KeyIndex::rebuild(const unsigned char* base, const PoolControl& header, uint32_t changes,
                       int32_t end) {
  valid_ = false;
  lastFound_ = nullptr;
  lastOffset_ = -1;
  positions_.clear();
  // Room for as many stores again as there are records, and more: a thousand
  // when this process's own stores used up the numbers, so that the walk
  // costs each store a small share however small the pool; 64 when another
  // writer's change made it stale, since with brokers storing in turns every
  // operation after another process's store rebuilds the whole tree.
  const auto records = static_cast<std::size_t>(std::max(header.blockCount, 0));
  // A header that counts more records than the bytes could hold is not
  // believed: its walk would fail anyway, and the tree is not sized by it.
  if (records > static_cast<std::size_t>(std::max(end, 0)) / kSmallestRecordBytes) return false;
  sizes_.assign(2 * records + (outOfNumbers_ ? 1025 : 65), 0);
  outOfNumbers_ = false;
  nextPosition_ = 0;
  end_ = kPoolHeaderBytes;
  PoolKeyRules rules(PoolKeyRules::Scope::kRepeatsOnly);
  const PoolChainEnd walk =
      walkPoolChain(base, header.blockCount, end, &rules, [&](const PoolRecord& record) {
        if (nextPosition_ + 1 >= sizes_.size()) return true;
        positions_.emplace(std::string(record.keyText(base)), Position{nextPosition_});
        sizes_[++nextPosition_] = record.header.blockSize;
        end_ += record.header.blockSize;
        return false;
      });
  if (!walk.reaches(header) || positions_.size() != records) {
    // Damage, or a key twice (or another broken key rule): only the scan
    // answers for such a pool.
    positions_.clear();
    return false;
  }
  // The sizes in place become the tree: each adds itself to its parent.
  for (std::size_t i = 1; i < sizes_.size(); ++i) {
    const std::size_t parent = i + (i & (~i + 1));
    if (parent < sizes_.size()) sizes_[parent] += sizes_[i];
  }
  valid_ = true;
  base_ = base;
  header_ = header;
  changes_ = changes;
  return true;
}

int32_t KeyIndex::find(const unsigned char* base, const PoolControl& header, uint32_t changes,
                       int32_t end, const char* key, std::size_t keyBytes, bool* vouched) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t offset = lookUp(base, header, changes, end, key, keyBytes);
  if (vouched != nullptr) *vouched = valid_;
  return offset;
}

int32_t KeyIndex::lookUp(const unsigned char* base, const PoolControl& header, uint32_t changes,
                         int32_t end, const char* key, std::size_t keyBytes) {
  if (!current(base, header, changes) && !rebuild(base, header, changes, end)) return -1;
  const auto found = positions_.find(std::string_view(key, keyBytes - 1));
  if (found == positions_.end()) return -1;
  const int32_t offset = offsetOf(found->second.value);
  const PoolRecord record = readPoolRecord(base, offset, end);
  if (!record.sound() || static_cast<std::size_t>(record.header.keyLength) != keyBytes ||
      std::memcmp(record.key(base), key, keyBytes) != 0) {
    // The pool changed in a way the header does not show.
    valid_ = false;
    return -1;
  }
  lastFound_ = &*found;
  lastOffset_ = offset;
  return offset;
}

void KeyIndex::update(const unsigned char* base, const PoolControl& before, uint32_t changesBefore,
                      const PoolControl& after, uint32_t changesAfter, int32_t removedOffset,
                      int32_t removedSize, const char* key, int32_t newOffset) {
  if (!current(base, before, changesBefore)) {
    valid_ = false;
    return;
  }
  // The removed record was key's own; the new one is the last.
  auto* entry = lastFound_;
  int32_t entryOffset = lastOffset_;
  lastOffset_ = -1;  // the offsets change here
  if (entry == nullptr || entry->first != key) {
    const auto found = positions_.find(std::string_view(key));
    entry = found == positions_.end() ? nullptr : &*found;
    entryOffset = -1;
  }
  if (removedSize > 0) {
    if (entry == nullptr ||
        (entryOffset >= 0 ? entryOffset : offsetOf(entry->second.value)) != removedOffset) {
      valid_ = false;
      return;
    }
    resize(entry->second.value, -removedSize);
  }
  if (newOffset < 0) {
    if (entry != nullptr) {
      positions_.erase(positions_.find(std::string_view(key)));
      lastFound_ = nullptr;
    }
  } else if (nextPosition_ + 1 >= sizes_.size() || end_ != newOffset) {
    valid_ = false;  // out of numbers: rebuilt at the next look-up
    outOfNumbers_ = true;
    return;
  } else {
    resize(nextPosition_, after.usedSize - newOffset);
    if (entry != nullptr) {
      entry->second = Position{nextPosition_};
    } else {
      // emplace, not insert_or_assign: the latter's piecewise construction
      // would export a name of the C++ library's from the plug-in.
      positions_.emplace(std::string(key), Position{nextPosition_});
    }
    ++nextPosition_;
  }
  header_ = after;
  changes_ = changesAfter;
}

}  // namespace kvpool
