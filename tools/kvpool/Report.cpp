#include "tools/kvpool/Report.h"

#include <cstdio>
#include <iostream>

#include "tools/kvpool/ByteText.h"

namespace kvpooltool {

int fail(const std::string& text) {
  std::cerr << "kvpool: " << text << std::endl;
  return kExitNotDone;
}

void warn(const std::string& text) {
  std::cerr << "kvpool: warning: " << text << std::endl;
}

int noPool() {
  return fail(
      "no pool exists on this machine (no segment with key 99999); kvpool never creates one: "
      "the first KvPoolNode of a running flow does");
}

std::size_t appendPrintable(std::string_view text, std::size_t at, std::string* out) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const auto hex = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte(i));
      *out += escaped;
    }
    return count;
  };
  switch (byte(0)) {
    case '\n':
      *out += "\\n";
      return 1;
    case '\t':
      *out += "\\t";
      return 1;
    case '\r':
      *out += "\\r";
      return 1;
    case '\\':
      *out += "\\\\";
      return 1;
    default:
      break;
  }
  if (byte(0) < 0x20 || byte(0) == 0x7f) return hex(1);
  const std::size_t length = utf8SequenceLength(text, at);
  if (length == 0) return hex(1);
  // U+0080..U+009F, the C1 controls: a terminal may act on them (U+009B
  // starts a control sequence as ESC [ does).
  if (byte(0) == 0xC2 && byte(1) <= 0x9F) return hex(2);
  out->append(text.substr(at, length));
  return length;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) at += appendPrintable(text, at, &out);
  return out;
}

std::string counted(long long count, const std::string& singular, const std::string& plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

}  // namespace kvpooltool
