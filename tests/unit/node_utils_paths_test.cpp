// Dotted paths into real message trees of the stand-in broker: reading,
// the creation rules for writing, and the message copy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "node_utils/MessagePaths.h"

namespace {

using kvbroker::addChild;
using kvbroker::elementChildren;
using kvbroker::elementName;
using kvbroker::elementType;
using kvbroker::elementValue;
using kvbroker::findPath;
using kvbroker::Message;

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

class PathTest : public ::testing::Test {
 protected:
  // A message whose body is the XML folder holding the document.
  void useXml(std::string_view xml) { message_ = Message::fromXml(xml); }

  CciElement* read(const char* path) {
    return NodeGetValue(path, message_.handle(), exceptionList_.handle(),
                        destinationList_.handle());
  }
  CciElement* write(const char* path) {
    return NodeAddOrGetElement(path, message_.handle(), exceptionList_.handle(),
                               destinationList_.handle());
  }
  CciElement* create(const char* path) {
    return NodeAddElement(path, message_.handle(), exceptionList_.handle(),
                          destinationList_.handle());
  }
  std::string valueAt(const char* path) {
    CciElement* element = read(path);
    return element != nullptr ? elementValue(element) : "<none>";
  }
  // Every tree the operations can touch, to prove nothing was created.
  std::string trees() const {
    return message_.dump() + exceptionList_.dump() + destinationList_.dump();
  }
  CciElement* body() const { return findPath(message_.root(), "XML"); }

  kvbroker::Broker broker_;
  Message message_;
  Message exceptionList_;
  Message destinationList_;
};

// ---- Reading -----------------------------------------------------------------

TEST_F(PathTest, RunsOfDotsAndTrailingDotsAreOneSeparator) {
  useXml("<Order><a>1</a></Order>");
  CciElement* a = findPath(body(), "Order.a");
  for (const char* path : {"Root.XML.Order.a", "Root.XML..Order.a", "Root..XML.Order...a",
                           "Root.XML.Order.a.", "Root.XML.Order.a..", "Body.Order.a"}) {
    EXPECT_EQ(read(path), a) << path;
    EXPECT_EQ(write(path), a) << path;
  }
  EXPECT_EQ(elementChildren(findPath(body(), "Order")).size(), 1u);
}

TEST_F(PathTest, IndexCountsOnlyTheRunOfSameNamedSiblings) {
  useXml("<Order><Line><Qty>1</Qty></Line><Line><Qty>2</Qty></Line><Note>n</Note></Order>");
  EXPECT_EQ(valueAt("Body.Order.Line[2].Qty"), "2");
  EXPECT_EQ(valueAt("Body.Order.Line[1].Qty"), "1");
  EXPECT_EQ(valueAt("Body.Order.Line.Qty"), "1");
  EXPECT_EQ(valueAt("Body.Order.Line[3].Qty"), "<none>");

  // A same-named sibling after a differently named one does not count.
  useXml("<Order><Line><Qty>1</Qty></Line><Note>n</Note><Line><Qty>2</Qty></Line></Order>");
  EXPECT_EQ(valueAt("Body.Order.Line[2].Qty"), "<none>");

  // The run starts at the first element so named.
  useXml("<Order><Note>n</Note><Line><Qty>1</Qty></Line><Line><Qty>2</Qty></Line></Order>");
  EXPECT_EQ(valueAt("Body.Order.Line[2].Qty"), "2");
}

TEST_F(PathTest, IndexMustBeAPlainDecimalFromOneToIntMax) {
  useXml("<Order><Line>first</Line><Line>second</Line></Order>");
  // Junk after the digits, a sign, or a number beyond INT_MAX (also one that
  // wraps to 2 in 32 bits) name nothing rather than some element.
  for (const char* path :
       {"Body.Order.Line[0]", "Body.Order.Line[-1]", "Body.Order.Line[x]", "Body.Order.Line[]",
        "Body.Order.Line[2abc]", "Body.Order.Line[+2]", "Body.Order.Line[2147483648]",
        "Body.Order.Line[4294967298]", "Body.Order.Line[99999999999999999999]"}) {
    EXPECT_EQ(read(path), nullptr) << path;
  }
  // A bracket with nothing after it is no index; text after the closing
  // bracket is ignored.
  EXPECT_EQ(valueAt("Body.Order.Line["), "first");
  EXPECT_EQ(valueAt("Body.Order.Line[2]tail"), "second");
  EXPECT_EQ(valueAt("Body.Order.Line[02]"), "second");
  EXPECT_EQ(valueAt("Body.Order.Line[2147483647]"), "<none>");
}

TEST_F(PathTest, ReadingTakesTheElementOrItsFirstValueChildOnly) {
  CciElement* order = addChild(message_.root(), "Order");
  addChild(order, "Id", "7");
  CciElement* folder = addChild(message_.root(), "Folder");
  CciElement* inner = addChild(folder, "Inner");
  addChild(inner, "Deep", "d");

  EXPECT_EQ(read("Root.Order"), findPath(message_.root(), "Order.Id"));
  EXPECT_EQ(read("Root.Order.Id"), findPath(message_.root(), "Order.Id"));
  EXPECT_EQ(read("Root.Folder"), nullptr);
  EXPECT_EQ(read("Root.Folder.Inner"), findPath(message_.root(), "Folder.Inner.Deep"));
}

TEST_F(PathTest, RemainingPathIsTheMissingPartAsWritten) {
  useXml("<Order><Line><Qty>1</Qty></Line><Line><Qty>2</Qty></Line></Order>");
  CciElement* order = findPath(body(), "Order");
  CciElement* secondLine = elementChildren(order)[1];
  struct Case {
    const char* path;
    CciElement* deepest;
    const char* remaining;
  };
  for (const Case& c :
       {Case{"Order.Line[3].Qty", order, "Line[3].Qty"},
        Case{"Order..Line[3]..Qty.", order, "Line[3]..Qty."},
        Case{"Order.Line[2].Price", secondLine, "Price"}, Case{"Missing", body(), "Missing"}}) {
    char* remaining = nullptr;
    EXPECT_EQ(findElement(c.path, body(), &remaining), c.deepest) << c.path;
    Text owned(remaining);
    ASSERT_NE(remaining, nullptr) << c.path;
    EXPECT_STREQ(remaining, c.remaining);
  }
  char* remaining = nullptr;
  EXPECT_EQ(findElement("Order.Line[2].Qty", body(), &remaining), findPath(secondLine, "Qty"));
  EXPECT_EQ(remaining, nullptr);
}

TEST_F(PathTest, FirstSegmentMustBeARootKeywordInFull) {
  useXml("<Order><Id>7</Id></Order>");
  const std::string before = trees();
  for (const char* path : {"root.XML.Order.Id", "Root[1].XML.Order.Id", "Roots.XML.Order.Id",
                           "body.Order.Id", "", ".Root.XML", "Input.Order.Id"}) {
    EXPECT_EQ(read(path), nullptr) << path;
    EXPECT_EQ(write(path), nullptr) << path;
    EXPECT_EQ(create(path), nullptr) << path;
  }
  EXPECT_EQ(trees(), before);
}

TEST_F(PathTest, KeywordsNameTheRootsOfTheirTrees) {
  useXml("<Order/>");
  CciElement* exception = addChild(exceptionList_.root(), "Error", "e");
  CciElement* destination = addChild(destinationList_.root(), "Queue", "q");
  EXPECT_EQ(read("ExceptionList.Error"), exception);
  EXPECT_EQ(read("DestinationList.Queue"), destination);
  EXPECT_EQ(read("Root.XML.Order"), nullptr);  // a folder without value
  EXPECT_EQ(write("Root.XML.Order"), findPath(body(), "Order"));
  EXPECT_EQ(findRootElement("Body", message_.handle(), nullptr, nullptr), body());
  EXPECT_EQ(findRootElement("Root", message_.handle(), nullptr, nullptr), message_.root());
}

// ---- One-segment paths -----------------------------------------------------------

TEST_F(PathTest, KeywordAloneNamesTheRootElement) {
  useXml("<Order/>");
  CciElement* value = addChild(exceptionList_.root(), "Code", "9");
  const std::string before = trees();
  EXPECT_EQ(write("Root"), message_.root());
  EXPECT_EQ(write("Root."), message_.root());
  EXPECT_EQ(write("Body"), body());
  EXPECT_EQ(write("ExceptionList"), exceptionList_.root());
  EXPECT_EQ(write("DestinationList.."), destinationList_.root());
  EXPECT_EQ(read("ExceptionList"), value);  // the root's first child holds a value
  EXPECT_EQ(read("Root"), nullptr);         // its first child is a folder
  // Nothing is missing, so nothing is created.
  EXPECT_EQ(create("Root"), nullptr);
  EXPECT_EQ(create("Body"), nullptr);
  EXPECT_EQ(trees(), before);
}

TEST_F(PathTest, BodyOfAnEmptyMessageNamesNothing) {
  const std::string before = trees();
  for (const char* path : {"Body", "Body.Order", "Body.Order.Id"}) {
    EXPECT_EQ(read(path), nullptr) << path;
    EXPECT_EQ(write(path), nullptr) << path;
    EXPECT_EQ(create(path), nullptr) << path;
  }
  EXPECT_EQ(trees(), before);
}

// ---- Writing -----------------------------------------------------------------

TEST_F(PathTest, NothingIsCreatedDirectlyBelowAnExistingChildOfTheRoot) {
  useXml("<Doc/>");
  const std::string before = trees();
  EXPECT_EQ(write("Root.XML.Order.Id"), nullptr);  // XML exists, Order does not
  EXPECT_EQ(write("Root.XML.Order"), nullptr);
  EXPECT_EQ(write("Body.Order.Id"), nullptr);  // the body has no Order
  EXPECT_EQ(write("Body.Order"), nullptr);
  EXPECT_EQ(trees(), before);
}

TEST_F(PathTest, DeeperMissingElementsAreCreatedAsNameElements) {
  useXml("<Order><Line>1</Line></Order>");
  CciElement* order = findPath(body(), "Order");
  CciElement* id = write("Body.Order.Id");
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(elementName(id), "Id");
  EXPECT_EQ(elementType(id), CCI_ELEMENT_TYPE_NAME);
  EXPECT_EQ(elementChildren(order).back(), id);

  CciElement* qty = write("Root.XML.Order.Item.Qty");
  ASSERT_NE(qty, nullptr);
  EXPECT_EQ(findPath(order, "Item.Qty"), qty);

  // An existing path is returned as it is.
  const std::string before = trees();
  EXPECT_EQ(write("Body.Order.Id"), id);
  EXPECT_EQ(trees(), before);
}

TEST_F(PathTest, NewChildrenOfTheRootAreCreatedWithEverythingBelow) {
  useXml("<Doc/>");
  CciElement* a = write("Root.NewFolder.a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(findPath(message_.root(), "NewFolder.a"), a);
  EXPECT_EQ(elementName(elementChildren(message_.root()).back()), "NewFolder");

  CciElement* other = write("Root.Other");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(elementChildren(message_.root()).back(), other);
  EXPECT_EQ(elementName(other), "Other");
}

TEST_F(PathTest, CompanionTreesGetEveryMissingPart) {
  CciElement* x = write("DestinationList.x");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(findPath(destinationList_.root(), "x"), x);
  addChild(exceptionList_.root(), "Recoverable");
  CciElement* text = write("ExceptionList.Recoverable.Text");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(findPath(exceptionList_.root(), "Recoverable.Text"), text);
}

TEST_F(PathTest, MissingSegmentWithAnIndexBeyondOneCreatesNothing) {
  useXml("<Order><Line>1</Line><Line>2</Line></Order>");
  const std::string before = trees();
  for (const char* path : {"Body.Order.Line[3].Qty", "Body.Order.Line[3]", "Body.Order.Item[2]",
                           "Body.Order.New.Sub[2].Qty", "Body.Order.Line[2abc].Qty",
                           "Body.Order.Line[0]", "Body.Order.[1]"}) {
    EXPECT_EQ(write(path), nullptr) << path;
    EXPECT_EQ(create(path), nullptr) << path;
  }
  EXPECT_EQ(trees(), before);
}

TEST_F(PathTest, MissingSegmentWithIndexOneIsCreatedWithoutItsIndex) {
  useXml("<Order><Line>1</Line></Order>");
  CciElement* order = findPath(body(), "Order");
  struct Case {
    const char* path;
    const char* created;  // the new path below Order
  };
  for (const Case& c :
       {Case{"Body.Order.Item[1].Qty", "Item.Qty"}, Case{"Body.Order.Note[", "Note"},
        Case{"Body.Order.New.Sub[1]", "New.Sub"}, Case{"Body.Order.Tag[1]x", "Tag"}}) {
    CciElement* element = write(c.path);
    ASSERT_NE(element, nullptr) << c.path;
    EXPECT_EQ(findPath(order, c.created), element) << c.path;
  }
  EXPECT_EQ(elementChildren(order).size(), 5u);
}

TEST_F(PathTest, AddElementCreatesWithoutTheRootRules) {
  useXml("<Doc/>");
  CciElement* id = create("Root.XML.Order.Id");
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(findPath(body(), "Order.Id"), id);
  CciElement* item = create("Body.Item");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(elementChildren(body()).back(), item);

  const std::string before = trees();
  EXPECT_EQ(create("Root.XML.Order.Id"), nullptr);  // exists whole
  EXPECT_EQ(trees(), before);
}

TEST_F(PathTest, AddChildElementSplitsInPlaceAndNamesEachSegment) {
  char path[] = "a..b[2].c.";
  CciElement* c = addChildElement(path, message_.root());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(findPath(message_.root(), "a.b[2].c"), c);
  EXPECT_EQ(elementType(findPath(message_.root(), "a")), CCI_ELEMENT_TYPE_NAME);
}

// ---- Element names that do not fit the name buffer -----------------------------

TEST_F(PathTest, NameLongerThanTheBufferMatchesNoSegment) {
  const std::string exact(127, 'n');
  const std::string longer(128, 'n');
  CciElement* folder = addChild(message_.root(), "F");
  addChild(folder, longer, "long");
  CciElement* fits = addChild(folder, exact, "exact");

  // The 128-unit name, cut to 127 units by the buffer, must not pass for the
  // 127-unit segment.
  EXPECT_EQ(read(("Root.F." + exact).c_str()), fits);
  EXPECT_EQ(read(("Root.F." + longer).c_str()), nullptr);
  EXPECT_EQ(read(("Root.F." + std::string(300, 'n')).c_str()), nullptr);
}

TEST_F(PathTest, MultiByteNamesCompareAsUtf8) {
  CciElement* folder = addChild(message_.root(), "Bestellung");
  CciElement* size = addChild(folder,
                              "Gr\xC3\xB6\xC3\x9F"
                              "e",
                              "L");
  EXPECT_EQ(read("Root.Bestellung.Gr\xC3\xB6\xC3\x9F"
                 "e"),
            size);
  EXPECT_EQ(read("Root.Bestellung.Grosse"), nullptr);
}

// ---- Paths parsed once ---------------------------------------------------------

TEST_F(PathTest, ParsedPathResolvesWithoutConvertingAnyName) {
  useXml(
      "<Order><Note>n</Note><Line><Qty>1</Qty></Line><Line><Qty>2</Qty></Line>"
      "<Gr\xC3\xB6\xC3\x9F"
      "e>L</Gr\xC3\xB6\xC3\x9F"
      "e></Order>");
  kvpool::ParsedPath second;
  ASSERT_TRUE(second.parse("Body.Order.Line[2].Qty"));
  kvpool::ParsedPath size;
  ASSERT_TRUE(
      size.parse("Root.XML.Order.Gr\xC3\xB6\xC3\x9F"
                 "e"));
  kvpool::ParsedPath created;
  ASSERT_TRUE(
      created.parse("Root.XML.Order.Item[1].Gr\xC3\xB6\xC3\x9F"
                    "e"));
  broker_.resetCallCounts();
  CciElement* qty = kvpool::getPathValue(second, message_.handle(), exceptionList_.handle(),
                                         destinationList_.handle());
  CciElement* found = kvpool::getPathValue(size, message_.handle(), exceptionList_.handle(),
                                           destinationList_.handle());
  CciElement* made = kvpool::addOrGetPathElement(
      created, message_.handle(), exceptionList_.handle(), destinationList_.handle());
  ASSERT_NE(qty, nullptr);
  EXPECT_EQ(elementValue(qty), "2");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(elementValue(found), "L");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(elementName(made),
            "Gr\xC3\xB6\xC3\x9F"
            "e");
  EXPECT_EQ(broker_.callCount("cciUcsToMbs"), 0);
  EXPECT_EQ(broker_.callCount("cciMbsToUcs"), 0);
}

TEST_F(PathTest, SegmentNamesMatchElementNamesAsTheirTextWould) {
  // Names set unit by unit, so that also names no XML text can make occur.
  struct Case {
    std::u16string name;
    std::string segment;
    bool matches;
  };
  const std::u16string lone(1, u'\xDC00');  // a lone surrogate: no text reads as it
  const Case cases[] = {
      {u"Qty", "Qty", true},
      {u"Qty", "QtyX", false},
      {u"QtyX", "Qty", false},
      {u"qty", "Qty", false},
      {u"Gr\u00F6\u00DFe",
       "Gr\xC3\xB6\xC3\x9F"
       "e",
       true},
      {u"Gr\u00F6\u00DF",
       "Gr\xC3\xB6\xC3\x9F"
       "e",
       false},
      {u"\U0001F600", "\xF0\x9F\x98\x80", true},
      {std::u16string(127, u'n'), std::string(127, 'n'), true},
      {std::u16string(128, u'n'), std::string(128, 'n'), false},
      {u"", "[1]", true},
      {lone, "[1]", true},  // an unreadable name reads as the empty text
      {lone, "x", false},
      {u"x" + lone, "x", false},
  };
  for (const Case& c : cases) {
    Message message;
    CciElement* folder = addChild(message.root(), "F");
    int rc = CCI_SUCCESS;
    CciElement* element = cniCreateElementAsLastChild(&rc, folder);
    cniSetElementName(&rc, element, reinterpret_cast<const CciChar*>(c.name.c_str()));
    cniSetElementCharacterValue(&rc, element, reinterpret_cast<const CciChar*>(u"v"), 1);
    const std::string path = "Root.F." + c.segment;
    kvpool::ParsedPath parsed;
    ASSERT_TRUE(parsed.parse(path.c_str()));
    CciElement* found = kvpool::getPathValue(parsed, message.handle(), exceptionList_.handle(),
                                             destinationList_.handle());
    EXPECT_EQ(found == element, c.matches) << c.segment;
    EXPECT_EQ(NodeGetValue(path.c_str(), message.handle(), exceptionList_.handle(),
                           destinationList_.handle()),
              found)
        << c.segment;
  }
}

// ---- Failed broker calls -------------------------------------------------------

TEST_F(PathTest, FailedBrokerCallMeansNotFound) {
  useXml("<Order><Id>7</Id></Order>");
  for (const char* call : {"cniRootElement", "cniFirstChild", "cniElementName"}) {
    kvbroker::Fault fault;
    fault.call = call;
    fault.returnCode = CCI_FAILURE;
    fault.times = 0;
    broker_.resetCallCounts();
    broker_.injectFault(fault);
    EXPECT_EQ(read("Root.XML.Order.Id"), nullptr) << call;
    broker_.clearFaults();
    kvbroker::Broker::clearPendingException();
  }
  EXPECT_EQ(valueAt("Root.XML.Order.Id"), "7");
}

// ---- Copying a message ---------------------------------------------------------

TEST_F(PathTest, CopyMessageCopiesTheTreeIntoANewMessage) {
  useXml("<Order><Id>7</Id><Line a=\"1\">x</Line></Order>");
  const int before = broker_.undeletedMessages();
  CciMessage* copy = NodeCopyMessage(message_.handle());
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, message_.handle());
  EXPECT_EQ(broker_.undeletedMessages(), before + 1);
  int rc = CCI_SUCCESS;
  CciElement* root = cniRootElement(&rc, copy);
  EXPECT_EQ(kvbroker::dumpTree(root), kvbroker::dumpTree(message_.root()));
  EXPECT_NE(root, message_.root());
  cniDeleteMessage(&rc, copy);
  EXPECT_EQ(broker_.undeletedMessages(), before);
}

TEST_F(PathTest, CopyMessageThatFailsLeavesNoMessageBehind) {
  useXml("<Order/>");
  const int before = broker_.undeletedMessages();
  for (const char* call : {"cniCreateMessage", "cniRootElement", "cniCopyElementTree"}) {
    kvbroker::Fault fault;
    fault.call = call;
    fault.returnCode = CCI_FAILURE;
    broker_.resetCallCounts();
    broker_.injectFault(fault);
    EXPECT_EQ(NodeCopyMessage(message_.handle()), nullptr) << call;
    EXPECT_EQ(broker_.undeletedMessages(), before) << call;
    broker_.clearFaults();
  }
}

}  // namespace
