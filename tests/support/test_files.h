// Small file helpers shared by the tests.
#ifndef KVPOOL_TESTS_SUPPORT_TEST_FILES_H
#define KVPOOL_TESTS_SUPPORT_TEST_FILES_H

#include <string>
#include <vector>

namespace kvtest {

// The whole file, or the empty text when it cannot be read.
std::string readFile(const std::string& path);
// The file split at "\n" (a last line without "\n" is kept).
std::vector<std::string> readLines(const std::string& path);
bool fileExists(const std::string& path);
// Replaces the file with bytes (mode 0644 less the umask when made).
void writeFile(const std::string& path, const std::string& bytes);

inline constexpr const char* kTracePath = "/tmp/KvPool.log";

}  // namespace kvtest

#endif
