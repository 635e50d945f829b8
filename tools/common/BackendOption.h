// How both tools take the pool's URL when it names Redis: from the
// environment (KVPOOL_BACKEND), from a file (--backend-file), or from the
// command line (--backend), where every local user can read it in the
// process list: a password given so is overwritten there at start.
#ifndef KVPOOL_TOOLS_COMMON_BACKENDOPTION_H
#define KVPOOL_TOOLS_COMMON_BACKENDOPTION_H

#include <functional>
#include <string>

namespace kvtools {

// Once the command line is parsed: overwrites with '*' the password of each
// --backend URL ("--backend URL" or "--backend=URL") in argv, which the
// process list shows, and reads the URL from file, when not empty, into
// *url: its first line, blanks at both ends removed, from a regular file of
// one name (no link followed, at most 4096 bytes). Each warning to give
// (the password was visible until now; others may read the file) goes to
// warn. False with *why naming the file when it cannot be used.
bool takeBackendArguments(int argc, char** argv, const std::string& file, std::string* url,
                          const std::function<void(const std::string&)>& warn, std::string* why);

// Reaches the pool the environment names (KVPOOL_BACKEND) as a node would,
// when it names Redis: connects, logs in and asks the server. True on shared
// memory or with settings node creation refuses (*answer empty), or when the
// server answered (*answer: "redis 127.0.0.1:6379 answered"); false with
// *problem naming the backend and why.
bool reachRemotePool(std::string* answer, std::string* problem);

}  // namespace kvtools

#endif
