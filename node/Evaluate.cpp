// evaluate: runs the script on a copy of the message and routes the copy to
// "out", or the unchanged input message to "failure".
#include <cstring>
#include <memory>

#include "node/KvPool.h"
#include "node/NodeInternal.h"
#include "script/PoolScript.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"

namespace {

using kvpool::constFnEvaluate;
using kvpool::kCodePageUtf8;
using kvpool::kEventFile;
using kvpool::kVTRL2Text;
using kvpool::MallocPtr;

constexpr char kNotPropagatedText[] = "Message not propagated";

// The output message is deleted exactly once on every way out of evaluate,
// also when the broker raises through cniPropagate or a rethrow.
struct DeleteMessage {
  void operator()(CciMessage* message) const { cniDeleteMessage(nullptr, message); }
};
using OutputMessage = std::unique_ptr<CciMessage, DeleteMessage>;

// The exception record starts with the version word 0x00010001.
constexpr int32_t kExceptionRecordStart = 0x00010001;

}  // namespace

namespace {

void evaluateMessage(CciContext* opaque, CciMessage* exceptionList, CciMessage* destinationList,
                     CciMessage* message) {
  auto* context = static_cast<NodeContext*>(opaque);
  CciExceptionData exceptionData;
  std::memset(&exceptionData, 0, sizeof exceptionData);
  exceptionData.versionWord = kExceptionRecordStart;
  int scriptResult = 1;
  int rc = 0;
  Log("-->evaluate\n");

  CciElement* inputRoot = cniRootElement(&rc, message);
  OutputMessage output(cniCreateMessage(&rc, cniGetMessageContext(&rc, message)));
  CciElement* outputRoot = cniRootElement(&rc, output.get());
  cniCopyElementTree(&rc, inputRoot, outputRoot);

  MallocPtr<char> errorText;
  {
    char* failingOperand = nullptr;
    scriptResult = runKvPoolscript(context, message, exceptionList, destinationList, output.get(),
                                   &failingOperand);
    errorText.reset(failingOperand);
  }
  Log("  retValue of runKvPoolScript %d\n", scriptResult);

  const CciChar* terminalName = constOut;
  CciMessage* toSend = output.get();
  if (scriptResult != 0) {
    terminalName = constFailure;
    toSend = message;
    if (!errorText) {
      cciLog(&rc, CCI_LOG_ERROR, kEventFile, kvpool::kLineScriptFailed, constFnEvaluate,
             constKvCatalog, scriptResult, kVTRL2Text, nullptr);
    } else {
      cciLog(&rc, CCI_LOG_ERROR, kEventFile, kvpool::kLineScriptFailedOperand, constFnEvaluate,
             constKvCatalog, scriptResult, kVTRL2Text, errorText.get(), nullptr);
      errorText.reset();
    }
  }

  CciTerminal* terminal = getOutputTerminalHandle(context, terminalName);
  if (terminal == nullptr) {
    // Inserts are 8-bit texts.
    MallocPtr<char> name(mbString(terminalName, kCodePageUtf8));
    cciLog(&rc, CCI_LOG_ERROR, kEventFile, kvpool::kLineTerminalMissing, constFnEvaluate,
           constKvCatalog, kvpool::kEventTerminalMissing, "terminal not attached", name.get(),
           nullptr);
    return;
  }

  if (cniIsTerminalAttached(&rc, terminal) == 0) return;
  if (rc == CCI_EXCEPTION) {
    kvpool::raiseThroughBroker([] { cciRethrowLastException(nullptr); });
    return;
  }
  if (rc != 0) {
    cciLog(&rc, CCI_LOG_ERROR, kEventFile, kvpool::kLineAttachQueryFailed, constFnEvaluate,
           constKvCatalog, kvpool::kEventNotPropagated, kNotPropagatedText, nullptr);
    return;
  }

  if (scriptResult == 0) cniFinalize(&rc, output.get(), 0);
  scriptResult = cniPropagate(&rc, terminal, exceptionList, destinationList, toSend);
  Log("  cniPropogate.. retValue=%d rc=%d\n", scriptResult, rc);
  if (rc != 0) {
    if (rc == CCI_EXCEPTION) {
      cciGetLastExceptionData(&rc, &exceptionData);
      kvpool::raiseThroughBroker([] { cciRethrowLastException(nullptr); });
    }
    cciLog(&rc, CCI_LOG_ERROR, kEventFile, kvpool::kLinePropagationFailed, constFnEvaluate,
           constVTRL2, kvpool::kEventNotPropagated, kNotPropagatedText, nullptr);
  }
}

}  // namespace

void evaluate(CciContext* context, CciMessage* exceptionList, CciMessage* destinationList,
              CciMessage* message) {
  kvpool::answerEntry("evaluate",
                      [&] { evaluateMessage(context, exceptionList, destinationList, message); });
}
