// Dotted paths: parsed once into UTF-16 segments, resolved to an element, and
// their missing part created.
#include "node_utils/MessagePaths.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "support/KvPoolUtil.h"
#include "support/MallocPtr.h"

namespace {

using kvpool::kNoOccurrence;
using kvpool::ParsedPath;
using kvpool::PathRoot;
using kvpool::PathSegment;

constexpr int kCodePage = CCI_CODEPAGE_UTF8;
// A longer element name cannot be read whole and matches no segment.
constexpr int kNameUnits = 128;

using Text = kvpool::MallocPtr<char>;

// The end of the token at text[start], and in *next where the token after
// the run of dots begins (npos when nothing follows).
std::size_t tokenEnd(const char* text, std::size_t start, std::size_t* next) {
  std::size_t end = start;
  while (text[end] != '\0' && text[end] != '.') ++end;
  std::size_t after = end;
  while (text[after] == '.') ++after;
  *next = text[after] != '\0' ? after : std::string::npos;
  return end;
}

// The zero-based occurrence an index text asks for: a plain decimal number
// from 1 to INT_MAX filling the text; anything else names nothing.
int indexOccurrence(const char* index, std::size_t length) {
  const long long value = kvpool::decimalValue(index, length, INT_MAX);
  return value < 1 ? kNoOccurrence : static_cast<int>(value - 1);
}

// The tree a keyword names; it must match in full.
PathRoot rootOf(const char* keyword, std::size_t bytes) {
  const auto is = [&](const char* name) {
    return std::strlen(name) == bytes && std::memcmp(keyword, name, bytes) == 0;
  };
  if (is("Root")) return PathRoot::kRoot;
  if (is("ExceptionList")) return PathRoot::kExceptionList;
  if (is("DestinationList")) return PathRoot::kDestinationList;
  if (is("Body")) return PathRoot::kBody;
  return PathRoot::kNone;
}

// The element's name into units (terminated), or -1 when it cannot be read
// whole.
int readNameUnits(CciElement* element, CciChar (&units)[kNameUnits]) {
  int rc = CCI_SUCCESS;
  const int length = cniElementName(&rc, element, units, kNameUnits);
  if (rc != CCI_SUCCESS || length < 0 || length >= kNameUnits) return -1;
  units[length] = 0;
  return length;
}

// Whether the element's name is the segment's. A name reads up to its first
// zero unit, as the broker converts it.
bool nameMatches(CciElement* element, const ParsedPath& path, std::size_t index) {
  CciChar units[kNameUnits];
  const int length = readNameUnits(element, units);
  if (length < 0) return false;
  const PathSegment& segment = path.segment(index);
  if (!segment.comparesUnits) {
    Text name(mbString(units, kCodePage));
    return name != nullptr && std::strcmp(name.get(), path.segmentName(index)) == 0;
  }
  const int wanted = segment.nameUnits;
  if (wanted > length) return false;
  if (std::memcmp(units, path.segmentUnits(index),
                  static_cast<std::size_t>(wanted) * sizeof(CciChar)) != 0) {
    return false;
  }
  return wanted == length || units[wanted] == 0;
}

// The child of parent that the segment names, or null (missing, failed call).
CciElement* findChild(CciElement* parent, const ParsedPath& path, std::size_t index) {
  const int occurrence = path.segment(index).occurrence;
  int rc = CCI_SUCCESS;
  CciElement* child = cniFirstChild(&rc, parent);
  while (rc == CCI_SUCCESS && child != nullptr && !nameMatches(child, path, index)) {
    child = cniNextSibling(&rc, child);
  }
  if (rc != CCI_SUCCESS || child == nullptr || occurrence == kNoOccurrence) return nullptr;
  // Name[n] counts only the run of same-named siblings that starts here.
  for (int count = 0; count < occurrence; ++count) {
    child = cniNextSibling(&rc, child);
    if (rc != CCI_SUCCESS || child == nullptr || !nameMatches(child, path, index)) return nullptr;
  }
  return child;
}

// The root element of a keyword's tree, or null (kNone, failed call).
CciElement* findPathRoot(PathRoot root, CciMessage* message, CciMessage* exceptionList,
                         CciMessage* destinationList) {
  if (root == PathRoot::kNone) return nullptr;
  int rc = CCI_SUCCESS;
  CciElement* element = cniRootElement(&rc, root == PathRoot::kExceptionList     ? exceptionList
                                            : root == PathRoot::kDestinationList ? destinationList
                                                                                 : message);
  if (root == PathRoot::kBody && rc == CCI_SUCCESS && element != nullptr) {
    element = cniLastChild(&rc, element);
  }
  return rc == CCI_SUCCESS ? element : nullptr;
}

// How far a path leads below an element: the element it names or the deepest
// found, and the first segment missing (segmentCount() when none).
struct PathWalk {
  CciElement* element;
  std::size_t missing;
};
PathWalk walkPath(const ParsedPath& path, CciElement* from) {
  CciElement* parent = from;
  for (std::size_t i = 0; i < path.segmentCount(); ++i) {
    CciElement* child = findChild(parent, path, i);
    if (child == nullptr) return {parent, i};
    parent = child;
  }
  return {parent, path.segmentCount()};
}

// Creates the missing segments below the deepest element found, named
// without their index. Creates nothing and gives null when a missing
// segment's index is not [1] (a new element would be the first, not the n-th)
// or it has no name.
CciElement* createMissing(const ParsedPath& path, const PathWalk& walk) {
  for (std::size_t i = walk.missing; i < path.segmentCount(); ++i) {
    const PathSegment& segment = path.segment(i);
    if (segment.occurrence != 0 || segment.nameBytes == 0) return nullptr;
  }
  CciElement* parent = walk.element;
  for (std::size_t i = walk.missing; i < path.segmentCount(); ++i) {
    CciElement* created = cniCreateElementAsLastChild(nullptr, parent);
    if (created == nullptr) return nullptr;
    cniSetElementName(nullptr, created, path.segmentUnits(i));
    cniSetElementType(nullptr, created, CCI_ELEMENT_TYPE_NAME);
    parent = created;
  }
  return parent;
}

// The walk of a path from its root (null element when it names no tree).
PathWalk resolve(const ParsedPath& path, CciMessage* message, CciMessage* exceptionList,
                 CciMessage* destinationList) {
  CciElement* root = findPathRoot(path.root(), message, exceptionList, destinationList);
  if (root == nullptr) return {nullptr, 0};
  return walkPath(path, root);
}

// A text path parsed, then resolved by the function given.
template <auto resolveParsed>
CciElement* onParsedPath(const char* path, CciMessage* message, CciMessage* exceptionList,
                         CciMessage* destinationList) {
  ParsedPath parsed;
  if (!parsed.parse(path)) return nullptr;
  return resolveParsed(parsed, message, exceptionList, destinationList);
}

}  // namespace

bool kvpool::ParsedPath::parse(const char* path, bool withRoot) noexcept {
  root_ = PathRoot::kNone;
  names_.clear();
  units_.clear();
  segments_.clear();
  if (path == nullptr) return false;
  std::size_t next = 0;
  if (withRoot) root_ = rootOf(path, tokenEnd(path, 0, &next));
  try {
    for (std::size_t start = next; start != std::string::npos; start = next) {
      const std::size_t end = tokenEnd(path, start, &next);
      addSegment(path, start, end - start);
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// One segment: its name up to the first '['; an index after the run of
// brackets up to the first ']' (a bracket with nothing after it is no
// index; text after the closing bracket is ignored).
void kvpool::ParsedPath::addSegment(const char* text, std::size_t textStart, std::size_t length) {
  const std::string_view segmentText(text + textStart, length);
  const std::size_t nameBytes = std::min(segmentText.find('['), length);
  const std::size_t index = std::min(segmentText.find_first_not_of('[', nameBytes), length);
  int occurrence = 0;
  if (index < length) {
    const std::size_t indexEnd = std::min(segmentText.find(']', index), length);
    occurrence = indexOccurrence(segmentText.data() + index, indexEnd - index);
  }

  PathSegment segment{textStart, names_.size(), nameBytes,    units_.size(),
                      0,         occurrence,    nameBytes > 0};
  names_.append(segmentText.data(), nameBytes);
  names_.push_back('\0');
  const char* name = names_.c_str() + segment.nameStart;

  // The units an element made for the segment is named with, as CciString
  // gives them; ASCII widens unit for unit without the broker.
  if (kvpool::isAscii(name, nameBytes)) {
    // Widened by hand: a range insert would instantiate std names that a
    // debug build exports from the plug-in.
    units_.resize(segment.unitStart + nameBytes);
    for (std::size_t i = 0; i < nameBytes; ++i) units_[segment.unitStart + i] = name[i];
  } else {
    units_.resize(units_.size() + nameBytes + 1);
    CciChar* units = units_.data() + segment.unitStart;
    int rc = CCI_SUCCESS;
    cciMbsToUcs(&rc, name, units, static_cast<int>(nameBytes + 1), kCodePage);
    if (rc != CCI_SUCCESS) units[0] = 0;
    const auto converted = static_cast<std::size_t>(CciCharLen(units));
    units_.resize(segment.unitStart + converted);
    // Compared as units only when the broker gives the name back unchanged.
    std::string back(9 * (converted + 1), '\0');
    int backRc = CCI_SUCCESS;
    cciUcsToMbs(&backRc, units_.data() + segment.unitStart, back.data(),
                static_cast<int>(back.size()), kCodePage);
    segment.comparesUnits = rc == CCI_SUCCESS && backRc == CCI_SUCCESS &&
                            std::strcmp(back.c_str(), names_.c_str() + segment.nameStart) == 0;
  }
  segment.nameUnits = static_cast<int>(units_.size() - segment.unitStart);
  units_.push_back(0);
  segments_.push_back(segment);
}

CciElement* kvpool::getPathValue(const ParsedPath& path, CciMessage* message,
                                 CciMessage* exceptionList, CciMessage* destinationList) {
  const PathWalk walk = resolve(path, message, exceptionList, destinationList);
  if (walk.element == nullptr || walk.missing < path.segmentCount()) return nullptr;
  return getValue(walk.element);
}

CciElement* kvpool::addOrGetPathElement(const ParsedPath& path, CciMessage* message,
                                        CciMessage* exceptionList, CciMessage* destinationList) {
  const PathWalk walk = resolve(path, message, exceptionList, destinationList);
  if (walk.element == nullptr || walk.missing == path.segmentCount()) return walk.element;
  // The message tree never gets a new element directly below an existing
  // child of the root: not below the body, and not below Root.<child>.
  if (path.root() == PathRoot::kBody && walk.missing == 0) return nullptr;
  if (path.root() == PathRoot::kRoot && walk.missing == 1) return nullptr;
  return createMissing(path, walk);
}

extern "C" {

KVPOOL_EXPORT CciElement* findRootElement(const char* segment, CciMessage* message,
                                          CciMessage* exceptionList, CciMessage* destinationList) {
  if (segment == nullptr) return nullptr;
  return findPathRoot(rootOf(segment, std::strlen(segment)), message, exceptionList,
                      destinationList);
}

KVPOOL_EXPORT CciElement* findElement(const char* path, CciElement* parent, char** remainingPath) {
  *remainingPath = nullptr;
  if (path == nullptr || parent == nullptr) return parent;
  // Without memory for the parse nothing can be said about the path.
  ParsedPath parsed;
  if (!parsed.parse(path, false)) return nullptr;
  const PathWalk walk = walkPath(parsed, parent);
  if (walk.missing == parsed.segmentCount()) return walk.element;
  // The missing part as the caller wrote it.
  *remainingPath = strdup(path + parsed.segment(walk.missing).textStart);
  return *remainingPath != nullptr ? walk.element : nullptr;
}

KVPOOL_EXPORT CciElement* getValue(CciElement* element) {
  int rc = CCI_SUCCESS;
  int type = cniElementType(&rc, element);
  if (rc != CCI_SUCCESS) return nullptr;
  if (type & CCI_ELEMENT_TYPE_VALUE) return element;
  CciElement* child = cniFirstChild(&rc, element);
  if (rc != CCI_SUCCESS || child == nullptr) return nullptr;
  type = cniElementType(&rc, child);
  if (rc == CCI_SUCCESS && (type & CCI_ELEMENT_TYPE_VALUE)) return child;
  return nullptr;
}

KVPOOL_EXPORT CciElement* addChildElement(char* path, CciElement* parent) {
  CciElement* created = nullptr;
  while (path != nullptr && parent != nullptr) {
    std::size_t next = 0;
    const std::size_t end = tokenEnd(path, 0, &next);
    char* rest = next != std::string::npos ? path + next : nullptr;
    // Split in place: the token ends at its run of dots.
    for (char* dot = path + end; *dot == '.'; ++dot) *dot = '\0';
    created = cniCreateElementAsLastChild(nullptr, parent);
    if (created == nullptr) return nullptr;
    kvpool::MallocPtr<CciChar> name(CciString(path, kCodePage));
    if (name != nullptr) cniSetElementName(nullptr, created, name.get());
    cniSetElementType(nullptr, created, CCI_ELEMENT_TYPE_NAME);
    parent = created;
    path = rest;
  }
  return created;
}

KVPOOL_EXPORT CciElement* NodeGetValue(const char* path, CciMessage* message,
                                       CciMessage* exceptionList, CciMessage* destinationList) {
  return onParsedPath<kvpool::getPathValue>(path, message, exceptionList, destinationList);
}

KVPOOL_EXPORT CciElement* NodeAddOrGetElement(const char* path, CciMessage* message,
                                              CciMessage* exceptionList,
                                              CciMessage* destinationList) {
  return onParsedPath<kvpool::addOrGetPathElement>(path, message, exceptionList, destinationList);
}

KVPOOL_EXPORT CciElement* NodeAddElement(const char* path, CciMessage* message,
                                         CciMessage* exceptionList, CciMessage* destinationList) {
  ParsedPath parsed;
  if (!parsed.parse(path)) return nullptr;
  const PathWalk walk = resolve(parsed, message, exceptionList, destinationList);
  if (walk.element == nullptr || walk.missing == parsed.segmentCount()) return nullptr;
  return createMissing(parsed, walk);
}

KVPOOL_EXPORT CciMessage* NodeCopyMessage(CciMessage* message) {
  CciMessageContext* context = cniGetMessageContext(nullptr, message);
  int rc = CCI_SUCCESS;
  CciMessage* copy = cniCreateMessage(&rc, context);
  if (rc != CCI_SUCCESS || copy == nullptr) return nullptr;
  // The new message is released again unless the copy completes.
  std::unique_ptr<CciMessage, void (*)(CciMessage*)> guard(
      copy, [](CciMessage* unfinished) { cniDeleteMessage(nullptr, unfinished); });
  CciElement* source = cniRootElement(&rc, message);
  if (rc != CCI_SUCCESS || source == nullptr) return nullptr;
  CciElement* target = cniRootElement(&rc, copy);
  if (rc != CCI_SUCCESS || target == nullptr) return nullptr;
  cniCopyElementTree(&rc, source, target);
  if (rc != CCI_SUCCESS) return nullptr;
  return guard.release();
}

}  // extern "C"
