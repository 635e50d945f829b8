// The broker's code-page conversions, as the tools and tests use them.
#ifndef KVPOOL_BROKER_TEXT_H
#define KVPOOL_BROKER_TEXT_H

#include <string>
#include <string_view>

namespace kvbroker {

// UTF-8 <-> UTF-16 with the rules of cciMbsToUcs/cciUcsToMbs; throw BrokerError
// on invalid input.
std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);

}  // namespace kvbroker

#endif
