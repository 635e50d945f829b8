// How both tools take the pool's URL when it names Redis: from the
// environment (KVPOOL_BACKEND), from a file (--backend-file), or from the
// command line (--backend), where every local user can read it in the
// process list: a password given so is overwritten there at start.
#ifndef KVPOOL_TOOLS_COMMON_BACKENDOPTION_H
#define KVPOOL_TOOLS_COMMON_BACKENDOPTION_H

#include <string>

namespace kvtools {

// Overwrites with '*' the password of each --backend URL (as "--backend URL"
// or "--backend=URL") in argv, which the process list shows; true when there
// was one. Call it once the command line is parsed.
bool scrubBackendArguments(int argc, char** argv);
// The warning to give when scrubBackendArguments found a password.
std::string scrubbedBackendWarning();

// The URL in the file at path: its first line, blanks at both ends removed.
// Only a regular file of one name is read (no link followed, at most 4096
// bytes). False with *why naming the file. *warning, when not empty, says
// that users other than its owner may read it.
bool readBackendFile(const std::string& path, std::string* url, std::string* why,
                     std::string* warning);

// Reaches the pool the environment names (KVPOOL_BACKEND) as a node would,
// when it names Redis: connects, logs in and asks the server. True on shared
// memory or with settings node creation refuses (*answer empty), or when the
// server answered (*answer: "redis 127.0.0.1:6379 answered"); false with
// *problem naming the backend and why.
bool reachRemotePool(std::string* answer, std::string* problem);

}  // namespace kvtools

#endif
