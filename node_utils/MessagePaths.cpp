// Dotted paths into the broker's message trees: resolving a path to an
// element, and creating the missing part of a path.
#include "node_utils/MessagePaths.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/KvPoolUtil.h"
#include "support/MallocPtr.h"

namespace {

constexpr int kCodePage = CCI_CODEPAGE_UTF8;
// Element names are read through a buffer of this many units; a longer name
// cannot be read whole and therefore matches no segment.
constexpr int kNameUnits = 128;

using Text = kvpool::MallocPtr<char>;

Text copyText(const char* text) {
  return Text(text ? strdup(text) : nullptr);
}

// Ends the token at the first run of separators (overwritten with zeros) and
// returns the text after the run, or null when nothing but the terminator
// follows.
char* nextToken(char* text, char separator) {
  if (text == nullptr) return nullptr;
  char* position = std::strchr(text, separator);
  if (position == nullptr) return nullptr;
  while (*position == separator) *position++ = '\0';
  return *position != '\0' ? position : nullptr;
}

// A segment: the name, and the zero-based occurrence its index asks for;
// kNoOccurrence when the index names no element at all.
struct Segment {
  const char* name;
  int occurrence;
};

constexpr int kNoOccurrence = -1;

// The zero-based occurrence an index text asks for: a plain decimal number
// from 1 to INT_MAX, up to the closing bracket or the end; anything else
// (a sign, junk, a number out of range) names nothing. Accumulates in a
// wider type with an early stop, so no text can overflow it.
int indexOccurrence(const char* index) {
  long long value = 0;
  const char* digit = index;
  for (; *digit >= '0' && *digit <= '9'; ++digit) {
    value = value * 10 + (*digit - '0');
    if (value > INT_MAX) return kNoOccurrence;
  }
  if (digit == index || (*digit != '\0' && *digit != ']') || value < 1) return kNoOccurrence;
  return static_cast<int>(value - 1);
}

// Splits a segment in place at its opening bracket. A bracket with nothing
// after it is no index; text after the closing bracket is ignored.
Segment splitSegment(char* segment) {
  char* index = nextToken(segment, '[');
  if (index == nullptr) return {segment, 0};
  nextToken(index, ']');
  return {segment, indexOccurrence(index)};
}

// The element's name in 8-bit text, or null when it cannot be read whole.
Text readName(CciElement* element) {
  CciChar units[kNameUnits];
  int rc = CCI_SUCCESS;
  int length = cniElementName(&rc, element, units, kNameUnits);
  if (rc != CCI_SUCCESS || length < 0 || length >= kNameUnits) return nullptr;
  units[length] = 0;
  return Text(mbString(units, kCodePage));
}

bool nameEquals(const Text& name, const char* segmentName) {
  return name != nullptr && std::strcmp(name.get(), segmentName) == 0;
}

// The child of parent that the segment names, or null when it is missing or a
// broker call fails.
CciElement* findChild(CciElement* parent, const Segment& segment) {
  int rc = CCI_SUCCESS;
  CciElement* child = cniFirstChild(&rc, parent);
  if (rc != CCI_SUCCESS) return nullptr;
  Text name = child ? readName(child) : nullptr;
  while (child != nullptr && !nameEquals(name, segment.name)) {
    child = cniNextSibling(&rc, child);
    if (rc != CCI_SUCCESS) return nullptr;
    name = child ? readName(child) : nullptr;
  }
  if (segment.occurrence == kNoOccurrence) return nullptr;
  // Name[n] counts only the run of same-named siblings that starts here.
  int count = 0;
  while (child != nullptr && count < segment.occurrence && nameEquals(name, segment.name)) {
    child = cniNextSibling(&rc, child);
    if (rc != CCI_SUCCESS) return nullptr;
    name = child ? readName(child) : nullptr;
    ++count;
  }
  if (child != nullptr && count == segment.occurrence && nameEquals(name, segment.name)) {
    return child;
  }
  return nullptr;
}

// The element a path with its root keyword names, before creation rules apply.
struct Resolved {
  CciElement* element = nullptr;  // the element named, or the deepest found
  Text remaining;                 // the missing part, null when all was found
};

// Splits the private copy of a path into its root keyword (left in pathCopy)
// and *rest, and follows the rest from the root element.
Resolved resolvePath(char* pathCopy, const char** rest, CciMessage* message,
                     CciMessage* exceptionList, CciMessage* destinationList) {
  Resolved resolved;
  *rest = nextToken(pathCopy, '.');
  CciElement* root = findRootElement(pathCopy, message, exceptionList, destinationList);
  if (root == nullptr) return resolved;
  // A path of one segment names the root element itself.
  if (*rest == nullptr) {
    resolved.element = root;
    return resolved;
  }
  char* remaining = nullptr;
  resolved.element = findElement(*rest, root, &remaining);
  resolved.remaining.reset(remaining);
  return resolved;
}

// Creates the missing part below the deepest element found, each element
// named by its segment's name without the index. Creates nothing and gives
// null when a missing segment's index asks for more than the first element
// of its name (or names none, or has no name): no element of that name exists where it is
// missing, so a new one would be the first, not the n-th, and an element
// named "Line[3]" is what the path reads as the third Line, not its name.
CciElement* createRemaining(const Resolved& resolved) {
  Text remaining = copyText(resolved.remaining.get());
  // The names are never longer than the segments they come from.
  Text names = copyText(resolved.remaining.get());
  if (remaining == nullptr || names == nullptr) return nullptr;
  char* write = names.get();
  for (char* segment = remaining.get(); segment != nullptr;) {
    char* rest = nextToken(segment, '.');
    const Segment split = splitSegment(segment);
    if (split.occurrence != 0 || split.name[0] == '\0') return nullptr;
    if (write != names.get()) *write++ = '.';
    const std::size_t length = std::strlen(split.name);
    std::memcpy(write, split.name, length);
    write += length;
    segment = rest;
  }
  *write = '\0';
  return addChildElement(names.get(), resolved.element);
}

}  // namespace

extern "C" {

KVPOOL_EXPORT CciElement* findRootElement(const char* segment, CciMessage* message,
                                          CciMessage* exceptionList, CciMessage* destinationList) {
  if (segment == nullptr) return nullptr;
  int rc = CCI_SUCCESS;
  CciElement* root = nullptr;
  if (std::strcmp(segment, "Root") == 0) {
    root = cniRootElement(&rc, message);
  } else if (std::strcmp(segment, "ExceptionList") == 0) {
    root = cniRootElement(&rc, exceptionList);
  } else if (std::strcmp(segment, "DestinationList") == 0) {
    root = cniRootElement(&rc, destinationList);
  } else if (std::strcmp(segment, "Body") == 0) {
    root = cniRootElement(&rc, message);
    if (rc == CCI_SUCCESS && root != nullptr) root = cniLastChild(&rc, root);
  } else {
    return nullptr;
  }
  return rc == CCI_SUCCESS ? root : nullptr;
}

KVPOOL_EXPORT CciElement* findElement(const char* path, CciElement* parent, char** remainingPath) {
  *remainingPath = nullptr;
  if (path == nullptr || parent == nullptr) return parent;
  // Without memory for the copies nothing can be said about the path.
  Text copy = copyText(path);
  if (copy == nullptr) return nullptr;
  // Walks down one segment at a time; received is where this level's path
  // begins in the caller's text, so the remaining path keeps it as written.
  const char* received = path;
  char* segmentText = copy.get();
  for (;;) {
    char* rest = nextToken(segmentText, '.');
    CciElement* child = findChild(parent, splitSegment(segmentText));
    if (child == nullptr) {
      *remainingPath = strdup(received);
      return *remainingPath != nullptr ? parent : nullptr;
    }
    if (rest == nullptr) return child;
    parent = child;
    received = path + (rest - copy.get());
    segmentText = rest;
  }
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
    char* rest = nextToken(path, '.');
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
  Text copy = copyText(path);
  if (copy == nullptr) return nullptr;
  const char* rest = nullptr;
  Resolved resolved = resolvePath(copy.get(), &rest, message, exceptionList, destinationList);
  if (resolved.element == nullptr || resolved.remaining != nullptr) return nullptr;
  return getValue(resolved.element);
}

KVPOOL_EXPORT CciElement* NodeAddOrGetElement(const char* path, CciMessage* message,
                                              CciMessage* exceptionList,
                                              CciMessage* destinationList) {
  Text copy = copyText(path);
  if (copy == nullptr) return nullptr;
  const char* rest = nullptr;
  Resolved resolved = resolvePath(copy.get(), &rest, message, exceptionList, destinationList);
  if (resolved.element == nullptr || resolved.remaining == nullptr) return resolved.element;

  const char* keyword = copy.get();
  const char* remaining = resolved.remaining.get();
  // The message tree never gets a new element directly below an existing
  // child of the root: not below the body, and not below Root.<child>.
  if (std::strcmp(keyword, "Body") == 0 && std::strcmp(remaining, rest) == 0) return nullptr;
  if (std::strcmp(keyword, "Root") == 0) {
    Text restCopy = copyText(rest);
    if (restCopy == nullptr) return nullptr;
    const char* second = nextToken(restCopy.get(), '.');
    if (second != nullptr && std::strcmp(remaining, second) == 0) return nullptr;
  }
  return createRemaining(resolved);
}

KVPOOL_EXPORT CciElement* NodeAddElement(const char* path, CciMessage* message,
                                         CciMessage* exceptionList, CciMessage* destinationList) {
  Text copy = copyText(path);
  if (copy == nullptr) return nullptr;
  const char* rest = nullptr;
  Resolved resolved = resolvePath(copy.get(), &rest, message, exceptionList, destinationList);
  if (resolved.element == nullptr || resolved.remaining == nullptr) return nullptr;
  return createRemaining(resolved);
}

KVPOOL_EXPORT CciMessage* NodeCopyMessage(CciMessage* message) {
  CciMessageContext* context = cniGetMessageContext(nullptr, message);
  int rc = CCI_SUCCESS;
  CciMessage* copy = cniCreateMessage(&rc, context);
  if (rc != CCI_SUCCESS || copy == nullptr) return nullptr;
  // The new message is released again unless the copy completes.
  struct MessageGuard {
    CciMessage* message;
    ~MessageGuard() {
      if (message != nullptr) cniDeleteMessage(nullptr, message);
    }
  } guard{copy};
  CciElement* source = cniRootElement(&rc, message);
  if (rc != CCI_SUCCESS || source == nullptr) return nullptr;
  CciElement* target = cniRootElement(&rc, copy);
  if (rc != CCI_SUCCESS || target == nullptr) return nullptr;
  cniCopyElementTree(&rc, source, target);
  if (rc != CCI_SUCCESS) return nullptr;
  guard.message = nullptr;
  return copy;
}

}  // extern "C"
