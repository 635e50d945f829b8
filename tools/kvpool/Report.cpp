#include "tools/kvpool/Report.h"

#include <cstdio>
#include <iostream>

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

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string counted(long long count, const std::string& singular, const std::string& plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

}  // namespace kvpooltool
