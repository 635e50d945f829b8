// The broker's attribute callbacks: enumerate, set (compiling the script) and
// read back the node's attributes, and the process-wide trace label.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "node/KvPool.h"
#include "node/NodeInternal.h"
#include "script/PoolScript.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"

namespace {

using kvpool::findAttribute;
using kvpool::kCodePageUtf8;
using kvpool::MallocPtr;

// Copies text into the broker's buffer of bufferLength units: never past its
// end, zero-filled after the text, and always terminated when it holds at
// least one unit (a longer text is cut).
void copyToBuffer(CciChar* buffer, int bufferLength, const CciChar* text) {
  if (buffer == nullptr || bufferLength <= 0) return;
  CciCharNCpy(buffer, text, static_cast<unsigned int>(bufferLength));
  buffer[bufferLength - 1] = 0;
}

void raiseScriptRejected() {
  int rc = 0;
  Log("  KvPoolExpression is wrong..\n");
  kvpool::raiseThroughBroker([&] {
    cciThrowException(&rc, CCI_CONFIGURATION_EXCEPTION, kvpool::kEventFile,
                      kvpool::kLineScriptRejected, "setAttribute", constKvCatalog,
                      kvpool::kEventScriptRejected, kvpool::kVTRL2Text, nullptr);
  });
}

// Replaces the stored text by a copy of value sized to it.
bool storeString(AttrTblEntry* entry, const CciChar* value) {
  const std::size_t bytes = (static_cast<std::size_t>(CciCharLen(value)) + 1) * sizeof(CciChar);
  auto* copy = static_cast<CciChar*>(std::malloc(bytes));
  if (copy == nullptr) return false;
  std::memcpy(copy, value, bytes);
  std::free(entry->valueBuffer);
  entry->valueBuffer = copy;
  return true;
}

}  // namespace

int getAttributeName(CciContext* opaque, int index, CciChar* buffer, int bufferLength) {
  auto* context = static_cast<NodeContext*>(opaque);
  Log("-->getAttributeName\n");
  AttrTblEntry* entry = context->attrHead;
  for (int count = 0; entry != nullptr && count < index; ++count) entry = entry->next;
  if (entry == nullptr || index < 0) return 1;
  copyToBuffer(buffer, bufferLength, entry->attrName);
  return 0;
}

namespace {

int storeAttribute(CciContext* opaque, CciChar* name, CciChar* value) {
  auto* context = static_cast<NodeContext*>(opaque);
  static const CciChar kEmpty[] = {0};
  if (value == nullptr) value = const_cast<CciChar*>(kEmpty);
  ucsLog("  setAttribute attrValue ", value);

  AttrTblEntry* entry = findAttribute(context, name);
  if (entry == nullptr) {
    MallocPtr<CciChar> label(CciString("label", kCodePageUtf8));
    if (CciCharCmp(name, label.get()) == 0) kvpool::setTraceLabel(mbString(value, kCodePageUtf8));
    return 1;
  }

  if (entry->attrType == ATTR_TYPE_STRING) {
    if (!storeString(entry, value)) {
      Log("  >setAttribute: malloc() failed\n");
      raiseScriptRejected();
    } else if (processKvPoolscript(context) != 0) {
      raiseScriptRejected();
    }
  } else if (entry->attrType == ATTR_TYPE_INTEGER || entry->attrType == ATTR_TYPE_BOOLEAN) {
    MallocPtr<char> text(mbString(value, kCodePageUtf8));
    const bool integer = entry->attrType == ATTR_TYPE_INTEGER;
    *static_cast<int32_t*>(entry->valueBuffer) =
        integer ? std::atoi(text.get()) : (std::strcmp(text.get(), "false") == 0 ? 0 : 1);
    if (!integer) kvpool::storeScriptFlags(context);
  }
  return 0;
}

}  // namespace

int setAttribute(CciContext* context, CciChar* name, CciChar* value) {
  return kvpool::answerEntry("setAttribute", 1,
                             [&] { return storeAttribute(context, name, value); });
}

int getAttribute(CciContext* opaque, CciChar* name, CciChar* buffer, int bufferLength) {
  auto* context = static_cast<NodeContext*>(opaque);
  Log("-->getAttribute\n");
  AttrTblEntry* entry = findAttribute(context, name);
  if (entry == nullptr) return 1;

  if (entry->attrType == ATTR_TYPE_STRING) {
    copyToBuffer(buffer, bufferLength, static_cast<const CciChar*>(entry->valueBuffer));
  } else if (entry->attrType == ATTR_TYPE_INTEGER || entry->attrType == ATTR_TYPE_BOOLEAN) {
    const int32_t value = *static_cast<int32_t*>(entry->valueBuffer);
    char digits[32];
    std::snprintf(digits, sizeof digits, "%d", value);
    const char* text =
        entry->attrType == ATTR_TYPE_INTEGER ? digits : (value != 0 ? "true" : "false");
    copyToBuffer(buffer, bufferLength, MallocPtr<CciChar>(CciString(text, kCodePageUtf8)).get());
  }
  return 0;
}
