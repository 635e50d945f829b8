#include "tools/common/BackendOption.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "pool/PoolBackend.h"
#include "support/FileIo.h"
#include "tools/common/Text.h"

namespace kvtools {
namespace {

constexpr std::string_view kOption = "--backend";
constexpr std::size_t kLongestFileBytes = 4096;

// Overwrites the secret of the URL text in place; true when there was one.
bool scrub(char* url) {
  const kvpool::BackendUrlSecret secret = kvpool::findBackendUrlSecret(url);
  if (secret.length == 0) return false;
  std::memset(url + secret.offset, '*', secret.length);
  return true;
}

bool scrubBackendArguments(int argc, char** argv) {
  bool scrubbed = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == kOption && i + 1 < argc) {
      scrubbed = scrub(argv[++i]) || scrubbed;
    } else if (argument.starts_with(kOption) && argument.size() > kOption.size() &&
               argument[kOption.size()] == '=') {
      scrubbed = scrub(argv[i] + kOption.size() + 1) || scrubbed;
    }
  }
  return scrubbed;
}

bool readBackendFile(const std::string& path, std::string* url, std::string* why,
                     std::string* warning) {
  std::string text;
  const std::string shown = shownText(path, ShownAs::kData);
  if (!kvpool::readRegularFile(path, kLongestFileBytes, &text, why)) {
    *why = "--backend-file " + shown + ": " + *why;
    return false;
  }
  const std::size_t lineEnd = std::min(text.find('\n'), text.size());
  const std::string_view line = std::string_view(text).substr(0, lineEnd);
  const std::size_t first = line.find_first_not_of(" \t\r");
  const std::size_t last = line.find_last_not_of(" \t\r");
  *url = first == std::string_view::npos ? "" : std::string(line.substr(first, last - first + 1));
  if (url->empty()) {
    *why = "--backend-file " + shown + ": its first line names no backend";
    return false;
  }
  struct stat status {};
  if (stat(path.c_str(), &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    *warning = "--backend-file " + shown + " may be read by users other than its owner " +
               "(chmod 600 keeps its password theirs)";
  }
  return true;
}

}  // namespace

bool takeBackendArguments(int argc, char** argv, const std::string& file, std::string* url,
                          const std::function<void(const std::string&)>& warn, std::string* why) {
  if (scrubBackendArguments(argc, argv)) {
    warn(
        "the password given with --backend was in the process list, where every local user "
        "can read it, until now; give the URL in KVPOOL_BACKEND or with --backend-file");
  }
  std::string warning;
  if (file.empty()) return true;
  if (!readBackendFile(file, url, why, &warning)) return false;
  if (!warning.empty()) warn(warning);
  return true;
}

bool reachRemotePool(std::string* answer, std::string* problem) {
  answer->clear();
  kvpool::BackendConfig config;
  // Malformed settings are node creation's to report, with its event.
  std::string malformed;
  if (!kvpool::readBackendConfig(&config, &malformed) || !config.remote()) return true;
  const std::unique_ptr<KvPoolBackend, kvpool::BackendClose> table(
      kvpool::openRemoteBackend(config, problem));
  if (table == nullptr) return false;
  kvpool::CollectingSink facts;
  const KvPoolOutcome outcome = table->methods->describe(table.get(), "server", facts.sink());
  if (outcome.code != KVPOOL_OK) {
    *problem = outcome.reason;
    return false;
  }
  *answer = config.describe() + " answered";
  return true;
}

}  // namespace kvtools
