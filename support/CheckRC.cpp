// checkRC: logs the exception a broker call left pending and passes it on.
#include <cstring>

#include "support/EntryGuard.h"
#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"

extern "C" KVPOOL_EXPORT void checkRC(int returnCode) {
  if (returnCode != CCI_EXCEPTION) return;
  int rc = CCI_SUCCESS;
  CciChar source[sizeof kvpool::kCheckRcSourceText] = {};
  cciMbsToUcs(&rc, kvpool::kCheckRcSourceText, source, sizeof kvpool::kCheckRcSourceText,
              kvpool::kCodePageUtf8);
  CciExceptionData data;
  std::memset(&data, 0, sizeof data);
  cciGetLastExceptionData(&rc, &data);
  const auto orEmpty = [](const char* text) { return text != nullptr ? text : ""; };
  cciLog(&rc, CCI_LOG_ERROR, orEmpty(data.file), data.line, orEmpty(data.function), source,
         data.messageNumber, orEmpty(data.traceText), static_cast<const char*>(nullptr));
  kvpool::raiseThroughBroker([&] { cciRethrowLastException(&rc); });
}
