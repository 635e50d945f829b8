// Text from flow files and scripts shown in kvflow's messages so that
// characters a terminal does not show can be seen: a script written with
// CR LF line ends is refused for a character the reader would never spot.
#ifndef KVPOOL_TOOLS_KVFLOW_VISIBLETEXT_H
#define KVPOOL_TOOLS_KVFLOW_VISIBLETEXT_H

#include <string>
#include <string_view>

namespace kvflow {

// The text with every character that cannot be seen written as an escape:
// CR as \r, LF as \n, tab as \t, NUL as \0, other control bytes and bytes
// that are not UTF-8 as \xNN, invisible or space-like characters (a
// byte-order mark, a non-breaking space, zero-width characters, C1 controls)
// as \uXXXX (\UXXXXXXXX past U+FFFF), and the backslash itself as \\.
// Everything else stays as it is.
std::string visibleText(std::string_view text);

}  // namespace kvflow

#endif
