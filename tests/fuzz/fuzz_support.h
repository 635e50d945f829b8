// What the fuzz targets share: a broken invariant ends the run as a crash
// does (libFuzzer keeps the input), a bound on the trace for long runs, and
// fuzzed bytes read as UTF-16 text.
//
// Every target runs inside run.sh's isolation (a private IPC namespace and a
// private /tmp): they create the pool under its fixed keys and write the
// fixed files below /tmp.
#ifndef KVPOOL_TESTS_FUZZ_FUZZ_SUPPORT_H
#define KVPOOL_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kvfuzz {

// Reports what did not hold and aborts: libFuzzer saves the input as a crash.
[[noreturn]] inline void failCheck(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void failCheck(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::fputs("fuzz check failed: ", stderr);
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
  va_end(arguments);
  std::abort();
}

// A macro so that the message's arguments are only evaluated on failure.
#define KVFUZZ_CHECK(condition, ...)                    \
  do {                                                  \
    if (!(condition)) ::kvfuzz::failCheck(__VA_ARGS__); \
  } while (0)

// The plug-in traces every call to /tmp/KvPool.log. At the default limit the
// file and its rotated copy would keep 128 MiB of the private /tmp (a tmpfs,
// in memory); 1 MiB keeps it small while the trace still formats the fuzzed
// texts. A setting in the environment wins. Call before the first trace line.
inline void boundTrace() {
  setenv("KVPOOL_TRACE_LIMIT", "1", 0);
}

// Fuzzed bytes as UTF-16 units: each well-formed UTF-8 sequence gives its
// units (three-byte encodings of surrogates included, so a lone surrogate can
// be made), any other byte the unit of the same number. ASCII reads as
// itself, so seeds stay readable, and every unit sequence can be reached.
inline std::u16string toUnits(const uint8_t* data, std::size_t size) {
  std::u16string units;
  units.reserve(size);
  const auto continuation = [&](std::size_t at) { return at < size && (data[at] & 0xC0) == 0x80; };
  for (std::size_t i = 0; i < size;) {
    const uint8_t lead = data[i];
    if (lead >= 0xC2 && lead <= 0xDF && continuation(i + 1)) {
      units.push_back(static_cast<char16_t>(((lead & 0x1F) << 6) | (data[i + 1] & 0x3F)));
      i += 2;
      continue;
    }
    if (lead >= 0xE0 && lead <= 0xEF && continuation(i + 1) && continuation(i + 2)) {
      const uint32_t point =
          ((lead & 0x0Fu) << 12) | ((data[i + 1] & 0x3Fu) << 6) | (data[i + 2] & 0x3Fu);
      if (point >= 0x800) {
        units.push_back(static_cast<char16_t>(point));
        i += 3;
        continue;
      }
    }
    if (lead >= 0xF0 && lead <= 0xF4 && continuation(i + 1) && continuation(i + 2) &&
        continuation(i + 3)) {
      const uint32_t point = ((lead & 0x07u) << 18) | ((data[i + 1] & 0x3Fu) << 12) |
                             ((data[i + 2] & 0x3Fu) << 6) | (data[i + 3] & 0x3Fu);
      if (point >= 0x10000 && point <= 0x10FFFF) {
        units.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
        units.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        i += 4;
        continue;
      }
    }
    units.push_back(static_cast<char16_t>(lead));
    i += 1;
  }
  return units;
}

}  // namespace kvfuzz

#endif
