// UTF-16 text helpers, unit by unit; only the broker's conversions know characters.
#include "support/KvPoolUtil.h"

#include <cstdlib>
#include <cstring>

namespace {

// A terminated empty text of the given unit size, for conversions that failed.
template <typename Unit>
Unit* emptyText(Unit* buffer) {
  if (buffer == nullptr) buffer = static_cast<Unit*>(std::malloc(sizeof(Unit)));
  if (buffer != nullptr) buffer[0] = 0;
  return buffer;
}

// Zero-based index of the n-th occurrence of unit among the first length, or -1.
template <typename Unit>
int indexOf(const Unit* text, int length, Unit unit, int n) {
  int count = 0;
  for (int i = 0; i < length; ++i) {
    if (text[i] == unit) ++count;
    if (count == n) return i;
  }
  return -1;
}

}  // namespace

extern "C" {

int CciCharIsSpace(CciChar unit) {
  return (unit >= 9 && unit <= 13) || unit == 32 ? 1 : 0;
}

int CciCharIsAlnum(CciChar unit) {
  return (unit >= '0' && unit <= '9') || (unit >= 'A' && unit <= 'Z') ||
                 (unit >= 'a' && unit <= 'z')
             ? 1
             : 0;
}

void CciCharCpy(CciChar* destination, const CciChar* source) {
  while ((*destination++ = *source++) != 0) {
  }
}

void CciCharNCpy(CciChar* destination, const CciChar* source, unsigned int count) {
  // Once the terminator is reached it is read again for every remaining place.
  for (unsigned int i = 0; i < count; ++i) {
    CciChar unit = *source;
    destination[i] = unit;
    if (unit != 0) ++source;
  }
}

int CciCharLen(const CciChar* text) {
  int length = 0;
  while (text[length] != 0) ++length;
  return length;
}

int CciCharCmp(const CciChar* a, const CciChar* b) {
  for (;; ++a, ++b) {
    int unitA = *a;
    int unitB = *b;
    if (unitA == 0 || unitA != unitB) return unitA - unitB;
  }
}

CciChar* CciString(const char* text, int codepage) {
  size_t units = std::strlen(text) + 1;  // UTF-8 never needs more units than bytes
  auto* buffer = static_cast<CciChar*>(std::malloc(units * sizeof(CciChar)));
  if (buffer == nullptr) return emptyText<CciChar>(nullptr);
  int rc = 0;
  cciMbsToUcs(&rc, text, buffer, static_cast<int>(units), codepage);
  if (rc != CCI_SUCCESS) return emptyText(buffer);
  return buffer;
}

CciChar* CciNString(const char* text, int count, int codepage) {
  if (count < 0) count = 0;
  auto* buffer =
      static_cast<CciChar*>(std::calloc(static_cast<size_t>(count) + 1, sizeof(CciChar)));
  if (buffer == nullptr) return emptyText<CciChar>(nullptr);
  int rc = 0;
  // The broker terminates within the capacity given: count units need count + 1.
  cciMbsToUcs(&rc, text, buffer, count + 1, codepage);
  if (rc != CCI_SUCCESS && rc != CCI_BUFFER_TOO_SMALL) buffer[0] = 0;
  buffer[count] = 0;
  return buffer;
}

char* mbString(const CciChar* text, int codepage) {
  size_t capacity = 9 * (static_cast<size_t>(CciCharLen(text)) + 1);
  auto* buffer = static_cast<char*>(std::malloc(capacity));
  if (buffer == nullptr) return emptyText<char>(nullptr);
  int rc = 0;
  cciUcsToMbs(&rc, text, buffer, static_cast<int>(capacity), codepage);
  if (rc != CCI_SUCCESS) return emptyText(buffer);
  return buffer;
}

int CciCharIndexOf(const CciChar* text, CciChar unit, int n) {
  return indexOf(text, CciCharLen(text), unit, n);
}

int CharIndexOf(const char* text, char byte, int n) {
  return indexOf(text, static_cast<int>(std::strlen(text)), byte, n);
}

void UTOASCIICharNCpy(char* destination, const CciChar* source, unsigned int count) {
  for (unsigned int i = 0; i < count; ++i) {
    char byte = static_cast<char>(*source & 0xFF);
    destination[i] = byte;
    if (byte != 0) ++source;
  }
  destination[count] = 0;
}

}  // extern "C"
