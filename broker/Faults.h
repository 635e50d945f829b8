// A fault the broker injects into the cni/cci calls a plug-in makes.
#ifndef KVPOOL_BROKER_FAULTS_H
#define KVPOOL_BROKER_FAULTS_H

#include <optional>
#include <string>

#include "host/BrokerApi.h"

namespace kvbroker {

// A fault injected into a cni/cci call.
struct Fault {
  std::string call;                // function name, e.g. "cniCreateNodeFactory"
  int returnCode = CCI_EXCEPTION;  // 64 also makes a pending exception
  int firstCall = 1;               // 1-based count of the first call that fails
  int times = 1;                   // consecutive failing calls; 0 = every call from firstCall on
  // What the failing call returns when it returns an int. When unset:
  // cniIsTerminalAttached returns its true answer, every other call 0 (or null).
  std::optional<int> result;
  std::string traceText = "injected fault";  // trace text of the pending exception
};

}  // namespace kvbroker

#endif
