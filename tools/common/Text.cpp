#include "tools/common/Text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace kvtools {
namespace {

void appendHexByte(unsigned char byte, std::string* out) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
  *out += escaped;
}

// Characters that show as nothing or as a plain space, and so hide in a
// statement: the C1 controls, format characters, the Unicode spaces,
// fillers and the tags.
bool isInvisible(char32_t c) {
  return (c >= 0x80 && c <= 0xA0) || c == 0xAD || c == 0x34F || c == 0x61C || c == 0x115F ||
         c == 0x1160 || c == 0x17B4 || c == 0x17B5 || c == 0x180E || (c >= 0x2000 && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) || c == 0x3000 ||
         c == 0x3164 || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF || c == 0xFFA0 ||
         (c >= 0xFFF0 && c <= 0xFFFB) || (c >= 0xE0000 && c <= 0xE0FFF);
}

// The escape of an ASCII byte, or nullptr when it shows as it is.
const char* asciiEscape(unsigned char byte, ShownAs how) {
  if (byte == '\0') return how == ShownAs::kSource ? "\\0" : nullptr;
  if (byte == '\\' && how == ShownAs::kMessage) return nullptr;
  static constexpr std::string_view kEscaped = "\n\t\r\\";
  static constexpr const char* kEscapes[] = {"\\n", "\\t", "\\r", "\\\\"};
  const std::size_t at = kEscaped.find(static_cast<char>(byte));
  return at == std::string_view::npos ? nullptr : kEscapes[at];
}

}  // namespace

std::size_t decodeUtf8(std::string_view text, std::size_t at, char32_t* point) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t c = 0, minimum = 0;
  if (lead < 0x80) {
    length = 1, c = lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(k) & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  if (point != nullptr) *point = c;
  return length;
}

std::size_t appendShown(std::string_view text, std::size_t at, ShownAs how, std::string* out) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) {
    if (const char* escape = asciiEscape(lead, how)) {
      *out += escape;
    } else if (lead < 0x20 || lead == 0x7F) {
      appendHexByte(lead, out);
    } else {
      *out += static_cast<char>(lead);
    }
    return 1;
  }
  char32_t point = 0;
  const std::size_t length = decodeUtf8(text, at, &point);
  if (length == 0) {
    appendHexByte(lead, out);
    return 1;
  }
  if (how != ShownAs::kSource && point <= 0x9F) {
    // A terminal may act on a C1 control (U+009B starts a control sequence
    // as ESC [ does).
    for (std::size_t k = 0; k < length; ++k) appendHexByte(text[at + k], out);
  } else if (how == ShownAs::kSource && isInvisible(point)) {
    char escape[16];
    std::snprintf(escape, sizeof escape, point > 0xFFFF ? "\\U%08x" : "\\u%04x",
                  static_cast<unsigned>(point));
    *out += escape;
  } else {
    out->append(text.substr(at, length));
  }
  return length;
}

std::string shownText(std::string_view text, ShownAs how) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) at += appendShown(text, at, how, &out);
  return out;
}

std::string escapeBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = bytes[at] == '\\' ? 0 : decodeUtf8(bytes, at);
    if (bytes[at] == '\\') {
      out += "\\\\";
    } else if (length == 0) {
      appendHexByte(static_cast<unsigned char>(bytes[at]), &out);
    } else {
      out.append(bytes.substr(at, length));
    }
    at += std::max<std::size_t>(length, 1);
  }
  return out;
}

std::string escapeJsonControls(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  for (std::size_t at = 0; at < json.size(); ++at) {
    const auto byte = static_cast<unsigned char>(json[at]);
    const unsigned char next = at + 1 < json.size() ? static_cast<unsigned char>(json[at + 1]) : 0;
    if (byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x",
                    byte == 0x7F ? 0x7Fu : static_cast<unsigned>(next));
      out += escape;
      at += byte == 0x7F ? 0 : 1;
    } else {
      out += json[at];
    }
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
    unsigned value = 0;
    const char* digits = text.data() + at + 2;
    if (at + 3 >= text.size() || text[at + 1] != 'x' ||
        std::from_chars(digits, digits + 2, value, 16).ptr != digits + 2) {
      *why = "the backslash at character " + std::to_string(at + 1) +
             " starts no escape: in the JSON file a backslash is written \"\\\\\\\\\" and a "
             "byte that is not UTF-8 \"\\\\xNN\"";
      return false;
    }
    *bytes += static_cast<char>(value);
    at += 3;
  }
  return true;
}

std::string lineAndColumn(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, offset);
  const std::size_t lineStart = before.rfind('\n');
  const std::size_t line = 1 + std::count(before.begin(), before.end(), '\n');
  const std::size_t column =
      1 + before.size() - (lineStart == std::string_view::npos ? 0 : lineStart + 1);
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace kvtools
