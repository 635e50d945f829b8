// Scripts run on fuzzed messages, through KvPoolNodes of the built plug-in on
// the stand-in broker, as a broker runs them. An input is either
//  - an XML message, sent through every node of a fixed set whose scripts use
//    every operand form (pool keys; Root, Body, Input and Output paths; the
//    exception and destination lists; indexes, runs of dots, unknown roots),
//    each node once failing on missing values and once reading them as empty;
//  - or FLAGS SCRIPT \0 MESSAGE: a script of its own (as UTF-16, see
//    kvfuzz::toUnits) set on one node, FLAGS' bit 0 setting
//    messageStoreEltNotFound and bit 1 messageInsertKeyNotFound.
// Every message must leave the node at exactly one terminal, no broker
// exception may come out of evaluate, no message the plug-in made may stay
// undeleted, and the pool must check sound afterwards. The pool is emptied
// after each input, so an input's outcome depends on itself alone.
#include <dlfcn.h>
#include <sys/shm.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "broker/Broker.h"
#include "fuzz_support.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolRecords.h"

namespace {

const std::vector<std::string> kFixedScripts = {
    // Message into the pool, through every way of naming the input.
    "SET KvPoolA = Body.Order.Id;\n"
    "SET KvPoolB = Root.XML.Order.Line[2].Qty;\n"
    "SET KvPoolC = InputRoot.XML.Order.Customer.Name;\n"
    "SET KvPoolD = InputBody.Order.Line[1];\n"
    "SET KvPoolE = Root.Properties.MessageFormat;",
    // Pool into the output, creating what is missing where that is allowed.
    "SET KvPoolA = Body.Order.Id;\n"
    "SET OutputRoot.XML.Order.Copy = KvPoolA;\n"
    "SET OutputRoot.Audit.By = KvPoolA;\n"
    "SET OutputRoot.XML.Order.Line[3].Qty = KvPoolA;\n"
    "SET Root.XML.Order.New = KvPoolMissing;",
    // Output read back after an earlier statement wrote it.
    "SET OutputRoot.XML.Order.Copy = Body.Order.Lines.Line[2].Qty;\n"
    "SET KvPoolLast = OutputRoot.XML.Order.Copy;\n"
    "SET OutputBody.Order.Id = OutputBody.Order.Copy;\n"
    "SET OutputRoot.XML.Order.Line[2] = InputRoot.XML.Order.Line[1];",
    // The exception and destination lists, written and read in place.
    "SET DestinationList.Route.Queue = Body.Order.Id;\n"
    "SET ExceptionList.Error.Text = DestinationList.Route.Queue;\n"
    "SET KvPoolE = ExceptionList.Error.Text;\n"
    "SET OutputDestinationList.Route.Again = InputExceptionList.Error.Text;\n"
    "SET OutputExceptionList.Error[2].Text = KvPoolE;",
    // Odd paths: runs of dots, trailing dots, indexes that name nothing (a
    // negative one cannot be written: '-' is refused), unknown roots, a
    // lower-case root, a field below XML itself.
    "SET KvPoolF = Root.XML..Order...Id..;\n"
    "SET KvPoolG = Body.Order.Line[0];\n"
    "SET KvPoolH = Body.Order.Line[x];\n"
    "SET KvPoolI = Body.Order.Line[00];\n"
    "SET KvPoolJ = root.XML.Order;\n"
    "SET KvPoolK = Nothing.Order;\n"
    "SET KvPoolL = Body.Order.Line[];\n"
    "SET OutputRoot.XML.Id = KvPoolF;\n"
    "SET Nowhere.a = KvPoolF;",
    // Non-ASCII names, and keys and values that already went through the pool.
    "SET KvPoolGröße = Body.Bestellung.Größe;\n"
    "SET OutputRoot.XML.Bestellung.Größe[2] = KvPoolGröße;\n"
    "SET KvPoolA = KvPoolGröße;\n"
    "SET OutputRoot.XML.Order.Id = KvPoolA;",
    // A malformed statement: no '='. (An overlong operand is added below.)
    "SET KvPoolA = Body.Order.Id;\n"
    "SET KvPoolNoEquals;",
};

struct FuzzNode {
  kvbroker::Node* node;
  kvbroker::Node* out;
  kvbroker::Node* failure;
};

kvbroker::Broker* broker = nullptr;
std::vector<FuzzNode> fixedNodes;
FuzzNode fuzzedNode;
// The plug-in's own handles of the pool.
void* const* poolView = nullptr;
const int* poolSegment = nullptr;

FuzzNode makeNode(const std::string& name) {
  FuzzNode made;
  made.node = &broker->createNode("KvPoolNode", name);
  made.out = &broker->createNode(kvbroker::kCaptureNodeClass, name + ".out");
  made.failure = &broker->createNode(kvbroker::kCaptureNodeClass, name + ".failure");
  broker->wire(*made.node, "out", *made.out, "in");
  broker->wire(*made.node, "failure", *made.failure, "in");
  return made;
}

void setFlags(const FuzzNode& node, bool elementNotFound, bool keyNotFound) {
  broker->setAttribute(*node.node, "messageStoreEltNotFound", elementNotFound ? "true" : "false");
  broker->setAttribute(*node.node, "messageInsertKeyNotFound", keyNotFound ? "true" : "false");
}

void runThrough(const FuzzNode& node, const kvbroker::Message& message) {
  kvbroker::Message copy = message.copy();
  const kvbroker::InjectResult result = broker->inject(*node.node, "in", copy);
  KVFUZZ_CHECK(result.ok(), "evaluate of %s raised: %s", node.node->name().c_str(),
               kvbroker::formatException(*result.exception).c_str());
  const std::size_t sent = node.out->captured().size() + node.failure->captured().size();
  KVFUZZ_CHECK(sent == 1, "%s sent %zu messages for one", node.node->name().c_str(), sent);
  node.out->clearCaptured();
  node.failure->clearCaptured();
  KVFUZZ_CHECK(broker->undeletedMessages() == 0, "%s left %d messages undeleted",
               node.node->name().c_str(), broker->undeletedMessages());
}

// Checks the pool (unless told not to) and empties it, as the segment's first
// user found it. Nothing else runs in this namespace, so no lock is needed.
void checkAndEmptyPool(bool check = true) {
  auto* base = static_cast<unsigned char*>(*poolView);
  KVFUZZ_CHECK(base != nullptr, "the plug-in has no pool mapped");
  shmid_ds status{};
  KVFUZZ_CHECK(shmctl(*poolSegment, IPC_STAT, &status) == 0, "the pool's segment is gone");
  const auto bytes = static_cast<int32_t>(status.shm_segsz);
  const kvpool::PoolDamage damage = kvpool::checkPoolImage(base, bytes);
  KVFUZZ_CHECK(!check || !damage.found(), "the pool is damaged at offset %d: %s", damage.offset,
               damage.reason.c_str());
  kvpool::writePoolControl(base, {bytes, 0, kvpool::kPoolHeaderBytes});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvfuzz::boundTrace();
  static kvbroker::Broker instance;
  broker = &instance;
  broker->loadPlugin(KVPOOL_PLUGIN_PATH);
  void* plugin = dlopen(KVPOOL_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
  KVFUZZ_CHECK(plugin != nullptr, "the plug-in is not loaded: %s", dlerror());
  poolView = static_cast<void* const*>(dlsym(plugin, "hKvMemView"));
  poolSegment = static_cast<const int*>(dlsym(plugin, "hKvMem"));
  KVFUZZ_CHECK(poolView != nullptr && poolSegment != nullptr, "the plug-in's pool handles: %s",
               dlerror());

  std::vector<std::string> scripts = kFixedScripts;
  scripts.push_back("SET KvPoolA = Body.Order.Id;\nSET KvPool" + std::string(250, 'k') +
                    " = Body.Order.Id;");
  int index = 0;
  for (const std::string& script : scripts) {
    for (const bool lenient : {false, true}) {
      const FuzzNode node =
          makeNode("fixed" + std::to_string(index) + (lenient ? "-lenient" : "-strict"));
      broker->setAttribute(*node.node, "KvPoolExpression", script);
      setFlags(node, lenient, lenient);
      fixedNodes.push_back(node);
    }
    ++index;
  }
  fuzzedNode = makeNode("fuzzed");
  // A pool left by an earlier process of this namespace (libFuzzer's -fork
  // mode runs one after another) may hold what its last input stored.
  checkAndEmptyPool(false);
  broker->clearEvents();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const auto* end = data + size;
  const auto* separator = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const uint8_t* messageStart = separator != nullptr ? separator + 1 : data;
  std::optional<kvbroker::Message> message;
  try {
    message.emplace(
        kvbroker::Message::fromXml(std::string_view(reinterpret_cast<const char*>(messageStart),
                                                    static_cast<std::size_t>(end - messageStart))));
  } catch (const kvbroker::XmlError&) {
    return 0;  // a broker never hands such a message to a node
  }

  if (separator == nullptr) {
    for (const FuzzNode& node : fixedNodes) runThrough(node, *message);
  } else {
    const uint8_t flags = separator > data ? data[0] : 0;
    const uint8_t* scriptStart = separator > data ? data + 1 : data;
    setFlags(fuzzedNode, (flags & 1) != 0, (flags & 2) != 0);
    const std::u16string script =
        kvfuzz::toUnits(scriptStart, static_cast<std::size_t>(separator - scriptStart));
    try {
      broker->setAttribute(*fuzzedNode.node, u"KvPoolExpression", script);
    } catch (const kvbroker::CallbackRefused&) {
      // Refused; the node keeps the statements before the refused one and
      // must run them as well as any others.
    }
    runThrough(fuzzedNode, *message);
  }
  checkAndEmptyPool();
  broker->clearEvents();
  return 0;
}
