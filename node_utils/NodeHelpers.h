// Generic helpers for message flow nodes (dotted paths: MessagePaths.h):
// failure helpers raised through the broker, an attribute bag, a string
// buffer and wide-text conversions. None traces, keeps state or locks: any
// thread may use them on objects no other thread uses.
#ifndef KVPOOL_NODE_UTILS_NODEHELPERS_H
#define KVPOOL_NODE_UTILS_NODEHELPERS_H

#include <wchar.h>

#include "host/BrokerApi.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Failure and message helpers --------------------------------------------
// Message number 0x40000A3F, source "Vantrel2", no function name, and the
// formatted text (cut at 1023 bytes) as trace text. The Throw helpers do not
// return: the broker's exception unwinds through the caller.

// A warning event (log type 1).
KVPOOL_EXPORT void NodePrintWarning(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// An information event (log type 2) with the file "" and the line 0.
KVPOOL_EXPORT void NodePrintInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Raises a fatal exception (type 0).
KVPOOL_EXPORT void NodeThrowFatalException(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Raises a configuration exception (type 2).
KVPOOL_EXPORT void NodeThrowConfigException(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Terminal attached: warns "<text>: error = <code>" and propagates there;
// else code 64 rethrows the pending exception, any other raises a fatal one.
KVPOOL_EXPORT void NodeHandleFailure(const char* file, int line, int code, CciTerminal* terminal,
                                     const char* text, CciMessage* exceptionList,
                                     CciMessage* destinationList, CciMessage* message);

// ---- Attribute bag -----------------------------------------------------------
// Name/value pairs of 8-bit texts in the order added, compared by strcmp and
// owned by the bag. When memory runs out an operation leaves the bag as it was.
typedef struct NodeAttributePair {
  char* name;
  char* value;  // null until first set
} NodeAttributePair;

typedef struct NodeAttributes {
  NodeAttributePair* pairs;
  unsigned int count;
  unsigned int capacity;
} NodeAttributes;

// A new empty bag (16 pairs, doubled when full) or null; released with
// NodeDestroyAttributes.
KVPOOL_EXPORT NodeAttributes* NodeCreateAttributes(void);
// Releases the bag and its texts; null is ignored.
KVPOOL_EXPORT void NodeDestroyAttributes(NodeAttributes* bag);
// Adds a pair with a copy of the name and no value, unless the name is there.
KVPOOL_EXPORT void NodeAddAttribute(NodeAttributes* bag, const char* name);
// 0 value copied in; 99 no such name (never added), null value, or no memory.
KVPOOL_EXPORT int NodeSetAttribute(NodeAttributes* bag, const char* name, const char* value);
// The value for the name, or null; valid until set again or destroyed.
KVPOOL_EXPORT const char* NodeGetAttribute(NodeAttributes* bag, const char* name);
// The bag's name text at index (0 is the first added), or null past the end.
KVPOOL_EXPORT const char* NodeGetAttributeName(NodeAttributes* bag, unsigned int index);

// ---- String buffer -----------------------------------------------------------
// length bytes and a zero byte in a block of capacity bytes (32 at first),
// grown when length + added + 1 reaches the capacity: to twice the capacity,
// plus added + 1 when still too small. Out of memory: left as it was.
typedef struct NodeStringBuffer {
  int length;
  int capacity;
  char* data;
} NodeStringBuffer;

// A new buffer holding the empty text, or null; released by
// NodeStringBufferFree (which takes no null).
KVPOOL_EXPORT NodeStringBuffer* NodeStringBufferAlloc(void);
KVPOOL_EXPORT void NodeStringBufferFree(NodeStringBuffer* buffer);
KVPOOL_EXPORT void NodeStringBufferAdd(NodeStringBuffer* buffer, const char* text);
// Appends one byte (also a zero byte), making room for two.
KVPOOL_EXPORT void NodeStringBufferAddChar(NodeStringBuffer* buffer, char character);

// ---- Wide text -------------------------------------------------------------
// 8-bit text to wchar_t text and back in the current locale: new texts the
// caller frees, null when memory runs out, with one place per source
// character and a terminator. Conversion stops at a character the locale
// cannot convert (or, narrowing, whose bytes would not fit).
KVPOOL_EXPORT wchar_t* ASCIIToUnicode(const char* text);
KVPOOL_EXPORT char* UnicodeToASCII(const wchar_t* text);

#ifdef __cplusplus
}
#endif

#endif
