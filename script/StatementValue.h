// The value one statement copies, kept in the form it was read in (UTF-16
// from a message element, 8-bit from the pool) and converted only when the
// other side wants the other form. Short values live in buffers inside the
// object, on the runner's stack: a statement allocates nothing for them.
//
// What comes out is what the broker's conversions have always made of the
// value (support/KvPoolUtil.h: mbString, CciString): ASCII text is the same
// in both forms and is widened or narrowed here; other text goes through
// the broker; UTF-16 from an element that the broker would turn into UTF-8
// and back unchanged (well-formed text) is passed on as it is.
#ifndef KVPOOL_SCRIPT_STATEMENTVALUE_H
#define KVPOOL_SCRIPT_STATEMENTVALUE_H

#include "host/BrokerApi.h"
#include "support/MallocPtr.h"

namespace kvpool {

class StatementValue {
 public:
  // Units of a value read in one go; a longer value is read again into the heap.
  static constexpr int kShortUnits = 256;

  StatementValue() = default;
  StatementValue(const StatementValue&) = delete;
  StatementValue& operator=(const StatementValue&) = delete;

  // The element's whole character value, traced as
  // "  cniElementCharacterValue [...]".
  void readElement(CciElement* element);
  // Takes over a value the pool handed out (malloc'd).
  void takeText(char* text);
  // The empty text, for a missing operand let through by its flag.
  void setEmpty();

  // The value as 8-bit text (UTF-8), as the pool stores it. Valid until the
  // next call that sets the value.
  const char* text();
  // The value in UTF-16, as an element is set to it; terminated.
  const CciChar* units();

 private:
  void textToUnits();

  // Where units() comes from: an element's own units are checked once
  // before they are passed on as they are.
  enum class Origin { kText, kElementUnits, kUnits };
  Origin origin_ = Origin::kText;
  const char* text_ = "";
  const CciChar* units_ = nullptr;
  MallocPtr<char> heapText_;
  MallocPtr<CciChar> heapUnits_;
  CciChar shortUnits_[kShortUnits + 1];
  // Room for the broker's 8-bit text of a short value: nine bytes a unit,
  // as mbString gives it.
  char shortText_[9 * (kShortUnits + 1)];
};

}  // namespace kvpool

#endif
