// checkRC: logs the exception a broker call left pending and passes it on.
#include <cstring>

#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"

namespace {

const char* textOrEmpty(const char* text) {
  return text != nullptr ? text : "";
}

}  // namespace

extern "C" KVPOOL_EXPORT void checkRC(int returnCode) {
  if (returnCode != CCI_EXCEPTION) return;
  int rc = CCI_SUCCESS;
  CciChar source[sizeof kvpool::kCheckRcSourceText] = {};
  cciMbsToUcs(&rc, kvpool::kCheckRcSourceText, source, sizeof kvpool::kCheckRcSourceText,
              kvpool::kCodePageUtf8);
  CciExceptionData data;
  std::memset(&data, 0, sizeof data);
  cciGetLastExceptionData(&rc, &data);
  cciLog(&rc, CCI_LOG_ERROR, textOrEmpty(data.file), data.line, textOrEmpty(data.function), source,
         data.messageNumber, textOrEmpty(data.traceText), static_cast<const char*>(nullptr));
  cciRethrowLastException(&rc);
}
