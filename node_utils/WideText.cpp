// Conversions between 8-bit text and wchar_t text in the process's locale.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "node_utils/Allocation.h"
#include "node_utils/NodeHelpers.h"

using kvpool::node_utils::allocateBlock;

extern "C" {

KVPOOL_EXPORT wchar_t* ASCIIToUnicode(const char* text) {
  const size_t bytes = std::strlen(text);
  if (bytes >= SIZE_MAX / sizeof(wchar_t)) return nullptr;
  auto* result = static_cast<wchar_t*>(allocateBlock((bytes + 1) * sizeof(wchar_t)));
  if (result == nullptr) return nullptr;
  // Every character takes at least one byte, so the result never outgrows
  // bytes + 1 places.
  std::mbstate_t state{};
  size_t done = 0;
  size_t used = 0;
  while (used < bytes) {
    wchar_t character;
    const size_t taken = std::mbrtowc(&character, text + used, bytes - used, &state);
    if (taken == 0 || taken == static_cast<size_t>(-1) || taken == static_cast<size_t>(-2)) {
      break;
    }
    result[done++] = character;
    used += taken;
  }
  result[done] = L'\0';
  result[bytes] = L'\0';
  return result;
}

KVPOOL_EXPORT char* UnicodeToASCII(const wchar_t* text) {
  const size_t characters = std::wcslen(text);
  if (characters == SIZE_MAX) return nullptr;
  auto* result = static_cast<char*>(allocateBlock(characters + 1));
  if (result == nullptr) return nullptr;
  // Each character is converted into a scratch area first, so one that needs
  // several bytes is either copied whole or not at all.
  std::mbstate_t state{};
  size_t done = 0;
  for (size_t i = 0; i < characters; ++i) {
    char bytes[MB_LEN_MAX];
    const size_t made = std::wcrtomb(bytes, text[i], &state);
    if (made == static_cast<size_t>(-1) || made > characters - done) break;
    std::memcpy(result + done, bytes, made);
    done += made;
  }
  result[done] = '\0';
  result[characters] = '\0';
  return result;
}

}  // extern "C"
