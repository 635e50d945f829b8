// A process's index of the pool's keys: key to record offset, so that a get
// finds a key without visiting every record. It is built only from a chain
// that holds no key twice (pool/PoolRecords.h, PoolKeyRules). The index is only ever a hint:
//  - it is trusted only while the pool's header and the journal's change
//    count are what they were when the index was last brought up to date
//    (every store of ours counts a change; a process that does not keep the
//    journal changes the header with every append);
//  - a hit is checked against the record at that offset (sound, same key)
//    before it is used, which catches the changes that keep the header;
//  - a miss, and any doubt, falls back to the scan.
// Records only ever join at the end and leave by closing their gap, so the
// index numbers them in chain order and keeps their sizes in a Fenwick tree:
// a record's offset is the sum of the sizes of the live records before it,
// and a store changes two sizes, whatever lies behind the replaced record.
// A pool without a journal (made by a build without one) is never indexed.
//
// Thread safety: one mutex per index, taken only around the index itself.
// Every function runs under the pool's lock (read or write); update runs
// under the writer lock, which no other thread holds a lock beside, and
// takes no mutex.
#ifndef KVPOOL_POOL_KEYINDEX_H
#define KVPOOL_POOL_KEYINDEX_H

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "pool/KvPoolShm.h"
#include "support/KvPoolUtil.h"

namespace kvpool {

class KeyIndex {
 public:
  // The offset of key's record (keyBytes includes the NUL), checked; -1 when
  // the index cannot say (then scan). Rebuilds a stale index from one walk
  // of the chain, unless the chain is damaged. *vouched (when given): the
  // index vouches for the chain afterwards, as vouches() says; a -1 then
  // means the key is not in the pool.
  int32_t find(const unsigned char* base, const PoolControl& header, uint32_t changes, int32_t end,
               const char* key, std::size_t keyBytes, bool* vouched = nullptr);
  // True while the index is current for this header and change count: the
  // chain then is sound and holds no key twice, as the walk that built it
  // found, and a store need not check that again.
  bool vouches(const unsigned char* base, const PoolControl& header, uint32_t changes) {
    std::lock_guard<std::mutex> lock(mutex_);
    return current(base, header, changes);
  }
  // After this process's own store or removal, which kept the chain sound:
  // the records behind removedOffset moved down by removedSize (0: none
  // removed), and key's record now starts at newOffset (-1: none stored).
  // before/after are the headers and changes around it; an index that was
  // not current before is left to be rebuilt.
  void update(const unsigned char* base, const PoolControl& before, uint32_t changesBefore,
              const PoolControl& after, uint32_t changesAfter, int32_t removedOffset,
              int32_t removedSize, const char* key, int32_t newOffset);
  // A walk found the chain damaged: nothing the index holds is vouched for.
  void forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    valid_ = false;
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      WordHash hash(0);
      hash.add(text.data(), text.size());
      return hash.sum();
    }
  };
  bool current(const unsigned char* base, const PoolControl& header, uint32_t changes) const {
    return valid_ && base == base_ && header.blockCount == header_.blockCount &&
           header.usedSize == header_.usedSize && changes == changes_;
  }
  bool rebuild(const unsigned char* base, const PoolControl& header, uint32_t changes, int32_t end);

  std::mutex mutex_;
  bool valid_ = false;
  const unsigned char* base_ = nullptr;  // a new mapping is a new pool
  PoolControl header_{};
  uint32_t changes_ = 0;
  int32_t lookUp(const unsigned char* base, const PoolControl& header, uint32_t changes,
                 int32_t end, const char* key, std::size_t keyBytes);
  int32_t offsetOf(std::size_t position) const;
  void resize(std::size_t position, int32_t delta);

  // A type of our own as the mapped value keeps the table's code, which
  // would otherwise be made of std types alone, out of the exported names.
  struct Position {
    std::size_t value;  // the record's number in chain order, 0 first
  };
  std::unordered_map<std::string, Position, Hash, std::equal_to<>> positions_;
  // The entry the last hit found, which a store's update most often names
  // again: it spares a second look-up. Null after any erase or clear (a
  // node's address holds until then).
  std::pair<const std::string, Position>* lastFound_ = nullptr;
  int32_t lastOffset_ = -1;  // its offset, until the next update
  int32_t end_ = 0;          // where the records the tree holds end
  // The Fenwick tree (1-based) of the sizes of the records by number; a
  // removed record's size is 0. Numbers run out at its size: then rebuild.
  std::vector<int32_t> sizes_;
  std::size_t nextPosition_ = 0;
  bool outOfNumbers_ = false;  // the last tree ran out under this process's own stores
};

}  // namespace kvpool

#endif
