// Message trees of the stand-in broker: element buffer contracts, values,
// copies, message lifetime, and the XML reader and writer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "broker/Broker.h"

namespace {

using kvbroker::Message;

constexpr CciChar kSentinel = 0xAAAA;

std::u16string ucsText(const CciChar* buffer) {
  std::u16string out;
  while (*buffer) out.push_back(static_cast<char16_t>(*buffer++));
  return out;
}

std::vector<CciChar> sentinelBuffer(std::size_t units) {
  return std::vector<CciChar>(units, kSentinel);
}

class BrokerMessageTest : public ::testing::Test {
 protected:
  kvbroker::Broker broker;
  Message message;
};

TEST_F(BrokerMessageTest, ElementNameStaysWithinCapacity) {
  CciElement* order = kvbroker::addChild(message.root(), "Order");
  int rc = -1;
  auto buffer = sentinelBuffer(8);
  EXPECT_EQ(cniElementName(&rc, order, buffer.data(), 6), 5);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_EQ(ucsText(buffer.data()), u"Order");

  buffer = sentinelBuffer(8);
  EXPECT_EQ(cniElementName(&rc, order, buffer.data(), 5), 5);
  EXPECT_EQ(rc, CCI_BUFFER_TOO_SMALL);
  EXPECT_EQ(ucsText(buffer.data()), u"Orde");
  EXPECT_EQ(buffer[5], kSentinel);

  buffer = sentinelBuffer(8);
  EXPECT_EQ(cniElementName(&rc, order, buffer.data(), 1), 5);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], kSentinel);
}

TEST_F(BrokerMessageTest, ValueOfExactlyTheCapacityComesWholeWithTerminatorAfterIt) {
  CciElement* id = kvbroker::addChild(message.root(), "Id", "A-123");
  int rc = -1;
  auto buffer = sentinelBuffer(8);
  EXPECT_EQ(cniElementCharacterValue(&rc, id, buffer.data(), 5), 5);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_EQ(ucsText(buffer.data()), u"A-123");
  EXPECT_EQ(buffer[6], kSentinel);
}

TEST_F(BrokerMessageTest, ValueAboveTheCapacityLeavesATerminatedPrefixWithinIt) {
  CciElement* id = kvbroker::addChild(message.root(), "Id", "A-123");
  int rc = -1;
  auto buffer = sentinelBuffer(8);
  EXPECT_EQ(cniElementCharacterValue(&rc, id, buffer.data(), 4), 5);
  EXPECT_EQ(rc, CCI_BUFFER_TOO_SMALL);
  EXPECT_EQ(ucsText(buffer.data()), u"A-1");
  EXPECT_EQ(buffer[4], kSentinel);
}

TEST_F(BrokerMessageTest, LongValueIsReadWholeByTheSecondCall) {
  for (std::size_t length : {255u, 256u, 257u, 300u}) {
    std::string value(length, 'v');
    value.back() = 'z';
    CciElement* element = kvbroker::addChild(message.root(), "Long", value);
    // First call: 257 units, capacity 256; a result above 256 asks again with
    // result + 1 units and capacity = result.
    std::vector<CciChar> buffer(257, kSentinel);
    int rc = -1;
    int result = cniElementCharacterValue(&rc, element, buffer.data(), 256);
    EXPECT_EQ(result, static_cast<int>(length));
    if (result > 256) {
      buffer.assign(result + 1, kSentinel);
      EXPECT_EQ(cniElementCharacterValue(&rc, element, buffer.data(), result), result);
      EXPECT_EQ(rc, CCI_SUCCESS);
    }
    EXPECT_EQ(kvbroker::toUtf8(ucsText(buffer.data())), value) << length;
  }
}

TEST_F(BrokerMessageTest, SettingAValueMakesTheElementValueBearing) {
  int rc = -1;
  CciElement* element = cniCreateElementAsLastChild(&rc, message.root());
  cniSetElementName(&rc, element, reinterpret_cast<const CciChar*>(u"Field"));
  cniSetElementType(&rc, element, CCI_ELEMENT_TYPE_NAME);
  EXPECT_EQ(cniElementType(&rc, element), CCI_ELEMENT_TYPE_NAME);
  cniSetElementCharacterValue(&rc, element, reinterpret_cast<const CciChar*>(u"xyz?"), 3);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_EQ(cniElementType(&rc, element), CCI_ELEMENT_TYPE_NAME | CCI_ELEMENT_TYPE_VALUE);
  // Only `length` units are taken.
  EXPECT_EQ(kvbroker::elementValue(element), "xyz");
  EXPECT_EQ(kvbroker::findPath(message.root(), "Field"), element);
}

TEST_F(BrokerMessageTest, NavigationAnswersNullAtTheEnds) {
  int rc = -1;
  EXPECT_EQ(cniFirstChild(&rc, message.root()), nullptr);
  EXPECT_EQ(rc, CCI_SUCCESS);
  CciElement* a = kvbroker::addChild(message.root(), "a");
  CciElement* b = kvbroker::addChild(message.root(), "b");
  EXPECT_EQ(cniFirstChild(&rc, message.root()), a);
  EXPECT_EQ(cniLastChild(&rc, message.root()), b);
  EXPECT_EQ(cniNextSibling(&rc, a), b);
  EXPECT_EQ(cniNextSibling(&rc, b), nullptr);
  EXPECT_EQ(cniNextSibling(&rc, message.root()), nullptr);
}

TEST_F(BrokerMessageTest, HandlesOfTheWrongKindAreRefused) {
  int rc = -1;
  CciElement* root = message.root();
  EXPECT_EQ(cniRootElement(&rc, reinterpret_cast<CciMessage*>(root)), nullptr);
  EXPECT_EQ(rc, CCI_FAILURE);
  EXPECT_EQ(cniFirstChild(&rc, reinterpret_cast<CciElement*>(message.handle())), nullptr);
  EXPECT_EQ(rc, CCI_FAILURE);
  cniFinalize(&rc, nullptr, 0);
  EXPECT_EQ(rc, CCI_FAILURE);
}

TEST_F(BrokerMessageTest, CopyIsDeepAndIndependent) {
  kvbroker::addChild(kvbroker::addChild(message.root(), "Order"), "Id", "1");
  kvbroker::addChild(message.root(), "Tail", "t");
  int rc = -1;
  CciMessage* copy = cniCreateMessage(&rc, cniGetMessageContext(&rc, message.handle()));
  ASSERT_NE(copy, nullptr);
  CciElement* copyRoot = cniRootElement(&rc, copy);
  cniCopyElementTree(&rc, message.root(), copyRoot);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_EQ(kvbroker::dumpTree(copyRoot), message.dump());

  CciElement* copiedId = kvbroker::findPath(copyRoot, "Order.Id");
  ASSERT_NE(copiedId, nullptr);
  cniSetElementCharacterValue(&rc, copiedId, reinterpret_cast<const CciChar*>(u"2"), 1);
  EXPECT_EQ(kvbroker::elementValue(kvbroker::findPath(message.root(), "Order.Id")), "1");

  // Copying a tree below itself copies what was there once.
  CciElement* order = kvbroker::findPath(message.root(), "Order");
  cniCopyElementTree(&rc, message.root(), order);
  EXPECT_EQ(kvbroker::elementChildren(order).size(), 3u);

  cniDeleteMessage(&rc, copy);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_EQ(broker.undeletedMessages(), 0);
}

TEST_F(BrokerMessageTest, OnlyMessagesThePlugInMadeCanBeDeleted) {
  int rc = -1;
  cniDeleteMessage(&rc, message.handle());
  EXPECT_EQ(rc, CCI_FAILURE);
  EXPECT_FALSE(broker.diagnostics().empty());
  EXPECT_NE(cniRootElement(&rc, message.handle()), nullptr);

  CciMessage* made = cniCreateMessage(&rc, cniGetMessageContext(&rc, message.handle()));
  EXPECT_EQ(broker.undeletedMessages(), 1);
  cniDeleteMessage(&rc, made);
  EXPECT_EQ(broker.undeletedMessages(), 0);
}

TEST_F(BrokerMessageTest, FinalizeMarksTheMessage) {
  EXPECT_FALSE(message.isFinalized());
  int rc = -1;
  cniFinalize(&rc, message.handle(), 0);
  EXPECT_EQ(rc, CCI_SUCCESS);
  EXPECT_TRUE(message.isFinalized());
}

const char kOrderXml[] =
    "<Order id=\"7\" kind=\"x&amp;y\"><Id>A-1</Id><Note>Gr\xC3\xBC\xC3\x9F"
    "e \xF0\x9F\x98\x80</Note><Empty/></Order>";

TEST(BrokerXml, ParsesIntoPropertiesAndXmlFolders) {
  Message message = Message::fromXml(kOrderXml);
  auto top = kvbroker::elementChildren(message.root());
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(kvbroker::elementName(top[0]), "Properties");
  EXPECT_EQ(kvbroker::elementValue(kvbroker::findChild(top[0], "MessageFormat")), "XML");
  EXPECT_EQ(kvbroker::elementName(top[1]), "XML");

  CciElement* order = kvbroker::findPath(message.root(), "XML.Order");
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(kvbroker::elementType(order), CCI_ELEMENT_TYPE_NAME);
  auto children = kvbroker::elementChildren(order);
  ASSERT_EQ(children.size(), 5u);  // attributes first, then elements
  EXPECT_EQ(kvbroker::elementName(children[0]), "id");
  EXPECT_EQ(kvbroker::elementValue(children[0]), "7");
  EXPECT_EQ(kvbroker::elementType(children[0]),
            CCI_ELEMENT_TYPE_NAME | CCI_ELEMENT_TYPE_VALUE | kvbroker::kElementTypeXmlAttribute);
  EXPECT_EQ(kvbroker::elementValue(children[1]), "x&y");
  EXPECT_EQ(kvbroker::elementType(children[2]), CCI_ELEMENT_TYPE_NAME | CCI_ELEMENT_TYPE_VALUE);
  EXPECT_EQ(kvbroker::elementValue(children[2]), "A-1");
  EXPECT_EQ(kvbroker::elementValue(children[3]),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xF0\x9F\x98\x80");
  EXPECT_EQ(kvbroker::elementType(children[4]), CCI_ELEMENT_TYPE_NAME);

  // The value reaches the plug-in as UTF-16 with the surrogate pair.
  int rc = -1;
  CciChar buffer[16];
  EXPECT_EQ(cniElementCharacterValue(&rc, children[3], buffer, 15), 8);
  EXPECT_EQ(ucsText(buffer),
            u"Gr\x00FC\x00DF"
            u"e \xD83D\xDE00");
}

TEST(BrokerXml, RoundTripKeepsAttributesTextAndNonAscii) {
  Message message = Message::fromXml(kOrderXml);
  std::string xml = message.toXml();
  EXPECT_NE(xml.find("id=\"7\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("kind=\"x&amp;y\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("<Id>A-1</Id>"), std::string::npos) << xml;
  Message again = Message::fromXml(xml);
  EXPECT_EQ(again.dump(), message.dump());
  EXPECT_EQ(again.toXml(), xml);
}

TEST(BrokerXml, ValuesWrittenByThePlugInAppearAsText) {
  Message message = Message::fromXml("<a><b/></a>");
  int rc = -1;
  CciElement* b = kvbroker::findPath(message.root(), "XML.a.b");
  cniSetElementCharacterValue(&rc, b, reinterpret_cast<const CciChar*>(u"new"), 3);
  EXPECT_NE(message.toXml().find("<b>new</b>"), std::string::npos) << message.toXml();
}

TEST(BrokerXml, MalformedXmlNamesSourceOffsetAndReason) {
  try {
    Message::fromXml("<a>\n<b></a>", "order.xml");
    FAIL() << "malformed XML was accepted";
  } catch (const kvbroker::XmlError& error) {
    std::string what = error.what();
    EXPECT_EQ(what.rfind("parse XML order.xml: offset ", 0), 0u) << what;
    EXPECT_NE(what.find("line 2"), std::string::npos) << what;
    EXPECT_GT(error.offset(), 3u);
  }
  EXPECT_THROW(Message::fromXml("", "empty.xml"), kvbroker::XmlError);
  EXPECT_THROW(Message::fromXmlFile("/nonexistent/order.xml"), kvbroker::BrokerError);
}

TEST(BrokerXml, OnlyARegularFileOfOneNameIsRead) {
  char folder[] = "/tmp/broker-xml-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string dir = folder;
  { std::ofstream(dir + "/order.xml") << "<a>1</a>"; }
  ASSERT_EQ(::mkfifo((dir + "/fifo.xml").c_str(), 0600), 0);
  ASSERT_EQ(::symlink((dir + "/order.xml").c_str(), (dir + "/link.xml").c_str()), 0);
  ASSERT_EQ(::link((dir + "/order.xml").c_str(), (dir + "/second.xml").c_str()), 0);
  ::alarm(20);  // a FIFO opened for reading would wait for a writer: fail instead of hanging
  for (const char* name : {"/fifo.xml", "/link.xml", "/second.xml"}) {
    EXPECT_THROW(Message::fromXmlFile(dir + name), kvbroker::BrokerError) << name;
  }
  ::alarm(0);
  ASSERT_EQ(::unlink((dir + "/second.xml").c_str()), 0);
  EXPECT_NO_THROW(Message::fromXmlFile(dir + "/order.xml"));
  std::filesystem::remove_all(dir);
}

TEST(BrokerXml, DumpShowsTypesAndValues) {
  Message message = Message::fromXml("<a x=\"1\">t</a>");
  EXPECT_EQ(kvbroker::dumpTree(kvbroker::findPath(message.root(), "XML")),
            "XML (0x01000000)\n"
            "  a (0x03000000) = 't'\n"
            "    x (0x03000100) = '1'\n");
}

// A tree nested far deeper than any call stack could follow: every walk of
// the broker (reading, copying, writing, dumping, freeing) must go by a stack
// of its own.
TEST(BrokerXml, DeepTreeIsReadCopiedWrittenDumpedAndFreedWithoutRecursion) {
  constexpr int kDepth = 100000;
  std::string xml;
  for (int i = 0; i < kDepth; ++i) xml += "<a>";
  xml += "x";
  for (int i = 0; i < kDepth; ++i) xml += "</a>";
  {
    Message message = Message::fromXml(xml, "deep.xml");
    Message copy = message.copy();
    int rc = -1;
    Message target;
    cniCopyElementTree(&rc, message.root(), target.root());
    EXPECT_EQ(rc, CCI_SUCCESS);

    const std::string written = target.toXml();
    // One line: indentation would grow with the square of the depth.
    EXPECT_LT(written.size(), xml.size() + 100);
    EXPECT_EQ(Message::fromXml(written).dump(), copy.dump());

    const std::string dump = copy.dump();
    // Root, XML, and Properties with its two children.
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), kDepth + 5);
    EXPECT_NE(dump.find(std::string(128, ' ') + "(level 100001) a (0x03000000) = 'x'\n"),
              std::string::npos);
  }
  Message shallow = Message::fromXml("<a><b>1</b></a>");
  EXPECT_EQ(shallow.toXml(), "<?xml version=\"1.0\"?>\n<a>\n  <b>1</b>\n</a>\n");
}

TEST(BrokerXml, NamesThatAreNotXmlNamesAreNeverWritten) {
  struct Case {
    const char* name;
    bool attribute;
    const char* reason;
  };
  const Case refused[] = {
      {"Line[5]", false, "cannot hold '['"},    {"a<b>c", false, "cannot hold '<'"},
      {"1abc", false, "cannot begin with '1'"}, {"-x", false, "cannot begin with '-'"},
      {"a b", true, "cannot hold ' '"},         {"tab\there", false, "cannot hold U+0009"}};
  for (const Case& c : refused) {
    Message message = Message::fromXml("<Order><Line>1</Line></Order>");
    CciElement* line = kvbroker::findPath(message.root(), "XML.Order.Line");
    CciElement* bad = kvbroker::addChild(line, c.name, "v");
    if (c.attribute) {
      int rc = -1;
      cniSetElementType(&rc, bad, kvbroker::elementType(bad) | kvbroker::kElementTypeXmlAttribute);
    }
    try {
      message.toXml();
      ADD_FAILURE() << c.name << " was written";
    } catch (const kvbroker::XmlNameError& error) {
      EXPECT_EQ(error.elementPath(), std::string("XML.Order.Line.") + c.name);
      EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
    }
  }
  Message message = Message::fromXml("<Order/>");
  CciElement* order = kvbroker::findPath(message.root(), "XML.Order");
  for (const char* name : {"Gr\xC3\xB6\xC3\x9F"
                           "e",
                           "_x", "a:b", "a-b.c9", "\xF0\x90\x80\x80"}) {
    kvbroker::addChild(order, name, "v");
  }
  EXPECT_NO_THROW(message.toXml());
}

}  // namespace
