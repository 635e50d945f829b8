#include "tools/kvpool/Report.h"

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

std::string counted(long long count, const std::string& singular, const std::string& plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

}  // namespace kvpooltool
