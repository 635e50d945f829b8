// Where kvpool writes a file an operator names (export -o): a new or
// regular file is replaced whole, through a new owner-only file that is
// synced and renamed over it; a character device or a FIFO is written into;
// a link and anything else are refused. Nothing but the target's contents
// ever changes: a device node is never replaced by a file.
#ifndef KVPOOL_TOOLS_KVPOOL_OUTPUTFILE_H
#define KVPOOL_TOOLS_KVPOOL_OUTPUTFILE_H

#include <string>

namespace kvpooltool {

// Writes text to path. False with one line in *why: a link, a file of more
// than one link, a directory or another kind of file (refused), a FIFO that
// no process reads, or the step that failed and the system's reason.
bool writeOutputFile(const std::string& path, const std::string& text, std::string* why);

}  // namespace kvpooltool

#endif
