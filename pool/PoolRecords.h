// The one reader and writer of the pool's layout, for the segment and for
// snapshot images alike:
//
//   PoolControl (12 bytes) | PoolBlock record | PoolBlock record | ... | free
//   PoolBlock record: blockSize keyLength valueLength (12 bytes) key\0 value\0
//
// Native byte order, no alignment between records, so headers are always
// copied in and out, never read in place. An image is shared with every
// process on the machine (or read from a file) and may hold anything: every
// record is checked before it is used, and no function here reads outside
// [offset, end) of the record it is given.
//
// The per-record reading is inline and allocation-free: gets and stores run
// it. The texts of describePoolRecordFault, the key rules (PoolKeyRules: a
// set of the keys; a get or store takes it only when its key index cannot
// vouch for the chain) and the checks of whole images (checkPoolImage,
// reportPoolChain: a snapshot load, kvpool verify) allocate. None of it takes
// a lock: the caller holds the pool's lock, or owns a copy.
#ifndef KVPOOL_POOL_POOLRECORDS_H
#define KVPOOL_POOL_POOLRECORDS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "pool/KvPoolShm.h"

namespace kvpool {

inline constexpr int32_t kPoolHeaderBytes = sizeof(PoolControl);
inline constexpr int32_t kRecordHeaderBytes = sizeof(PoolBlock);
// The smallest record: its header, and a key and a value of a NUL each.
inline constexpr int32_t kSmallestRecordBytes = kRecordHeaderBytes + 2;
// The longest key text (without its NUL) a pool holds: a script operand's.
inline constexpr int32_t kMaxKeyBytes = 255;
// What every image may hold, and so what a store takes: keys of 1 to
// kMaxKeyBytes bytes.
inline bool poolKeyLengthAllowed(std::size_t bytes) {
  return bytes >= 1 && bytes <= static_cast<std::size_t>(kMaxKeyBytes);
}
// Operands beginning with it name a pool record, the whole operand its key.
// On Redis the pool's keys are the prefix followed by it: the rest of the
// database, and a pool under a longer prefix, are not the pool's.
inline constexpr std::string_view kPoolKeyPrefix = "KvPool";
inline bool poolKeyNamed(std::string_view key) {
  return key.substr(0, kPoolKeyPrefix.size()) == kPoolKeyPrefix;
}

inline PoolControl readPoolControl(const unsigned char* image) {
  PoolControl header;
  std::memcpy(&header, image, sizeof header);
  return header;
}

inline void writePoolControl(unsigned char* image, const PoolControl& header) {
  std::memcpy(image, &header, sizeof header);
}

// What can be wrong with one record; several may hold at once. The bits go
// in the order a report lists them.
enum PoolRecordFault : uint32_t {
  kFaultNoRoomForHeader = 1u << 0,  // fewer than 12 bytes left before the end
  kFaultKeyLength = 1u << 1,        // keyLength below 1
  kFaultValueLength = 1u << 2,      // valueLength below 1
  kFaultLengthSum = 1u << 3,        // lengths of 1 or more not adding up to blockSize
  kFaultBlockSize = 1u << 4,        // blockSize below 14, or reaching past the end
  kFaultKeyUnterminated = 1u << 5,  // the key's last byte is not NUL
  kFaultKeyInnerNul = 1u << 6,      // the key holds a NUL before its last byte
  kFaultValueUnterminated = 1u << 7,
  kFaultValueInnerNul = 1u << 8,
  // Rules of a whole image (PoolKeyRules), not of the record alone.
  kFaultKeyTooLong = 1u << 9,    // the key has more than 255 bytes
  kFaultKeyRepeated = 1u << 10,  // an earlier record holds the same key
  kFaultKeyEmpty = 1u << 11,     // the key is its NUL alone
};
// After these the next record's offset is unknown: the chain ends here.
inline constexpr uint32_t kChainBreakingFaults = kFaultNoRoomForHeader | kFaultBlockSize;

// One record as read from an image whose records end at end.
struct PoolRecord {
  int32_t offset = 0;
  int32_t end = 0;
  PoolBlock header;  // zero when there was no room for it
  uint32_t faults = 0;

  bool sound() const { return faults == 0; }
  bool followable() const { return (faults & kChainBreakingFaults) == 0; }
  // Where the next record starts; only meaningful when followable.
  int32_t next() const { return offset + header.blockSize; }
  // The key's and the value's bytes (their lengths include the NUL); only
  // meaningful when the lengths add up and the record fits.
  const char* key(const unsigned char* image) const {
    return reinterpret_cast<const char*>(image + offset + kRecordHeaderBytes);
  }
  const char* value(const unsigned char* image) const { return key(image) + header.keyLength; }
  // The texts up to their first NUL, never past their fields.
  std::string_view keyText(const unsigned char* image) const {
    return {key(image), strnlen(key(image), static_cast<std::size_t>(header.keyLength))};
  }
  std::string_view valueText(const unsigned char* image) const {
    return {value(image), strnlen(value(image), static_cast<std::size_t>(header.valueLength))};
  }
};

// Reads and checks the record at offset (12 or more) of an image whose
// records end at end. NULs inside the texts are not looked for: the plug-in
// compares whole fields and never needs to (findInnerNuls does).
inline PoolRecord readPoolRecord(const unsigned char* image, int32_t offset, int32_t end) {
  PoolRecord record;
  record.offset = offset;
  record.end = end;
  if (int64_t{end} - offset < kRecordHeaderBytes) {
    record.header = {};
    record.faults = kFaultNoRoomForHeader;
    return record;
  }
  std::memcpy(&record.header, image + offset, sizeof record.header);
  const PoolBlock& header = record.header;
  const bool lengthsSound = header.keyLength >= 1 && header.valueLength >= 1;
  const bool fits =
      header.blockSize >= kSmallestRecordBytes && int64_t{offset} + header.blockSize <= end;
  const auto lengthsAddUp = [&header] {
    return int64_t{kRecordHeaderBytes} + header.keyLength + header.valueLength == header.blockSize;
  };
  if (lengthsSound && fits && lengthsAddUp()) {
    // The common case, kept short: the get and store loops run it per record.
    const unsigned char* key = image + offset + kRecordHeaderBytes;
    if (key[header.keyLength - 1] != '\0') record.faults |= kFaultKeyUnterminated;
    if (key[header.keyLength + header.valueLength - 1] != '\0') {
      record.faults |= kFaultValueUnterminated;
    }
    return record;
  }
  if (header.keyLength < 1) record.faults |= kFaultKeyLength;
  if (header.valueLength < 1) record.faults |= kFaultValueLength;
  if (lengthsSound && !lengthsAddUp()) record.faults |= kFaultLengthSum;
  if (!fits) record.faults |= kFaultBlockSize;
  return record;
}

// Adds the inner-NUL faults of a terminated key or value.
inline void findInnerNuls(const unsigned char* image, PoolRecord* record) {
  const uint32_t unreadable =
      kChainBreakingFaults | kFaultKeyLength | kFaultValueLength | kFaultLengthSum;
  if ((record->faults & unreadable) != 0) return;
  if ((record->faults & kFaultKeyUnterminated) == 0 &&
      record->keyText(image).size() + 1 != static_cast<std::size_t>(record->header.keyLength)) {
    record->faults |= kFaultKeyInnerNul;
  }
  if ((record->faults & kFaultValueUnterminated) == 0 &&
      record->valueText(image).size() + 1 != static_cast<std::size_t>(record->header.valueLength)) {
    record->faults |= kFaultValueInnerNul;
  }
}

// Writes a record of key and value (their lengths include the NUL) at offset;
// the caller has made sure 12 + keyBytes + valueBytes bytes are free there.
// Returns the record's size.
inline int32_t writePoolRecord(unsigned char* image, int32_t offset, const char* key,
                               int32_t keyBytes, const char* value, int32_t valueBytes) {
  const PoolBlock header = {kRecordHeaderBytes + keyBytes + valueBytes, keyBytes, valueBytes};
  unsigned char* record = image + offset;
  std::memcpy(record, &header, sizeof header);
  std::memcpy(record + kRecordHeaderBytes, key, static_cast<std::size_t>(keyBytes));
  std::memcpy(record + kRecordHeaderBytes + keyBytes, value, static_cast<std::size_t>(valueBytes));
  return header.blockSize;
}

// Where a walk of the chain stopped.
struct PoolChainEnd {
  int32_t offset = kPoolHeaderBytes;  // of the record it stopped at, or past the last one
  int32_t records = 0;                // sound records passed before it stopped
  uint32_t faults = 0;                // of the damaged record it stopped at, else 0
  // The walk went through count records, all sound, and ended exactly at usedSize.
  bool reaches(const PoolControl& header) const {
    return faults == 0 && records == header.blockCount && offset == header.usedSize;
  }
  // The walk did not stop at a record it could not step over.
  bool followed() const { return (faults & kChainBreakingFaults) == 0; }
};

class PoolKeyRules;

// Follows the chain from offset 12 through at most count records that end by
// end, calling visit(const PoolRecord&) for each sound one. Stops at the
// first damaged record, or as soon as visit returns true (records then
// counts the ones before the visited record). With rules, a record that
// breaks the pool's key rules is damage too: the walk stops at it.
template <typename Visit>
PoolChainEnd walkPoolChain(const unsigned char* image, int32_t count, int32_t end,
                           PoolKeyRules* rules, Visit&& visit);
template <typename Visit>
PoolChainEnd walkPoolChain(const unsigned char* image, int32_t count, int32_t end, Visit&& visit) {
  return walkPoolChain(image, count, end, nullptr, visit);
}

// Says what one fault of a record is, with the numbers involved, e.g.
// "the key lacks its terminating NUL" or "keyLength 0 is below 1".
std::string describePoolRecordFault(PoolRecordFault fault, const unsigned char* image,
                                    const PoolRecord& record);

// The pool's rules beyond the soundness of each record: every key and value
// is NUL-free text of the length its record states, and every key has 1 to
// 255 bytes and occurs once. The plug-in never writes a record that breaks
// them; a store holds the chain to them unless its key index (which refuses
// a repeated key) vouches for the chain, and an image taken in from
// elsewhere, or checked whole, is held to them. Fed the sound records of one chain in order; the
// keys are kept as views into the image, which must outlive this object.
class PoolKeyRules {
  // A hasher and a value of our own keep every part of the table's code
  // internal to the plug-in: one instantiated on standard types alone (its
  // nodes' allocator, say) would be exported.
  struct KeyHash {
    std::size_t operator()(std::string_view key) const noexcept {
      return std::hash<std::string_view>()(key);
    }
  };
  struct FirstRecord {
    int number;  // from 1
  };

 public:
  // The rules a store's and a get's walk hold the chain to: only that no key
  // occurs twice (whole fields compared, as a get compares), the rule that
  // decides which copy a get finds. The plug-in's own store takes keys of
  // any length, so the other rules are for images taken in or checked whole.
  enum class Scope { kWholeImage, kRepeatsOnly };
  explicit PoolKeyRules(Scope scope = Scope::kWholeImage) : scope_(scope) {}
  // Adds the rule faults of the next record to record->faults and returns
  // them: 0 when it keeps the rules.
  uint32_t check(const unsigned char* image, PoolRecord* record);
  // A record of the chain whose key cannot be read: it keeps the numbering.
  void skip() { ++records_; }
  // After kFaultKeyRepeated: the number (from 1) of the record holding the
  // key first.
  int firstWithKey() const { return firstWithKey_; }

 private:
  Scope scope_;
  std::unordered_map<std::string_view, FirstRecord, KeyHash> seen_;
  int records_ = 0;
  int firstWithKey_ = 0;
};

template <typename Visit>
PoolChainEnd walkPoolChain(const unsigned char* image, int32_t count, int32_t end,
                           PoolKeyRules* rules, Visit&& visit) {
  PoolChainEnd walk;
  for (; walk.records < count; ++walk.records) {
    PoolRecord record = readPoolRecord(image, walk.offset, end);
    if (record.sound() && rules != nullptr) rules->check(image, &record);
    if (!record.sound()) {
      walk.faults = record.faults;
      return walk;
    }
    if (visit(record)) return walk;
    walk.offset = record.next();
  }
  return walk;
}

// Told of every record a reporting walk reaches (number from 1), sound or
// not, with all its faults, those of the key rules included (rules says which
// record held a repeated key first).
class PoolWalkReporter {
 public:
  virtual void visit(const unsigned char* image, const PoolRecord& record, int number,
                     const PoolKeyRules& rules) = 0;

 protected:
  ~PoolWalkReporter() = default;
};

// The walk of a check that names every inconsistency (kvpool verify): from
// offset 12 to end, whatever the header's count, going on past every fault
// it can step over and stopping only where the chain cannot be followed.
// Returns where it stopped: records counts the records reached (damaged ones
// included); faults are those of the record it stopped at, else 0.
PoolChainEnd reportPoolChain(const unsigned char* image, int32_t end, PoolWalkReporter& reporter);

// The first damage of a whole image, or offset -1 and no reason when sound.
struct PoolDamage {
  int32_t offset = -1;  // 0 for the header
  std::string reason;
  bool found() const { return offset >= 0; }
};

// Checks a whole pool image of imageSize bytes (a snapshot, or a segment):
// usedSize within 12..imageSize, blockCount not negative, every record sound
// and keeping the pool's rules (PoolKeyRules), blockCount records ending
// exactly at usedSize. Linear in the records.
PoolDamage checkPoolImage(const unsigned char* image, int32_t imageSize);

// checkPoolImage's offset: -1 when sound, else that of the first damage.
int32_t findPoolImageDamage(const unsigned char* image, int32_t imageSize);

}  // namespace kvpool

#endif
