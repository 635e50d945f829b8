// A statement's value between its two operands.
#include <cstdlib>
#include <cstring>

#include "script/PoolStatement.h"
#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"

namespace {

constexpr CciChar kNoUnits[1] = {0};

// No unpaired surrogate: the broker's round trip through UTF-8 keeps it.
bool isWellFormed(const CciChar* units) {
  for (const CciChar* unit = units; *unit != 0; ++unit) {
    if (*unit >= 0xD800 && *unit <= 0xDBFF) {
      if (unit[1] < 0xDC00 || unit[1] > 0xDFFF) return false;
      ++unit;
    } else if (*unit >= 0xDC00 && *unit <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace kvpool {

void StatementValue::readElement(CciElement* element) {
  int rc = 0;
  heapText_.reset();
  text_ = nullptr;
  // Zeroed as the first read's buffer always was.
  std::memset(shortUnits_, 0, sizeof shortUnits_);
  const int length = cniElementCharacterValue(&rc, element, shortUnits_, kShortUnits);
  units_ = shortUnits_;
  // A longer value is read again whole (the terminator goes past the capacity).
  if (length > kShortUnits) {
    heapUnits_.reset(
        static_cast<CciChar*>(std::calloc(static_cast<std::size_t>(length) + 1, sizeof(CciChar))));
    if (!heapUnits_) {
      setEmpty();
      return;
    }
    cniElementCharacterValue(&rc, element, heapUnits_.get(), length);
    units_ = heapUnits_.get();
  }
  Log("  cniElementCharacterValue [%S]\n", units_);
  origin_ = Origin::kElementUnits;
}

void StatementValue::takeText(char* text) {
  heapText_.reset(text);
  text_ = text;
  units_ = nullptr;
  origin_ = Origin::kText;
}

const char* StatementValue::text() {
  if (text_ != nullptr) return text_;
  const auto length = static_cast<std::size_t>(CciCharLen(units_));
  const bool ascii = isAscii(units_, length);
  // As mbString converts: nine bytes a unit, the empty text when it fails.
  const std::size_t capacity = ascii ? length + 1 : 9 * (length + 1);
  char* target = shortText_;
  if (capacity > sizeof shortText_) {
    heapText_.reset(static_cast<char*>(std::malloc(capacity)));
    if (!heapText_) return text_ = "";
    target = heapText_.get();
  }
  if (ascii) {
    for (std::size_t i = 0; i <= length; ++i) target[i] = static_cast<char>(units_[i]);
  } else {
    int rc = 0;
    cciUcsToMbs(&rc, units_, target, static_cast<int>(capacity), kCodePageUtf8);
    if (rc != CCI_SUCCESS) target[0] = '\0';
  }
  return text_ = target;
}

const CciChar* StatementValue::units() {
  if (origin_ == Origin::kElementUnits) {
    if (isWellFormed(units_)) {
      origin_ = Origin::kUnits;
    } else {
      text();  // what the broker makes of it, then back
      textToUnits();
    }
  } else if (origin_ == Origin::kText) {
    textToUnits();
  }
  return units_;
}

// As CciString converts: as many units as bytes, the empty text when it fails.
void StatementValue::textToUnits() {
  const std::size_t bytes = std::strlen(text_);
  CciChar* target = shortUnits_;
  origin_ = Origin::kUnits;
  units_ = kNoUnits;
  if (bytes + 1 > sizeof shortUnits_ / sizeof shortUnits_[0]) {
    heapUnits_.reset(static_cast<CciChar*>(std::malloc((bytes + 1) * sizeof(CciChar))));
    if (!heapUnits_) return;
    target = heapUnits_.get();
  }
  if (isAscii(text_, bytes)) {
    for (std::size_t i = 0; i <= bytes; ++i) target[i] = static_cast<unsigned char>(text_[i]);
  } else {
    int rc = 0;
    cciMbsToUcs(&rc, text_, target, static_cast<int>(bytes + 1), kCodePageUtf8);
    if (rc != CCI_SUCCESS) target[0] = 0;
  }
  units_ = target;
}

}  // namespace kvpool
