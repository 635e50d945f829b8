// Dotted paths into the broker's message trees, resolved to elements or
// created, and a copy of a whole message. Nothing here traces, keeps state or
// takes a lock: any thread may use it on messages no other thread uses.
#ifndef KVPOOL_NODE_UTILS_MESSAGEPATHS_H
#define KVPOOL_NODE_UTILS_MESSAGEPATHS_H

#include "host/BrokerApi.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Message tree paths ------------------------------------------------------
// UTF-8 paths such as "Root.XML.Order.Line[2].Qty", whose first segment is a
// root keyword: Root, ExceptionList, DestinationList or Body (the root's last
// child); the keyword alone names the root. Runs of dots count as one,
// trailing dots are ignored. Name[n] is the n-th of the run of same-named
// siblings from the first so named; n must be a plain decimal from 1 to
// 2147483647 (else no element); "Name[" is Name; text after ']' is ignored.
// An element name of 128 units or more matches nothing. Elements are the
// broker's.

// The root element for a keyword, or null (unknown keyword, failed call).
KVPOOL_EXPORT CciElement* findRootElement(const char* segment, CciMessage* message,
                                          CciMessage* exceptionList, CciMessage* destinationList);
// The element the path (no keyword) names below parent, *remainingPath null;
// or the deepest found, *remainingPath a new copy of the missing part (caller
// frees); null with *remainingPath null when memory runs out.
KVPOOL_EXPORT CciElement* findElement(const char* path, CciElement* parent, char** remainingPath);
// The element if it holds a value, else its first child if that does, or null.
KVPOOL_EXPORT CciElement* getValue(CciElement* element);
// Creates path (split in place) below parent, one element of type 0x01000000
// per segment named by its whole text (no index read); the deepest created,
// or null when the broker cannot create one.
KVPOOL_EXPORT CciElement* addChildElement(char* path, CciElement* parent);
// The value-bearing element the path names, or null. The path is not changed.
KVPOOL_EXPORT CciElement* NodeGetValue(const char* path, CciMessage* message,
                                       CciMessage* exceptionList, CciMessage* destinationList);
// The element the path names, its missing part created (named without index)
// unless that would be directly below an existing child of the message's root
// (Body.X, or Root.X.Y with X present) or a missing segment has an index other
// than [1]: then null.
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

#ifdef __cplusplus
#include <cstddef>
#include <string>
#include <vector>

namespace kvpool {

// ---- Paths parsed once ---------------------------------------------------------
// A path split once into its root keyword and segments, each name kept in
// UTF-16 with its index read, so that resolving it converts and allocates
// nothing per element. The text functions above resolve through it too.

enum class PathRoot : unsigned char { kNone, kRoot, kBody, kExceptionList, kDestinationList };

// The occurrence of an index that names no element ([0], [x], [2abc], ...).
inline constexpr int kNoOccurrence = -1;

struct PathSegment {
  std::size_t textStart;  // where the segment begins in the parsed text (bytes)
  std::size_t nameStart;  // its name, 8-bit: offset into the names, terminated
  std::size_t nameBytes;
  std::size_t unitStart;  // its name in UTF-16: offset into the units, terminated
  int nameUnits;
  int occurrence;  // zero-based among the run of same-named siblings, or kNoOccurrence
  // False when each element's name is converted to 8-bit text and compared
  // instead (slower): an empty name, or one the broker would not read back
  // unchanged.
  bool comparesUnits;
};

// Read-only once parsed.
class ParsedPath {
 public:
  // A path with its root keyword ("Body.Order.Id"), or without (segments
  // only, the first one possibly empty, as findElement reads them). False
  // when memory runs out; the path is then unusable.
  bool parse(const char* path, bool withRoot = true) noexcept;

  PathRoot root() const { return root_; }
  std::size_t segmentCount() const { return segments_.size(); }
  const PathSegment& segment(std::size_t index) const { return segments_[index]; }
  const char* segmentName(std::size_t index) const {
    return names_.c_str() + segments_[index].nameStart;
  }
  // The name as an element made for the segment is named: the broker's
  // conversion of the 8-bit name, empty when it fails.
  const CciChar* segmentUnits(std::size_t index) const {
    return units_.data() + segments_[index].unitStart;
  }

 private:
  void addSegment(const char* text, std::size_t textStart, std::size_t length);

  PathRoot root_ = PathRoot::kNone;
  std::string names_;  // each segment's name, terminated
  std::vector<CciChar> units_;
  std::vector<PathSegment> segments_;
};

// NodeGetValue and NodeAddOrGetElement on a parsed path.
CciElement* getPathValue(const ParsedPath& path, CciMessage* message, CciMessage* exceptionList,
                         CciMessage* destinationList);
CciElement* addOrGetPathElement(const ParsedPath& path, CciMessage* message,
                                CciMessage* exceptionList, CciMessage* destinationList);

}  // namespace kvpool
#endif

#endif
