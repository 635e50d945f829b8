// support/, the bottom floor (it includes only host/): this header's UTF-16
// text helpers, 8-bit search and narrowing, conversions through the broker,
// checkRC (no lock, no state, no null text), a word hash, and KVPOOL_MODE's
// reading with the mode of the files that hold the pool's records;
// KvPoolConstants.h (events, code page, UTF-16 constants); Trace.h;
// MallocPtr.h; Export.h; UniqueFd.h.
#ifndef KVPOOL_SUPPORT_KVPOOLUTIL_H
#define KVPOOL_SUPPORT_KVPOOLUTIL_H

#include "host/BrokerApi.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

// 1 for tab, line feed, vertical tab, form feed, carriage return and blank.
KVPOOL_EXPORT int CciCharIsSpace(CciChar unit);
// 1 for ASCII digits and letters only.
KVPOOL_EXPORT int CciCharIsAlnum(CciChar unit);
// Copies source and its terminator; destination needs length + 1 units.
KVPOOL_EXPORT void CciCharCpy(CciChar* destination, const CciChar* source);
// Writes exactly count units: the source up to its terminator, then zeros.
KVPOOL_EXPORT void CciCharNCpy(CciChar* destination, const CciChar* source, unsigned int count);
KVPOOL_EXPORT int CciCharLen(const CciChar* text);
// 0 when equal, else the difference of the first differing units (unsigned).
KVPOOL_EXPORT int CciCharCmp(const CciChar* a, const CciChar* b);
// New UTF-16 text converted from 8-bit text; the caller frees it. Never null
// and always terminated: a failed conversion or allocation gives the empty text.
KVPOOL_EXPORT CciChar* CciString(const char* text, int codepage);
// New UTF-16 text of at most count units plus a terminator; caller frees.
KVPOOL_EXPORT CciChar* CciNString(const char* text, int count, int codepage);
// New 8-bit text converted from UTF-16 text; the caller frees it. Never null
// and always terminated: a failed conversion or allocation gives the empty text.
KVPOOL_EXPORT char* mbString(const CciChar* text, int codepage);
// Zero-based index of the n-th occurrence (n from 1) of unit, or -1.
KVPOOL_EXPORT int CciCharIndexOf(const CciChar* text, CciChar unit, int n);
KVPOOL_EXPORT int CharIndexOf(const char* text, char byte, int n);
// Narrows count units to their low bytes plus a terminating zero (count + 1
// bytes written); a unit whose low byte is zero ends the copied text.
KVPOOL_EXPORT void UTOASCIICharNCpy(char* destination, const CciChar* source, unsigned int count);

// For code 64: logs the pending broker exception (type 0) and rethrows it.
// Any other code passes without effect.
KVPOOL_EXPORT void checkRC(int returnCode);

#ifdef __cplusplus
}

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace kvpool {
// A multiply-rotate hash over 8-byte words in two lanes that the processor
// runs side by side: each step is a bijection of its lane, so a single
// changed word always changes the lane. Cheap for short texts too, where the
// C++ library's byte-wise hash costs more than what it serves.
class WordHash {
 public:
  explicit WordHash(uint64_t seed) : lanes_{seed * kOdd, ~seed * kOdd} {}
  void add(const void* data, std::size_t bytes) {
    const auto* byte = static_cast<const unsigned char*>(data);
    mix(0, bytes);
    std::size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
      uint64_t words[2];
      std::memcpy(words, byte + i, sizeof words);
      mix(0, words[0]);
      mix(1, words[1]);
    }
    if (i + 8 <= bytes) {
      uint64_t word;
      std::memcpy(&word, byte + i, sizeof word);
      mix(1, word);
      i += 8;
    }
    uint64_t last = 0;  // the last bytes, padded with zeros
    if (i < bytes && bytes >= 8) {
      std::memcpy(&last, byte + bytes - 8, sizeof last);
      last >>= (8 - (bytes - i)) * 8;
    } else {
      for (int shift = 0; i < bytes; ++i, shift += 8) last |= uint64_t{byte[i]} << shift;
    }
    mix(0, last);
  }
  uint32_t sum() const {
    return static_cast<uint32_t>(((lanes_[0] ^ (lanes_[1] >> 17)) * kOdd) >> 32);
  }

 private:
  static constexpr uint64_t kOdd = 0x9e3779b97f4a7c15ull;
  void mix(int lane, uint64_t word) {
    const uint64_t mixed = (lanes_[lane] ^ word) * kOdd;
    lanes_[lane] = (mixed << 29) | (mixed >> 35);
  }
  uint64_t lanes_[2];
};

// True when none of the count units (or bytes) lies outside ASCII.
template <typename Unit>
bool isAscii(const Unit* text, std::size_t count) {
  return std::all_of(text, text + count, [](Unit unit) {
    return static_cast<std::make_unsigned_t<Unit>>(unit) < 0x80;
  });
}

// The value of a text of decimal digits alone (not empty, no sign), or -1
// when it is anything else or exceeds max. Written out: std::from_chars's
// instantiations would be exported from the plug-in by a debug build.
inline long long decimalValue(const char* text, std::size_t length, long long max) {
  if (length == 0) return -1;
  long long value = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
    if (value > max) return -1;
  }
  return value;
}

// KVPOOL_MODE's text: the octal permissions of the pool's objects, read and
// write bits only, the owner's both (a pool its own creator cannot lock is
// of no use). Null when sound (*mode set), else why it is refused.
inline const char* parsePoolMode(const char* text, int* mode) {
  constexpr std::size_t kModeTextMax = 8;
  const std::size_t length = std::strlen(text);
  if (length == 0 || length > kModeTextMax || std::strspn(text, "01234567") != length) {
    return "is not an octal mode such as 0660";
  }
  int value = 0;
  for (std::size_t i = 0; i < length; ++i) value = value * 8 + (text[i] - '0');
  if ((value & ~0666) != 0) return "sets bits outside 0666 (only read and write are taken)";
  if ((value & 0600) != 0600) return "does not give the owner read and write (0600)";
  *mode = value;
  return nullptr;
}

// The mode of a file that holds the pool's records (the trace, a snapshot):
// the pool's own, but 0600 for the default 0666, under which every local
// user reaches the pool while it runs, not the files it leaves behind.
inline int poolFileMode(int poolMode) {
  return poolMode == 0666 ? 0600 : (poolMode & 0666) | 0600;
}
}  // namespace kvpool
#endif

#endif
