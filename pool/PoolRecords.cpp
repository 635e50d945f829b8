// Texts of the layout's damage reports and the check of a whole image.
#include "pool/PoolRecords.h"

#include <cstdio>
#include <string>

namespace kvpool {

namespace {

// Not std::to_string: its digit table is a unique symbol the plug-in would
// export.
std::string number(int64_t value) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value));
  return digits;
}

// The lowest fault bit set: the one a report names first.
PoolRecordFault firstFault(uint32_t faults) {
  return static_cast<PoolRecordFault>(faults & (~faults + 1));
}

}  // namespace

std::string describePoolRecordFault(PoolRecordFault fault, const unsigned char* image,
                                    const PoolRecord& record) {
  const PoolBlock& header = record.header;
  switch (fault) {
    case kFaultNoRoomForHeader:
      return number(int64_t{record.end} - record.offset) +
             " stray bytes after the last record, too few for a record header";
    case kFaultKeyLength:
      return "keyLength " + number(header.keyLength) + " is below 1";
    case kFaultValueLength:
      return "valueLength " + number(header.valueLength) + " is below 1";
    case kFaultLengthSum:
      return "blockSize " + number(header.blockSize) + " is not 12 + keyLength " +
             number(header.keyLength) + " + valueLength " + number(header.valueLength);
    case kFaultBlockSize:
      return "blockSize " + number(header.blockSize) +
             " does not fit between the record's start and the end of the records at " +
             number(record.end) + "; the chain cannot be followed further";
    case kFaultKeyUnterminated:
      return "the key lacks its terminating NUL";
    case kFaultKeyInnerNul:
      return "the key holds a NUL at byte " + number(record.keyText(image).size()) + " of " +
             number(header.keyLength - 1);
    case kFaultValueUnterminated:
      return "the value lacks its terminating NUL";
    case kFaultValueInnerNul:
      return "the value holds a NUL at byte " + number(record.valueText(image).size()) + " of " +
             number(header.valueLength - 1);
    case kFaultKeyTooLong:
      return "the key has " + number(header.keyLength - 1) + " bytes, more than " +
             number(kMaxKeyBytes);
    case kFaultKeyRepeated:
      return "key \"" + std::string(record.keyText(image)) + "\" is stored already";
    case kFaultKeyEmpty:
      return "the key is empty";
  }
  return "unknown fault";
}

uint32_t PoolKeyRules::check(const unsigned char* image, PoolRecord* record) {
  const int number = ++records_;
  const uint32_t before = record->faults;
  const bool wholeImage = scope_ == Scope::kWholeImage;
  if (wholeImage) findInnerNuls(image, record);
  if (record->faults != before) return record->faults & ~before;
  const int32_t keyBytes = record->header.keyLength - 1;
  if (wholeImage && keyBytes == 0) {
    record->faults |= kFaultKeyEmpty;
    return kFaultKeyEmpty;
  }
  if (wholeImage && keyBytes > kMaxKeyBytes) {
    record->faults |= kFaultKeyTooLong;
    return kFaultKeyTooLong;
  }
  const auto [first, added] =
      seen_.emplace(std::string_view(record->key(image), static_cast<std::size_t>(keyBytes)),
                    FirstRecord{number});
  if (added) return 0;
  firstWithKey_ = first->second.number;
  record->faults |= kFaultKeyRepeated;
  return kFaultKeyRepeated;
}

PoolDamage checkPoolImage(const unsigned char* image, int32_t imageSize) {
  if (imageSize < kPoolHeaderBytes) {
    return {0, "the image holds " + number(imageSize) + " bytes, less than the 12-byte header"};
  }
  const PoolControl header = readPoolControl(image);
  if (header.usedSize < kPoolHeaderBytes || header.usedSize > imageSize) {
    return {0,
            "header: usedSize " + number(header.usedSize) + " is outside 12.." + number(imageSize)};
  }
  if (header.blockCount < 0) {
    return {0, "header: blockCount " + number(header.blockCount) + " is negative"};
  }
  PoolKeyRules rules;
  const PoolChainEnd walk = walkPoolChain(image, header.blockCount, header.usedSize, &rules,
                                          [](const PoolRecord&) { return false; });
  if (walk.faults != 0) {
    const PoolRecord record = readPoolRecord(image, walk.offset, header.usedSize);
    const PoolRecordFault fault = firstFault(walk.faults);
    std::string reason = describePoolRecordFault(fault, image, record);
    if (fault == kFaultKeyRepeated) reason += " as record " + number(rules.firstWithKey());
    return {walk.offset, "record " + number(walk.records + 1) + ": " + reason};
  }
  if (walk.offset != header.usedSize) {
    return {walk.offset, "the chain of " + number(header.blockCount) + " records ends at offset " +
                             number(walk.offset) + ", not at usedSize " + number(header.usedSize)};
  }
  return {};
}

PoolChainEnd reportPoolChain(const unsigned char* image, int32_t end, PoolWalkReporter& reporter) {
  // Faults after which the key cannot be read as one text.
  constexpr uint32_t kUnreadableKey = kChainBreakingFaults | kFaultKeyLength | kFaultValueLength |
                                      kFaultLengthSum | kFaultKeyUnterminated | kFaultKeyInnerNul;
  PoolKeyRules rules;
  PoolChainEnd walk;
  while (walk.offset < end) {
    PoolRecord record = readPoolRecord(image, walk.offset, end);
    findInnerNuls(image, &record);
    if ((record.faults & kUnreadableKey) == 0) {
      rules.check(image, &record);
    } else {
      rules.skip();
    }
    if ((record.faults & kFaultNoRoomForHeader) == 0) ++walk.records;
    reporter.visit(image, record, walk.records, rules);
    if (!record.followable()) {
      walk.faults = record.faults;
      return walk;
    }
    walk.offset = record.next();
  }
  return walk;
}

int32_t findPoolImageDamage(const unsigned char* image, int32_t imageSize) {
  return checkPoolImage(image, imageSize).offset;
}

}  // namespace kvpool
