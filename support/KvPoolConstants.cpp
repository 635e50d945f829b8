// The process-wide UTF-16 constants. They live at the bottom floor so that
// every floor may name them; the node's initNodeConstants builds them.
#include "support/KvPoolConstants.h"

extern "C" {
CciChar* constKvPoolNode = nullptr;
CciChar* constPluginNodeFactory = nullptr;
CciChar* constOut = nullptr;
CciChar* constFailure = nullptr;
CciChar* constKvCatalog = nullptr;
CciChar* constVTRL2 = nullptr;
}
