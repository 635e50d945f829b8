// The trace log "/tmp/KvPool.log": appended, each write in the file when the
// call returns. Each write starts with "[label]" when a label is set. Neither
// function ever reports a failure; a write that cannot be made is dropped, as
// are the lines while the path names anything but a regular file of one link
// that the process's user owns.
// Settings, read once per process: KVPOOL_TRACE=off writes no file;
// KVPOOL_TRACE_LIMIT (MiB, default 64) bounds the file, which then becomes
// /tmp/KvPool.log.1 and starts again.
#ifndef KVPOOL_SUPPORT_TRACE_H
#define KVPOOL_SUPPORT_TRACE_H

#include "host/BrokerApi.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

// The process-wide label prefix (UTF-8), null while unset. Written only by
// setAttribute; a replaced label is never freed so concurrent writers stay safe.
KVPOOL_EXPORT extern char* constLabel;

// printf-style, plus "%S" for a zero-terminated CciChar text (written as UTF-8).
KVPOOL_EXPORT void Log(const char* format, ...);
// Writes the prefix, the text converted to UTF-8, and "\n"; "%" is literal.
KVPOOL_EXPORT void ucsLog(const char* prefix, const CciChar* text);

#ifdef __cplusplus
}
#endif

#endif
