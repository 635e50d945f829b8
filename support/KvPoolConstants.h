// The broker events the plug-in writes (numbers, lines, file, catalog texts),
// its code page and its process-wide UTF-16 constants. Event numbers and
// lines are fixed: operators' alerting keys on them.
#ifndef KVPOOL_SUPPORT_KVPOOLCONSTANTS_H
#define KVPOOL_SUPPORT_KVPOOLCONSTANTS_H

#include "host/BrokerApi.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Built once by initNodeConstants (null before), kept until the library is
// unloaded; read-only for everyone else.
KVPOOL_EXPORT extern CciChar* constKvPoolNode;         // "KvPoolNode"
KVPOOL_EXPORT extern CciChar* constPluginNodeFactory;  // "KvPoolNodeFactory"
KVPOOL_EXPORT extern CciChar* constOut;                // "out"
KVPOOL_EXPORT extern CciChar* constFailure;            // "failure"
KVPOOL_EXPORT extern CciChar* constKvCatalog;          // "VTRL-KvPool"
KVPOOL_EXPORT extern CciChar* constVTRL2;              // "Vantrel2"

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace kvpool {

// UTF-8, the only code page the library passes to the broker.
inline constexpr int kCodePageUtf8 = CCI_CODEPAGE_UTF8;

inline constexpr char kEventFile[] = "KvPool";  // every event's source file
inline constexpr char kKvCatalogText[] = "VTRL-KvPool";
inline constexpr char kVTRL2Text[] = "Vantrel2";  // most events' first trace text
// The start-up event's source, written before the UTF-16 constants exist.
inline constexpr CciChar kVTRL2Units[] = {'V', 'a', 'n', 't', 'r', 'e', 'l', '2', 0};
// The source of the events checkRC writes for a pending broker exception.
inline constexpr char kCheckRcSourceText[] = "HVTRv210";

// Message numbers. A failed script run is logged under its result code
// instead (lines 848, 852); 5 is also kEventTerminalMissing (line 908).
enum EventNumber : int {
  kEventPluginLoading = 0,
  kEventTerminalMissing = 5,
  kEventNotPropagated = 6,
  kEventPoolUnavailable = 9,
  kEventScriptRejected = 10,
  kEventPoolCreated = 12,
  kEventSnapshotLoaded = 13,
  kEventSnapshotSaved = 14,
  kEventUnsupportedCharacter = 15,
  kEventAssignmentToInput = 16,
  // KVPOOL_BACKEND or its companions are malformed (pool/PoolBackend.h).
  kEventBackendRefused = 17,
  // A store journal entry failed its own check and was not applied.
  kEventJournalRefused = 18,
  // KVPOOL_PERSIST: the last node could not save the pool, which stays.
  kEventPersistSaveFailed = 19,
  // KVPOOL_PERSIST: the file failed its checks at creation; it was renamed
  // beside itself and the pool started empty.
  kEventPersistFileRefused = 20,
  // A process without KVPOOL_PERSIST joined or left a pool created with it.
  kEventPersistSettingDiffers = 21,
  // The pool is on a Redis server reached over TLS without checking its
  // certificate (KVPOOL_REDIS_TLS_VERIFY=off): at every node creation.
  kEventTlsUnverified = 22,
};

// The source line each event carries.
enum EventLine : int {
  kLinePluginLoading = 993,
  kLinePoolUnavailable = 414,           // the event
  kLinePoolUnavailableException = 415,  // the configuration exception after it
  kLineBackendRefused = 420,            // the event
  kLineBackendRefusedException = 421,   // the configuration exception after it
  kLineTlsUnverified = 430,
  kLineScriptRejected = 660,
  kLineScriptFailed = 848,         // no failing operand to name
  kLineScriptFailedOperand = 852,  // with the failing operand as insert
  kLinePropagationFailed = 884,
  kLineAttachQueryFailed = 900,
  kLineTerminalMissing = 908,
  kLineUnsupportedCharacter = 1127,
  kLineAssignmentToInput = 1203,
  kLinePoolCreated = 1309,
  kLineSnapshotSaved = 2020,
  kLineSnapshotLoaded = 2092,
  kLineJournalRefused = 2140,
  kLinePersistSaveFailed = 2160,
  kLinePersistFileRefused = 2170,
  kLinePersistSettingDiffers = 2180,
};

}  // namespace kvpool
#endif

#endif
