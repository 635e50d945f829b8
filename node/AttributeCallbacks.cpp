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
  cciThrowException(&rc, CCI_CONFIGURATION_EXCEPTION, kvpool::kEventFile,
                    kvpool::kLineScriptRejected, "setAttribute", constKvCatalog,
                    kvpool::kEventScriptRejected, kvpool::kVTRL2Text, nullptr);
}

// Replaces the stored text by a copy of value sized to it.
bool storeString(AttrTblEntry* entry, const CciChar* value) {
  const int length = CciCharLen(value);
  auto* copy =
      static_cast<CciChar*>(std::malloc((static_cast<std::size_t>(length) + 1) * sizeof(CciChar)));
  if (copy == nullptr) return false;
  std::memcpy(copy, value, (static_cast<std::size_t>(length) + 1) * sizeof(CciChar));
  std::free(entry->valueBuffer);
  entry->valueBuffer = copy;
  return true;
}

}  // namespace

int getAttributeName(CciContext* opaque, int index, CciChar* buffer, int bufferLength) {
  auto* context = static_cast<NodeContext*>(opaque);
  Log("-->getAttributeName\n");
  int count = 0;
  for (AttrTblEntry* entry = context->attrHead; entry != nullptr; entry = entry->next, ++count) {
    if (count == index) {
      copyToBuffer(buffer, bufferLength, entry->attrName);
      return 0;
    }
  }
  return 1;
}

int setAttribute(CciContext* opaque, CciChar* name, CciChar* value) {
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

  switch (entry->attrType) {
    case ATTR_TYPE_INTEGER: {
      MallocPtr<char> text(mbString(value, kCodePageUtf8));
      *static_cast<int32_t*>(entry->valueBuffer) = std::atoi(text.get());
      break;
    }
    case ATTR_TYPE_BOOLEAN: {
      MallocPtr<char> text(mbString(value, kCodePageUtf8));
      *static_cast<int32_t*>(entry->valueBuffer) = std::strcmp(text.get(), "false") == 0 ? 0 : 1;
      kvpool::storeScriptFlags(context);
      break;
    }
    case ATTR_TYPE_STRING:
      if (!storeString(entry, value)) {
        Log("  >setAttribute: malloc() failed\n");
        raiseScriptRejected();
        break;
      }
      if (processKvPoolscript(context) != 0) raiseScriptRejected();
      break;
    default:
      break;
  }
  return 0;
}

int getAttribute(CciContext* opaque, CciChar* name, CciChar* buffer, int bufferLength) {
  auto* context = static_cast<NodeContext*>(opaque);
  Log("-->getAttribute\n");
  AttrTblEntry* entry = findAttribute(context, name);
  if (entry == nullptr) return 1;

  switch (entry->attrType) {
    case ATTR_TYPE_INTEGER: {
      char digits[32];
      std::snprintf(digits, sizeof digits, "%d", *static_cast<int32_t*>(entry->valueBuffer));
      MallocPtr<CciChar> text(CciString(digits, kCodePageUtf8));
      copyToBuffer(buffer, bufferLength, text.get());
      break;
    }
    case ATTR_TYPE_BOOLEAN: {
      const bool set = *static_cast<int32_t*>(entry->valueBuffer) != 0;
      MallocPtr<CciChar> text(CciString(set ? "true" : "false", kCodePageUtf8));
      copyToBuffer(buffer, bufferLength, text.get());
      break;
    }
    case ATTR_TYPE_STRING:
      copyToBuffer(buffer, bufferLength, static_cast<const CciChar*>(entry->valueBuffer));
      break;
    default:
      break;
  }
  return 0;
}
