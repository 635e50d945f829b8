// Messages and their element trees as the broker's user sees them.
//
// Element-value buffer contract of cniElementCharacterValue (the value has
// length L units, the call gets `capacity`): the buffer must hold capacity + 1
// units. When L <= capacity the whole value and a terminator are written
// (L + 1 units; the terminator lands at buffer[capacity] when L == capacity),
// and the result L tells the value is complete. When L > capacity the buffer
// receives a terminated prefix of capacity - 1 units (within the capacity),
// the return code is CCI_BUFFER_TOO_SMALL, the result is L, and the caller
// asks again with a buffer of L + 1 units and capacity L. A null buffer or a
// capacity below 0 writes nothing and returns L.
// cniElementName stays within the capacity: min(L, capacity - 1) units and a
// terminator, result L, CCI_BUFFER_TOO_SMALL when the name was cut.
#ifndef KVPOOL_BROKER_MESSAGE_H
#define KVPOOL_BROKER_MESSAGE_H

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/BrokerApi.h"

namespace kvbroker {

// An element type bit of the broker's own: a value-bearing child that the XML
// writer turns back into an attribute of its parent.
constexpr int kElementTypeXmlAttribute = 0x00000100;

// A message owned by the caller: its own message context, a root element named
// "Root" (type 0x01000000). Messages the plug-in makes with cniCreateMessage
// on this message's context belong to the context and are released with it at
// the latest. Movable, not copyable; copy() makes a deep copy.
class Message {
 public:
  Message();
  ~Message();
  Message(Message&&) noexcept;
  Message& operator=(Message&&) noexcept;
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  // A message whose root holds a "Properties" folder (MessageFormat "XML",
  // CodedCharSetId "1208") and then an "XML" folder with the document:
  // elements become name elements (0x01000000), their text their value (bit
  // 0x02000000 added), attributes value-bearing children marked with
  // kElementTypeXmlAttribute, placed before the element's child elements.
  // Throws XmlError for malformed XML; sourceName names the text in it.
  static Message fromXml(std::string_view xmlText, std::string_view sourceName = "<xml>");
  // Reads and parses a file; BrokerError when it cannot be read.
  static Message fromXmlFile(const std::string& path);
  // Deep copy of any message's tree into a new caller-owned message.
  static Message copyOf(CciMessage* message);

  Message copy() const { return copyOf(handle()); }
  CciMessage* handle() const;
  CciElement* root() const;
  // Set by cniFinalize.
  bool isFinalized() const;
  // The body (last child of the root) as XML text: see serializeBody.
  std::string toXml() const;
  // The whole tree, one element per line: see dumpTree.
  std::string dump() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The body of a message (the last child of the root) as an XML document. When
// the body is the "XML" folder its children form the document; otherwise the
// body element itself is the document element. Children marked with
// kElementTypeXmlAttribute become attributes; a value becomes text. Empty
// text when the root has no children. Indented by two blanks per level, or
// on one line when the document is more than 100 levels deep. Throws
// XmlNameError, writing nothing, when a name is not an XML name.
std::string serializeBody(CciMessage* message);
// A readable dump of the tree below and including element: indented by two
// blanks per level, "name (0xTYPE)" and " = 'value'" when value-bearing.
// Below level 64 the indentation stays at 64 levels and "(level N) " comes
// before the name.
std::string dumpTree(CciElement* element);

// Element helpers for tools and tests (UTF-8 on this side).
std::string elementName(CciElement* element);
std::string elementValue(CciElement* element);
int elementType(CciElement* element);
std::vector<CciElement*> elementChildren(CciElement* element);
// First child of that name, or null.
CciElement* findChild(CciElement* parent, std::string_view name);
// Follows a dotted path of child names ("XML.Order.Id") from an element; null
// when a segment is missing.
CciElement* findPath(CciElement* from, std::string_view dottedPath);
// New last child named `name` (type 0x01000000), value-bearing when a value
// is given.
CciElement* addChild(CciElement* parent, std::string_view name,
                     std::optional<std::string_view> value = std::nullopt);

// A message a capture node received: the XML form of its body, a deep copy of
// its tree, and whether it had been finalised. When the body cannot be
// written as XML, xml is empty and xmlError says why (XmlNameError's what()).
struct CapturedMessage {
  std::string xml;
  std::string xmlError;
  Message message;
  bool finalized = false;
};

}  // namespace kvbroker

#endif
