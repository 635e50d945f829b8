// No exception of the plug-in's or the module's own C++ reaches a C caller:
// each kind of entry (a node callback, a script call, an exported pool call,
// the module's entry point and its table's slots) is made to fail at each
// of its allocations in turn, and answers with a code each time; the
// broker's own exceptions still travel through the callbacks.
#include <dlfcn.h>
#include <execinfo.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "node_test_fixture.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolBackend.h"
#include "script/PoolScript.h"

extern "C" KvPoolBackend* kvpoolRedisOpen(const KvPoolRedisHost* host,
                                          const KvPoolRedisSettings* settings,
                                          KvPoolOutcome* outcome);

// The program's allocations: the one counted down to on this thread fails,
// or the next one after it when the stand-in broker makes it (a real broker
// is the plug-in's C host: its calls never throw).
namespace {
thread_local long allocationsToFailure = 0;  // 0: none fails
thread_local long failedAllocations = 0;

bool madeByTheBroker() {
  void* frames[64];
  const int count = backtrace(frames, 64);
  for (int i = 1; i < count; ++i) {
    Dl_info info{};
    if (dladdr(frames[i], &info) != 0 && info.dli_fname != nullptr &&
        std::strstr(info.dli_fname, "libkvbroker") != nullptr) {
      return true;
    }
  }
  return false;
}
}  // namespace

void* operator new(std::size_t bytes) {
  if (allocationsToFailure > 0 && --allocationsToFailure == 0) {
    if (madeByTheBroker()) {
      allocationsToFailure = 1;
    } else {
      ++failedAllocations;
      throw std::bad_alloc();
    }
  }
  if (void* block = std::malloc(bytes != 0 ? bytes : 1)) return block;
  throw std::bad_alloc();
}
// The pair is malloc and free underneath, which the compiler cannot see.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
#pragma GCC diagnostic pop

namespace {

// Runs call with its first allocation failing, then its second, and so on
// until it makes none that fails; call returns whether its answer is one of
// its codes. An exception other than the broker's reaching here fails.
template <typename Call>
void failEachAllocation(const char* entry, Call call) {
  for (long failing = 1; failing < 100000; ++failing) {
    const long failedBefore = failedAllocations;
    allocationsToFailure = failing;
    bool answered = false;
    try {
      answered = call();
    } catch (const kvbroker::BrokerException&) {
      answered = true;  // the broker's own, raised through the plug-in
    } catch (...) {
      allocationsToFailure = 0;
      ADD_FAILURE() << entry << ": an exception escaped at allocation " << failing;
      return;
    }
    const bool failed = failedAllocations != failedBefore;
    allocationsToFailure = 0;
    EXPECT_TRUE(answered) << entry << " at allocation " << failing;
    if (!failed) {
      // A call that allocates nothing of its own proves nothing.
      EXPECT_GT(failing, 1) << entry << " made no allocation of its own";
      return;
    }
  }
  ADD_FAILURE() << entry << " never ran without a failing allocation";
}

// Runs prepare with no allocation failing, the countdown kept.
template <typename Prepare>
void unarmed(Prepare prepare) {
  const long failing = allocationsToFailure;
  allocationsToFailure = 0;
  prepare();
  allocationsToFailure = failing;
}

class EntryGuardTest : public kvtest::NodeUnitTest {
 protected:
  void SetUp() override {
    NodeUnitTest::SetUp();
    madeByTheBroker();  // loads what backtrace needs before any allocation fails
  }
  void TearDown() override {
    NodeUnitTest::TearDown();
    unsetenv("KVPOOL_BACKEND");
  }
};

TEST_F(EntryGuardTest, TheExportedStoreAnswersAnAllocationFailureWithFive) {
  kvNode("shared");
  char key[] = "KvPoolA";
  char value[] = "a value longer than the room a string keeps inside itself";
  failEachAllocation("storeKvPoolDataBlock", [&] {
    PoolBlockRequest request{0, 0, 0, key, value};
    const int result = storeKvPoolDataBlock(&request);
    return result == KVPOOL_OK || result == KVPOOL_POOL_UNAVAILABLE;
  });
}

// On Redis (no server listens there) the callbacks, the script calls and the
// exported get allocate the most; each answers as it does for any failure.
TEST_F(EntryGuardTest, CallbacksAndScriptCallsAnswerAnAllocationFailureWithACode) {
  setenv("KVPOOL_BACKEND", "redis://127.0.0.1:1", 1);
  const CniNodeFunctionTable* table = broker().nodeClassTable("KvPoolNode");
  CciNode* holder = broker().createNode(kvbroker::kCaptureNodeClass, "holder").handle();
  // With no node context alive, each creation reads the settings again.
  failEachAllocation("createNodeContext", [&] {
    CciContext* made = table->createNodeContext(nullptr, nullptr, holder);
    unarmed([&] {
      if (made != nullptr) table->deleteNodeContext(made);
    });
    return kvpool::remotePoolUsers() == 0;
  });

  kvbroker::Node& node = kvNode("guarded");
  NodeContext* context = contextOf(node);
  broker().setAttribute(node, "KvPoolExpression",
                        "SET KvPoolA=Body.d.a; SET OutputRoot.XML.d.b=KvPoolA;");
  failEachAllocation("getKvPoolDataBlock", [&] {
    PoolBlockRequest request{};
    char key[] = "KvPoolA";
    return getKvPoolDataBlock(&request, key) == KVPOOL_POOL_UNAVAILABLE;
  });
  failEachAllocation("processKvPoolscript", [&] {
    const int result = processKvPoolscript(context);
    return result == 0 || result == 1;
  });
  ASSERT_EQ(processKvPoolscript(context), 0);
  // The input goes to "failure" unchanged (the pool is unavailable).
  kvbroker::Message input = kvbroker::Message::fromXml("<d><a>1</a></d>");
  kvbroker::Message exceptions, destinations;
  failEachAllocation("evaluate", [&] {
    table->evaluate(context, exceptions.handle(), destinations.handle(), input.handle());
    return true;
  });
  failEachAllocation("runKvPoolscript", [&] {
    char* failing = nullptr;
    const int result = runKvPoolscript(context, input.handle(), exceptions.handle(),
                                       destinations.handle(), input.handle(), &failing);
    std::free(failing);
    return result == KVPOOL_POOL_UNAVAILABLE;
  });
}

TEST(ModuleEntryGuardTest, TheModuleAnswersAnAllocationFailureWithFive) {
  static const KvPoolRedisHost host = {kKvPoolBackendVersion, sizeof(KvPoolRedisHost), nullptr};
  const KvPoolRedisSettings settings = {
      kKvPoolBackendVersion, 1, {"127.0.0.1", 1, 0}, nullptr, 0, "", "", "", {"", 0}, 0, 500,
      nullptr, nullptr, nullptr, nullptr, 1, 0};
  const auto failed = [](const KvPoolOutcome& outcome) {
    return outcome.code == KVPOOL_POOL_UNAVAILABLE && outcome.reason[0] != '\0';
  };
  failEachAllocation("kvpoolRedisOpen", [&] {
    KvPoolOutcome outcome{};
    KvPoolBackend* backend = kvpoolRedisOpen(&host, &settings, &outcome);
    if (backend != nullptr) backend->methods->close(backend);
    return backend != nullptr ? outcome.code == KVPOOL_OK : failed(outcome);
  });
  KvPoolOutcome opened{};
  KvPoolBackend* backend = kvpoolRedisOpen(&host, &settings, &opened);
  ASSERT_NE(backend, nullptr);
  // No server listens there: every slot that asks one answers 5.
  failEachAllocation("get", [&] {
    kvpool::CollectingSink value;
    return failed(backend->methods->get(backend, kvpool::poolText("KvPoolA"), value.sink()));
  });
  failEachAllocation("runBatch", [&] {
    const KvPoolOp ops[] = {{kKvPoolOpGet, -1, kvpool::poolText("KvPoolA"), {}},
                            {kKvPoolOpSetFromGet, 0, kvpool::poolText("KvPoolB"), {}}};
    int32_t failedOp = 0;
    kvpool::CollectingSink values;
    return failed(backend->methods->runBatch(backend, ops, 2, 0, &failedOp, values.sink()));
  });
  backend->methods->close(backend);
}

}  // namespace
