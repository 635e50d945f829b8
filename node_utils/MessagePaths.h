// The message path resolver: dotted paths into the broker's message trees,
// resolved to elements or created, and a copy of a whole message. What the
// script needs to read and write message fields. Nothing here traces, keeps
// state or takes a lock: any thread may use it on messages no other thread
// uses.
#ifndef KVPOOL_NODE_UTILS_MESSAGEPATHS_H
#define KVPOOL_NODE_UTILS_MESSAGEPATHS_H

#include "host/BrokerApi.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Message tree paths ------------------------------------------------------
// Paths are UTF-8 texts such as "Root.XML.Order.Line[2].Qty". The first segment
// is a root keyword: Root, ExceptionList, DestinationList or Body (the last
// child of the message's root). Runs of dots count as one, trailing dots are
// ignored; Name[n] is the n-th of the run of same-named siblings that starts at
// the first so named. n is a plain decimal number from 1 to 2147483647 up to
// the closing bracket; anything else (0, a sign, junk such as "2abc", a number
// out of range) names no element. "Name[" alone is Name; text after the
// closing bracket is ignored. An element whose name is 128 units or longer
// matches no segment. A path of the keyword alone names the root element.
// Elements belong to the broker.

// The root element for a keyword, or null (unknown keyword, failed call).
KVPOOL_EXPORT CciElement* findRootElement(const char* segment, CciMessage* message,
                                          CciMessage* exceptionList, CciMessage* destinationList);
// The element the path (no root keyword) names below parent, with
// *remainingPath null; or the deepest element found, with *remainingPath a new
// copy of the missing part as written (caller frees); null with *remainingPath
// null when memory runs out.
KVPOOL_EXPORT CciElement* findElement(const char* path, CciElement* parent, char** remainingPath);
// The element itself when it holds a value, else its first child when that
// does, else null.
KVPOOL_EXPORT CciElement* getValue(CciElement* element);
// Creates path (split in place; must be writable) below parent, one element of
// type 0x01000000 per segment, named by the whole segment text (an index is
// not interpreted here); returns the deepest element created, or null when the
// broker cannot create one.
KVPOOL_EXPORT CciElement* addChildElement(char* path, CciElement* parent);
// The value-bearing element the path names, or null. The path is not changed.
KVPOOL_EXPORT CciElement* NodeGetValue(const char* path, CciMessage* message,
                                       CciMessage* exceptionList, CciMessage* destinationList);
// The element the path names, creating its missing part; null when nothing may
// be created: in the message tree no element is created directly below an
// existing child of the root (Body.X, or Root.X.Y with X present), and no
// missing segment may carry an index other than [1] (Line[3] with two Lines
// names no element that could be made). Created elements are named without
// their index: Line[1] creates Line.
KVPOOL_EXPORT CciElement* NodeAddOrGetElement(const char* path, CciMessage* message,
                                              CciMessage* exceptionList,
                                              CciMessage* destinationList);
// Creates the missing part of the path, without the rules about the root's
// children; the deepest element created, or null when the whole path exists,
// names no tree, or a missing segment carries an index other than [1].
KVPOOL_EXPORT CciElement* NodeAddElement(const char* path, CciMessage* message,
                                         CciMessage* exceptionList, CciMessage* destinationList);
// A new message on the same context with a copy of the tree, or null; the
// caller deletes it with cniDeleteMessage.
KVPOOL_EXPORT CciMessage* NodeCopyMessage(CciMessage* message);

#ifdef __cplusplus
}
#endif

#endif
