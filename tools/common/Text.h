// Text as both tools show and carry it. Keys, values, flow files and scripts
// are 8-bit text that need not be UTF-8; what a tool prints of them must stay
// on one line and hold nothing a terminal acts on, and what an export writes
// must bring every byte back.
#ifndef KVPOOL_TOOLS_COMMON_TEXT_H
#define KVPOOL_TOOLS_COMMON_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace kvtools {

// Length of the well-formed UTF-8 sequence at text[at] (1 for ASCII), its
// code point in *point when given; 0 when none starts there (a stray byte,
// an overlong form, a surrogate, past U+10FFFF, cut short).
std::size_t decodeUtf8(std::string_view text, std::size_t at, char32_t* point = nullptr);

// How a text is shown. Both write \n \t \r and \\, and \xNN (lower-case hex)
// for each byte of the other C0 controls, DEL and bytes that are not UTF-8.
enum class ShownAs {
  // Pool data (kvpool): NUL as \x00, each byte of a C1 control as \xNN.
  kData,
  // Flow files and scripts (kvflow), where an unseen character would hide in
  // a statement: NUL as \0, and C1 controls, the Unicode spaces, format
  // characters and other invisible ones as \uxxxx (\Uxxxxxxxx past U+FFFF).
  kSource,
  // A tool's message, which quotes shown texts already: as kData, but a
  // backslash stays as it is.
  kMessage,
};
std::string shownText(std::string_view text, ShownAs how);
// The same for the one character at text[at]: appends its shown form to *out
// and returns how many bytes it took (at least 1).
std::size_t appendShown(std::string_view text, std::size_t at, ShownAs how, std::string* out);

// "1 record", "2 records": the count and the singular or the plural.
inline std::string counted(long long count, std::string_view singular, std::string_view plural) {
  return std::to_string(count) + " " + std::string(count == 1 ? singular : plural);
}

// An export's byte-preserving text of keys and values, ready for a JSON
// string: a backslash as \\, each byte that is not part of valid UTF-8 as
// \xNN, valid UTF-8 as it is; so no text can be mistaken for an escape.
std::string escapeBytes(std::string_view bytes);
// A JSON text as a JSON writer made it (valid UTF-8, C0 controls escaped)
// with DEL and the C1 controls, which such a writer passes raw and a
// terminal may act on, as \u007f and \u0080 to \u009f.
std::string escapeJsonControls(std::string_view json);
// The bytes of an escaped text (either hex case read). False, with the reason
// in *why, for a backslash that starts no escape above.
bool unescapeBytes(std::string_view text, std::string* bytes, std::string* why);

// "line L, column C" (both from 1) of the byte at offset in text.
std::string lineAndColumn(std::string_view text, std::size_t offset);

}  // namespace kvtools

#endif
