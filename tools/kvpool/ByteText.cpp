#include "tools/kvpool/ByteText.h"

#include <cstdio>

namespace kvpooltool {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

std::string escapeBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    if (bytes[at] == '\\') {
      out += "\\\\";
      at += 1;
      continue;
    }
    const std::size_t length = utf8SequenceLength(bytes, at);
    if (length == 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(bytes[at]));
      out += escaped;
      at += 1;
      continue;
    }
    out.append(bytes.substr(at, length));
    at += length;
  }
  return out;
}

bool unescapeBytes(std::string_view text, std::string* bytes, std::string* why) {
  if (text.find('\\') == std::string_view::npos) {
    bytes->assign(text);
    return true;
  }
  bytes->clear();
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '\\') {
      *bytes += text[at];
      continue;
    }
    if (at + 1 < text.size() && text[at + 1] == '\\') {
      *bytes += '\\';
      at += 1;
      continue;
    }
    const int high = at + 3 < text.size() && text[at + 1] == 'x' ? hexDigit(text[at + 2]) : -1;
    const int low = high >= 0 ? hexDigit(text[at + 3]) : -1;
    if (low < 0) {
      *why = "the backslash at character " + std::to_string(at + 1) +
             " starts no escape: in the JSON file a backslash is written \"\\\\\\\\\" and a "
             "byte that is not UTF-8 \"\\\\xNN\"";
      return false;
    }
    *bytes += static_cast<char>(high * 16 + low);
    at += 3;
  }
  return true;
}

}  // namespace kvpooltool
