// Keys and values are 8-bit text that need not be UTF-8, while a JSON string
// holds Unicode text. In an export every key and value is written so that
// each byte comes back: the backslash is an escape of its own, inside the
// JSON string (so it shows in the file as two JSON backslashes):
//   \\    one backslash byte
//   \xNN  the byte NN (two hex digits), for each byte that is not part of
//         valid UTF-8
// and everything else, valid UTF-8, is written as it is. Since every data
// backslash is escaped, no text can be mistaken for an escape.
#ifndef KVPOOL_TOOLS_KVPOOL_BYTETEXT_H
#define KVPOOL_TOOLS_KVPOOL_BYTETEXT_H

#include <string>
#include <string_view>

namespace kvpooltool {

// Length of the valid UTF-8 sequence starting at text[at], or 0 when the
// byte there starts none (overlong forms, surrogates and code points past
// U+10FFFF are not valid).
std::size_t utf8SequenceLength(std::string_view text, std::size_t at);

// The escaped text of bytes: valid UTF-8, ready for a JSON string.
std::string escapeBytes(std::string_view bytes);

// The bytes of an escaped text. False, with the reason in *why, for a
// backslash that starts no escape above.
bool unescapeBytes(std::string_view text, std::string* bytes, std::string* why);

}  // namespace kvpooltool

#endif
