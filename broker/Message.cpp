// Message trees, caller-owned messages, the XML reader and writer, the tree
// dump and the element helpers of the broker's API. Every tree walk keeps its
// own stack of pending elements instead of recursing, so a deeply nested
// message costs heap, never call stack.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pugixml.hpp>
#include <sstream>
#include <utility>
#include <vector>

#include "broker/HostState.h"
#include "support/FileIo.h"

CciElementS::~CciElementS() {
  std::vector<std::unique_ptr<CciElementS>> doomed = std::move(children);
  while (!doomed.empty()) {
    std::unique_ptr<CciElementS> element = std::move(doomed.back());
    doomed.pop_back();
    for (auto& child : element->children) doomed.push_back(std::move(child));
    element->children.clear();
    // element goes here, childless.
  }
}

namespace kvbroker {
namespace detail {

CciElementS* appendChild(CciElementS* parent, std::u16string name, int type) {
  auto child = std::make_unique<CciElementS>();
  child->name = std::move(name);
  child->type = type;
  child->parent = parent;
  child->index = parent->children.size();
  parent->children.push_back(std::move(child));
  return parent->children.back().get();
}

void copyChildren(const CciElementS* source, CciElementS* target) {
  // Copy first, then append: the target may lie inside the source. Each
  // pending pair is an original and its copy, whose children are still to be
  // made; children are made in order when their parent's turn comes.
  CciElementS copies;
  std::vector<std::pair<const CciElementS*, CciElementS*>> pending{{source, &copies}};
  while (!pending.empty()) {
    auto [original, copy] = pending.back();
    pending.pop_back();
    for (const auto& child : original->children) {
      CciElementS* childCopy = appendChild(copy, child->name, child->type);
      childCopy->value = child->value;
      pending.emplace_back(child.get(), childCopy);
    }
  }
  for (auto& copy : copies.children) {
    copy->parent = target;
    copy->index = target->children.size();
    target->children.push_back(std::move(copy));
  }
  copies.children.clear();
}

std::unique_ptr<CciMessageS> newMessage(CciMessageContextS* context) {
  auto message = std::make_unique<CciMessageS>();
  message->context = context;
  message->root = std::make_unique<CciElementS>();
  message->root->name = u"Root";
  message->root->type = CCI_ELEMENT_TYPE_NAME;
  return message;
}

}  // namespace detail

Message::Message()
    : context_(std::make_unique<CciMessageContextS>()),
      message_(detail::newMessage(context_.get())) {}
Message::~Message() = default;
Message::Message(Message&&) noexcept = default;
Message& Message::operator=(Message&&) noexcept = default;

CciElement* Message::root() const {
  return message_->root.get();
}
bool Message::isFinalized() const {
  return message_->finalized;
}

Message Message::copyOf(CciMessage* message) {
  if (!detail::isValid(message)) throw BrokerError("copy message: not a message handle");
  Message copy;
  copy.root()->type = message->root->type;
  copy.root()->value = message->root->value;
  detail::copyChildren(message->root.get(), copy.root());
  return copy;
}

namespace {

// Documents deeper than this are written without indentation.
constexpr std::size_t kIndentedLevels = 100;

std::u16string xmlText(const char* text, std::string_view sourceName) {
  try {
    return toUtf16(text);
  } catch (const BrokerError&) {
    // The start of the text tells where; a whole text node could be huge.
    constexpr std::size_t kShownBytes = 40;
    std::string shown(text);
    if (shown.size() > kShownBytes) shown = shown.substr(0, kShownBytes) + "...";
    throw XmlError("parse XML " + std::string(sourceName) + ": invalid UTF-8 in \"" + shown + "\"",
                   0);
  }
}

// Reads the document's elements below body. The walk keeps its own stack:
// a document nested thousands of levels deep must not exhaust the call
// stack. Each element's children are made in document order when its turn
// comes (attributes first), so the order of the stack does not matter.
void readXmlElements(const pugi::xml_document& document, CciElementS* body,
                     std::string_view sourceName) {
  std::vector<std::pair<pugi::xml_node, CciElementS*>> pending;
  for (const auto& node : document.children()) {
    if (node.type() == pugi::node_element) pending.emplace_back(node, detail::appendChild(body));
  }
  // Document order of the top-level elements: the stack takes the last first.
  std::reverse(pending.begin(), pending.end());
  while (!pending.empty()) {
    auto [node, element] = pending.back();
    pending.pop_back();
    element->name = xmlText(node.name(), sourceName);
    element->type = CCI_ELEMENT_TYPE_NAME;
    for (const auto& attribute : node.attributes()) {
      detail::appendChild(element, xmlText(attribute.name(), sourceName),
                          CCI_ELEMENT_TYPE_NAME | CCI_ELEMENT_TYPE_VALUE | kElementTypeXmlAttribute)
          ->value = xmlText(attribute.value(), sourceName);
    }
    std::string text;
    bool hasText = false;
    for (const auto& child : node.children()) {
      if (child.type() == pugi::node_element) {
        pending.emplace_back(child, detail::appendChild(element));
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
}

bool isXmlNameStart(char32_t c) {
  return c == ':' || c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}

bool isXmlNameCharacter(char32_t c) {
  return isXmlNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Why name cannot be written as an XML name, or empty when it can.
std::string xmlNameFault(std::u16string_view name) {
  if (name.empty()) return "an XML name cannot be empty";
  for (std::size_t i = 0, next = 0; i < name.size(); i = next) {
    char32_t c;
    if (!detail::decodeUtf16(name, &next, &c)) return "it holds an unpaired UTF-16 surrogate";
    if (i == 0 ? !isXmlNameStart(c) : !isXmlNameCharacter(c)) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
      const std::string shown =
          c >= 0x20 && c != 0x7F
              ? "'" + detail::displayUtf8(name.substr(i, next - i)) + "' (" + code + ")"
              : std::string(code);
      return (i == 0 ? "an XML name cannot begin with " : "an XML name cannot hold ") + shown;
    }
  }
  return "";
}

// The element's names from below the root down to it, dot-separated; the
// upper part of a very deep path is left out.
std::string elementPath(const CciElementS& element) {
  constexpr std::size_t kShownLevels = 8;
  std::vector<const CciElementS*> line;
  for (const CciElementS* at = &element; at != nullptr && at->parent != nullptr; at = at->parent) {
    line.push_back(at);
  }
  std::string path = line.size() > kShownLevels ? "..." : "";
  for (std::size_t i = std::min(line.size(), kShownLevels); i > 0; --i) {
    if (!path.empty()) path += '.';
    path += detail::displayUtf8(line[i - 1]->name);
  }
  return path;
}

// A name that is no XML name would make text no reader can parse back:
// XmlNameError for it.
void checkXmlName(const CciElementS& named, bool attribute) {
  const std::string fault = xmlNameFault(named.name);
  if (fault.empty()) return;
  const std::string path = elementPath(named);
  throw XmlNameError(std::string("write message as XML: ") +
                         (attribute ? "attribute " : "element ") + path + ": name \"" +
                         detail::displayUtf8(named.name) + "\" is not an XML name (" + fault + ")",
                     path);
}

// Builds the document for element (and everything below it) as the last
// child of parent; returns the depth of the deepest element written. The
// walk keeps its own stack, as the reader's does; the children of an element
// are pushed last first, so that siblings are appended in order.
std::size_t writeXmlElements(const CciElementS& top, pugi::xml_node parent) {
  struct Pending {
    const CciElementS* element;
    pugi::xml_node parent;
    std::size_t depth;
  };
  std::vector<Pending> pending{{&top, parent, 1}};
  std::size_t deepest = 0;
  while (!pending.empty()) {
    Pending at = pending.back();
    pending.pop_back();
    const CciElementS& element = *at.element;
    deepest = std::max(deepest, at.depth);
    const bool hasValue = (element.type & CCI_ELEMENT_TYPE_VALUE) != 0;
    if (element.name.empty()) {
      // A nameless value is plain text of its parent.
      if (hasValue) {
        at.parent.append_child(pugi::node_pcdata)
            .set_value(detail::displayUtf8(element.value).c_str());
      }
      continue;
    }
    checkXmlName(element, false);
    pugi::xml_node node = at.parent.append_child(detail::displayUtf8(element.name).c_str());
    for (const auto& child : element.children) {
      if (child->type & kElementTypeXmlAttribute) {
        checkXmlName(*child, true);
        node.append_attribute(detail::displayUtf8(child->name).c_str())
            .set_value(detail::displayUtf8(child->value).c_str());
      }
    }
    if (hasValue && !element.value.empty()) {
      node.append_child(pugi::node_pcdata).set_value(detail::displayUtf8(element.value).c_str());
    }
    for (auto child = element.children.rbegin(); child != element.children.rend(); ++child) {
      if (!((*child)->type & kElementTypeXmlAttribute)) {
        pending.push_back({child->get(), node, at.depth + 1});
      }
    }
  }
  return deepest;
}

CciElementS* checkedElement(CciElement* element, const char* step) {
  if (!detail::isValid(element)) throw BrokerError(std::string(step) + ": not an element handle");
  return element;
}

}  // namespace

Message Message::fromXml(std::string_view xmlText, std::string_view sourceName) {
  pugi::xml_document document;
  pugi::xml_parse_result result = document.load_buffer(xmlText.data(), xmlText.size(),
                                                       pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    auto offset = static_cast<std::size_t>(result.offset);
    const std::string_view before = xmlText.substr(0, offset);
    const auto line = 1 + std::count(before.begin(), before.end(), '\n');
    const std::size_t column = before.size() - (before.rfind('\n') + 1) + 1;
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
  CciElementS* properties = detail::appendChild(root, u"Properties", CCI_ELEMENT_TYPE_NAME);
  for (auto [name, value] : {std::pair{u"MessageFormat", u"XML"}, {u"CodedCharSetId", u"1208"}}) {
    detail::appendChild(properties, name, CCI_ELEMENT_TYPE_NAME | CCI_ELEMENT_TYPE_VALUE)->value =
        value;
  }
  readXmlElements(document, detail::appendChild(root, u"XML", CCI_ELEMENT_TYPE_NAME), sourceName);
  return message;
}

Message Message::fromXmlFile(const std::string& path) {
  // Far beyond any message a flow carries; a larger file is not read into memory.
  constexpr std::size_t kLargestMessageBytes = 256u << 20;
  std::string text;
  std::string why;
  if (!kvpool::readRegularFile(path, kLargestMessageBytes, &text, &why)) {
    throw BrokerError("read XML file " + path + ": " + why);
  }
  return fromXml(text, path);
}

std::string serializeBody(CciMessage* message) {
  if (!detail::isValid(message)) throw BrokerError("serialise message: not a message handle");
  const auto& children = message->root->children;
  if (children.empty()) return "";
  const CciElementS& body = *children.back();
  pugi::xml_document document;
  std::size_t deepest = 0;
  if (body.name == u"XML") {
    for (const auto& child : body.children) {
      deepest = std::max(deepest, writeXmlElements(*child, document));
    }
  } else {
    deepest = writeXmlElements(body, document);
  }
  // Indentation grows with the square of the depth: a deep document is
  // written on one line.
  const unsigned format = deepest > kIndentedLevels ? pugi::format_raw : pugi::format_indent;
  std::ostringstream out;
  document.save(out, "  ", format, pugi::encoding_utf8);
  return out.str();
}

std::string dumpTree(CciElement* element) {
  // Deeper, the indentation stops growing: it would grow with the square of the depth.
  constexpr std::size_t kDumpIndentLevels = 64;
  std::string out;
  std::vector<std::pair<const CciElementS*, std::size_t>> pending{
      {checkedElement(element, "dump tree"), 0}};
  while (!pending.empty()) {
    auto [at, depth] = pending.back();
    pending.pop_back();
    char type[24];
    std::snprintf(type, sizeof type, " (0x%08X)", static_cast<unsigned>(at->type));
    out.append(2 * std::min(depth, kDumpIndentLevels), ' ');
    if (depth > kDumpIndentLevels) out += "(level " + std::to_string(depth) + ") ";
    out += at->name.empty() ? std::string("(no name)") : detail::displayUtf8(at->name);
    out += type;
    if (at->type & CCI_ELEMENT_TYPE_VALUE) {
      out += " = '" + detail::displayUtf8(at->value) + "'";
    }
    out += '\n';
    for (auto child = at->children.rbegin(); child != at->children.rend(); ++child) {
      pending.emplace_back(child->get(), depth + 1);
    }
  }
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
