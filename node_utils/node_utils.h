// Generic helpers for message flow nodes: dotted paths into message trees,
// failure and message helpers raised through the broker, a name/value
// attribute bag and a growable string buffer. None of them traces.
#ifndef KVPOOL_NODE_UTILS_NODE_UTILS_H
#define KVPOOL_NODE_UTILS_NODE_UTILS_H

#include <wchar.h>

#include "host/BrokerApi.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Message tree paths ------------------------------------------------------
// Paths are UTF-8 texts such as "Root.XML.Order.Line[2].Qty". The first segment
// is a root keyword: Root, ExceptionList, DestinationList or Body.

KVPOOL_EXPORT CciElement* findRootElement(const char* segment, CciMessage* message,
                                          CciMessage* exceptionList,
                                          CciMessage* destinationList);
// The element the path (no root keyword) names below parent, with
// *remainingPath null; or the deepest element found, with *remainingPath a new
// copy of the missing part (caller frees).
KVPOOL_EXPORT CciElement* findElement(const char* path, CciElement* parent,
                                      char** remainingPath);
// The element itself when it holds a value, else its first child when that
// does, else null.
KVPOOL_EXPORT CciElement* getValue(CciElement* element);
// Creates path (split in place; must be writable) below parent; returns the
// deepest element created.
KVPOOL_EXPORT CciElement* addChildElement(char* path, CciElement* parent);
KVPOOL_EXPORT CciElement* NodeGetValue(const char* path, CciMessage* message,
                                       CciMessage* exceptionList,
                                       CciMessage* destinationList);
KVPOOL_EXPORT CciElement* NodeAddOrGetElement(const char* path, CciMessage* message,
                                              CciMessage* exceptionList,
                                              CciMessage* destinationList);
KVPOOL_EXPORT CciElement* NodeAddElement(const char* path, CciMessage* message,
                                         CciMessage* exceptionList,
                                         CciMessage* destinationList);
KVPOOL_EXPORT CciMessage* NodeCopyMessage(CciMessage* message);

// ---- Failure and message helpers --------------------------------------------
// Formatted texts are cut at 1023 bytes.

KVPOOL_EXPORT void NodePrintWarning(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
KVPOOL_EXPORT void NodePrintInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
KVPOOL_EXPORT void NodeThrowFatalException(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
KVPOOL_EXPORT void NodeThrowConfigException(const char* file, int line, const char* format,
                                            ...) __attribute__((format(printf, 3, 4)));
KVPOOL_EXPORT void NodeHandleFailure(const char* file, int line, int code,
                                     CciTerminal* terminal, const char* text,
                                     CciMessage* exceptionList, CciMessage* destinationList,
                                     CciMessage* message);

// ---- Attribute bag -----------------------------------------------------------
typedef struct NodeAttributePair {
  char* name;
  char* value;  // null until first set
} NodeAttributePair;

typedef struct NodeAttributes {
  NodeAttributePair* pairs;
  unsigned int count;
  unsigned int capacity;
} NodeAttributes;

KVPOOL_EXPORT NodeAttributes* NodeCreateAttributes(void);
KVPOOL_EXPORT void NodeDestroyAttributes(NodeAttributes* bag);
KVPOOL_EXPORT void NodeAddAttribute(NodeAttributes* bag, const char* name);
// 0 when set; 99 when no pair has the name.
KVPOOL_EXPORT int NodeSetAttribute(NodeAttributes* bag, const char* name, const char* value);
KVPOOL_EXPORT const char* NodeGetAttribute(NodeAttributes* bag, const char* name);
KVPOOL_EXPORT const char* NodeGetAttributeName(NodeAttributes* bag, unsigned int index);

// ---- String buffer -----------------------------------------------------------
typedef struct NodeStringBuffer {
  int length;
  int capacity;
  char* data;
} NodeStringBuffer;

KVPOOL_EXPORT NodeStringBuffer* NodeStringBufferAlloc(void);
KVPOOL_EXPORT void NodeStringBufferFree(NodeStringBuffer* buffer);
KVPOOL_EXPORT void NodeStringBufferAdd(NodeStringBuffer* buffer, const char* text);
KVPOOL_EXPORT void NodeStringBufferAddChar(NodeStringBuffer* buffer, char character);

// Conversions between 8-bit text and wchar_t text in the current locale; new
// texts the caller frees.
KVPOOL_EXPORT wchar_t* ASCIIToUnicode(const char* text);
KVPOOL_EXPORT char* UnicodeToASCII(const wchar_t* text);

#ifdef __cplusplus
}
#endif

#endif
