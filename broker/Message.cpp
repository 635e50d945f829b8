// Caller-owned messages, the XML reader and writer, the tree dump and the
// element helpers of the broker's API.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>

#include "broker/HostState.h"

namespace kvbroker {

struct Message::Impl {
  // Declared first, destroyed last: the context releases the messages the
  // plug-in made on it after the message itself is gone.
  std::unique_ptr<CciMessageContextS> context = std::make_unique<CciMessageContextS>();
  std::unique_ptr<CciMessageS> message = detail::newMessage(context.get());
};

Message::Message() : impl_(std::make_unique<Impl>()) {}
Message::~Message() = default;
Message::Message(Message&&) noexcept = default;
Message& Message::operator=(Message&&) noexcept = default;

CciMessage* Message::handle() const {
  return impl_->message.get();
}
CciElement* Message::root() const {
  return impl_->message->root.get();
}
bool Message::isFinalized() const {
  return impl_->message->finalized;
}
std::string Message::toXml() const {
  return serializeBody(handle());
}
std::string Message::dump() const {
  return dumpTree(root());
}

Message Message::copyOf(CciMessage* message) {
  Message copy;
  if (!message || message->tag != HandleTag::message) {
    throw BrokerError("copy message: not a message handle");
  }
  copy.root()->type = message->root->type;
  copy.root()->value = message->root->value;
  detail::copyChildren(message->root.get(), copy.root());
  return copy;
}

namespace {

std::u16string xmlText(const char* text, std::string_view sourceName) {
  try {
    return toUtf16(text);
  } catch (const BrokerError&) {
    throw XmlError("parse XML " + std::string(sourceName) + ": invalid UTF-8 in \"" + text + "\"",
                   0);
  }
}

void readXmlElement(const pugi::xml_node& node, CciElementS* parent, std::string_view sourceName) {
  CciElementS* element = detail::appendChild(parent);
  element->name = xmlText(node.name(), sourceName);
  element->type = CCI_ELEMENT_TYPE_NAME;
  for (const auto& attribute : node.attributes()) {
    CciElementS* child = detail::appendChild(element);
    child->name = xmlText(attribute.name(), sourceName);
    child->value = xmlText(attribute.value(), sourceName);
    child->type = CCI_ELEMENT_TYPE_NAME | CCI_ELEMENT_TYPE_VALUE | kElementTypeXmlAttribute;
  }
  std::string text;
  bool hasText = false;
  for (const auto& child : node.children()) {
    if (child.type() == pugi::node_element) {
      readXmlElement(child, element, sourceName);
    } else if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      text += child.value();
      hasText = true;
    }
  }
  if (hasText) {
    element->value = xmlText(text.c_str(), sourceName);
    element->type |= CCI_ELEMENT_TYPE_VALUE;
  }
}

void writeXmlElement(const CciElementS& element, pugi::xml_node parent) {
  const bool hasValue = (element.type & CCI_ELEMENT_TYPE_VALUE) != 0;
  if (element.name.empty()) {
    // A nameless value is plain text of its parent.
    if (hasValue) {
      parent.append_child(pugi::node_pcdata).set_value(detail::displayUtf8(element.value).c_str());
    }
    return;
  }
  pugi::xml_node node = parent.append_child(detail::displayUtf8(element.name).c_str());
  for (const auto& child : element.children) {
    if (child->type & kElementTypeXmlAttribute) {
      node.append_attribute(detail::displayUtf8(child->name).c_str())
          .set_value(detail::displayUtf8(child->value).c_str());
    }
  }
  if (hasValue && !element.value.empty()) {
    node.append_child(pugi::node_pcdata).set_value(detail::displayUtf8(element.value).c_str());
  }
  for (const auto& child : element.children) {
    if (!(child->type & kElementTypeXmlAttribute)) writeXmlElement(*child, node);
  }
}

void dumpElement(const CciElementS& element, int depth, std::string* out) {
  char type[16];
  std::snprintf(type, sizeof type, "0x%08X", static_cast<unsigned>(element.type));
  out->append(2 * depth, ' ');
  *out += (element.name.empty() ? std::string("(no name)") : detail::displayUtf8(element.name));
  *out += " (" + std::string(type) + ")";
  if (element.type & CCI_ELEMENT_TYPE_VALUE)
    *out += " = '" + detail::displayUtf8(element.value) + "'";
  *out += '\n';
  for (const auto& child : element.children) dumpElement(*child, depth + 1, out);
}

CciElementS* checkedElement(CciElement* element, const char* step) {
  if (!element || element->tag != HandleTag::element) {
    throw BrokerError(std::string(step) + ": not an element handle");
  }
  return element;
}

}  // namespace

Message Message::fromXml(std::string_view xmlText, std::string_view sourceName) {
  pugi::xml_document document;
  pugi::xml_parse_result result = document.load_buffer(xmlText.data(), xmlText.size(),
                                                       pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    auto offset = static_cast<std::size_t>(result.offset);
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < offset && i < xmlText.size(); ++i) {
      if (xmlText[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    throw XmlError("parse XML " + std::string(sourceName) + ": offset " + std::to_string(offset) +
                       " (line " + std::to_string(line) + ", column " + std::to_string(column) +
                       "): " + result.description(),
                   offset);
  }
  if (!document.document_element()) {
    throw XmlError("parse XML " + std::string(sourceName) + ": no document element", 0);
  }
  Message message;
  CciElementS* root = message.root();
  CciElementS* properties = detail::appendChild(root);
  properties->name = u"Properties";
  properties->type = CCI_ELEMENT_TYPE_NAME;
  for (auto [name, value] : {std::pair{u"MessageFormat", u"XML"}, {u"CodedCharSetId", u"1208"}}) {
    CciElementS* property = detail::appendChild(properties);
    property->name = name;
    property->value = value;
    property->type = CCI_ELEMENT_TYPE_NAME | CCI_ELEMENT_TYPE_VALUE;
  }
  CciElementS* body = detail::appendChild(root);
  body->name = u"XML";
  body->type = CCI_ELEMENT_TYPE_NAME;
  for (const auto& node : document.children()) {
    if (node.type() == pugi::node_element) readXmlElement(node, body, sourceName);
  }
  return message;
}

Message Message::fromXmlFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw BrokerError("read XML file " + path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) throw BrokerError("read XML file " + path + ": read failed");
  return fromXml(text.str(), path);
}

std::string serializeBody(CciMessage* message) {
  if (!message || message->tag != HandleTag::message) {
    throw BrokerError("serialise message: not a message handle");
  }
  const auto& children = message->root->children;
  if (children.empty()) return "";
  const CciElementS& body = *children.back();
  pugi::xml_document document;
  if (body.name == u"XML") {
    for (const auto& child : body.children) writeXmlElement(*child, document);
  } else {
    writeXmlElement(body, document);
  }
  std::ostringstream out;
  document.save(out, "  ", pugi::format_indent, pugi::encoding_utf8);
  return out.str();
}

std::string dumpTree(CciElement* element) {
  std::string out;
  dumpElement(*checkedElement(element, "dump tree"), 0, &out);
  return out;
}

std::string elementName(CciElement* element) {
  return detail::displayUtf8(checkedElement(element, "element name")->name);
}

std::string elementValue(CciElement* element) {
  return detail::displayUtf8(checkedElement(element, "element value")->value);
}

int elementType(CciElement* element) {
  return checkedElement(element, "element type")->type;
}

std::vector<CciElement*> elementChildren(CciElement* element) {
  std::vector<CciElement*> children;
  for (const auto& child : checkedElement(element, "element children")->children) {
    children.push_back(child.get());
  }
  return children;
}

CciElement* findChild(CciElement* parent, std::string_view name) {
  std::u16string wanted = toUtf16(name);
  for (const auto& child : checkedElement(parent, "find child")->children) {
    if (child->name == wanted) return child.get();
  }
  return nullptr;
}

CciElement* findPath(CciElement* from, std::string_view dottedPath) {
  CciElement* element = checkedElement(from, "find path");
  while (element && !dottedPath.empty()) {
    std::size_t dot = dottedPath.find('.');
    std::string_view segment = dottedPath.substr(0, dot);
    dottedPath = dot == std::string_view::npos ? std::string_view() : dottedPath.substr(dot + 1);
    if (!segment.empty()) element = findChild(element, segment);
  }
  return element;
}

CciElement* addChild(CciElement* parent, std::string_view name,
                     std::optional<std::string_view> value) {
  CciElementS* child = detail::appendChild(checkedElement(parent, "add child"));
  child->name = toUtf16(name);
  child->type = CCI_ELEMENT_TYPE_NAME;
  if (value) {
    child->value = toUtf16(*value);
    child->type |= CCI_ELEMENT_TYPE_VALUE;
  }
  return child;
}

}  // namespace kvbroker
