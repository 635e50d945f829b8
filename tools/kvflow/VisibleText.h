// Text from flow files and scripts shown in kvflow's messages so that
// characters a terminal does not show can be seen: a script written with
// CR LF line ends is refused for a character the reader would never spot.
#ifndef KVPOOL_TOOLS_KVFLOW_VISIBLETEXT_H
#define KVPOOL_TOOLS_KVFLOW_VISIBLETEXT_H

#include <string>
#include <string_view>

#include "tools/common/Text.h"

namespace kvflow {

// The text with every character that cannot be seen written as an escape
// (kvtools::ShownAs::kSource); everything else stays as it is.
inline std::string visibleText(std::string_view text) {
  return kvtools::shownText(text, kvtools::ShownAs::kSource);
}

}  // namespace kvflow

#endif
