// Showing invisible characters.
#include "tools/kvflow/VisibleText.h"

#include <cstdio>

namespace kvflow {
namespace {

// Characters that show as nothing or as a plain space, and so hide in a
// statement: format characters, the Unicode spaces, fillers and the tags.
bool isInvisible(char32_t c) {
  return (c >= 0x80 && c <= 0xA0) || c == 0xAD || c == 0x34F || c == 0x61C || c == 0x115F ||
         c == 0x1160 || c == 0x17B4 || c == 0x17B5 || c == 0x180E || (c >= 0x2000 && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) || c == 0x3000 ||
         c == 0x3164 || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF || c == 0xFFA0 ||
         (c >= 0xFFF0 && c <= 0xFFFB) || (c >= 0xE0000 && c <= 0xE0FFF);
}

// Length of the well-formed UTF-8 sequence at text[i] and its code point, or
// 0 when the byte there starts none (stray, overlong, surrogate, too large).
std::size_t decodeUtf8(std::string_view text, std::size_t i, char32_t* point) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t c = 0, minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(k) & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *point = c;
  return length;
}

}  // namespace

std::string visibleText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char escape[16];
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      if (byte == '\\') out += '\\';
      out += static_cast<char>(byte);
      ++i;
      continue;
    }
    if (byte < 0x80) {
      switch (byte) {
        case '\r':
          out += "\\r";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\0':
          out += "\\0";
          break;
        default:
          std::snprintf(escape, sizeof escape, "\\x%02X", byte);
          out += escape;
      }
      ++i;
      continue;
    }
    char32_t point = 0;
    const std::size_t length = decodeUtf8(text, i, &point);
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      out += escape;
      ++i;
    } else if (isInvisible(point)) {
      std::snprintf(escape, sizeof escape, point > 0xFFFF ? "\\U%08X" : "\\u%04X",
                    static_cast<unsigned>(point));
      out += escape;
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace kvflow
