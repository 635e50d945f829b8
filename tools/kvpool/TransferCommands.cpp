// export and import: the pool's records as one JSON object of keys to
// values, in pool order, every byte kept (tools/kvpool/ByteText.h).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "tools/kvpool/ByteText.h"
#include "tools/kvpool/Commands.h"
#include "tools/kvpool/PoolChange.h"
#include "tools/kvpool/PoolImage.h"
#include "tools/kvpool/Report.h"

namespace kvpooltool {
namespace {

using kvpool::PoolIds;

// No export of the largest pool comes near this (each byte at most 5 JSON
// characters); more is not a kvpool export and is not read into memory.
constexpr std::size_t kLargestImportBytes = 128u << 20;

struct Pair {
  std::string key;
  std::string value;
};

std::string jsonString(const std::string& bytes) {
  return nlohmann::json(escapeBytes(bytes)).dump();
}

std::string exportText(const Walk& walk) {
  if (walk.records.empty()) return "{}\n";
  std::string text = "{\n";
  for (std::size_t i = 0; i < walk.records.size(); ++i) {
    const Record& record = walk.records[i];
    text += "  " + jsonString(record.key) + ": " + jsonString(record.value);
    text += i + 1 < walk.records.size() ? ",\n" : "\n";
  }
  return text + "}\n";
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes text to path through a new owner-only file that is synced and
// renamed over it: an export holds the pool's data, and a crash leaves the
// old file whole.
bool writeFileAtomically(const std::string& path, const std::string& text, std::string* why) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return false;
  }
  const char* step = nullptr;
  int error = 0;
  const auto failed = [&](const char* name) {
    step = name;
    error = errno;
  };
  if (!writeAll(fd, text)) {
    failed("write");
  } else if (fsync(fd) != 0) {
    failed("fsync");
  }
  if (close(fd) != 0 && step == nullptr) failed("close");
  if (step == nullptr && rename(temporary.c_str(), path.c_str()) != 0) failed("rename");
  if (step != nullptr) {
    *why = "cannot write " + path + ": " + step + " failed: " + std::strerror(error);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string sourceName(const std::string& path) {
  return path == "-" ? "standard input" : path;
}

bool readInput(const std::string& path, std::string* text, std::string* why) {
  const int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = "cannot read " + sourceName(path) + ": " + std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    if (text->size() + static_cast<std::size_t>(n) > kLargestImportBytes) {
      *why = sourceName(path) + " holds more than " + std::to_string(kLargestImportBytes) +
             " bytes, more than an export of the largest pool: refused";
      ok = false;
      break;
    }
    text->append(buffer, static_cast<std::size_t>(n));
  }
  if (fd != STDIN_FILENO) close(fd);
  return ok;
}

// Where the parser stopped, as line and column of the text (its own count
// goes wrong when the token before the error ends a line), and its reason.
std::string parseFailure(const std::string& text, const nlohmann::json::parse_error& error) {
  std::size_t offset = std::min<std::size_t>(error.byte, text.size() + 1);
  // A broken UTF-8 sequence is found at the byte after it: name its start.
  const auto byteAt = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  if (std::string_view(error.what()).find("UTF-8") != std::string_view::npos && offset >= 2 &&
      offset <= text.size() && byteAt(offset - 1) < 0x80 && byteAt(offset - 2) >= 0x80) {
    offset -= 1;
    while (offset >= 2 && (byteAt(offset - 1) & 0xC0) == 0x80 && byteAt(offset - 2) >= 0x80) {
      offset -= 1;
    }
  }
  const std::string_view before(text.data(), offset > 0 ? offset - 1 : 0);
  const std::size_t line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t lineStart = before.rfind('\n');
  const std::size_t column = lineStart == std::string_view::npos ? offset : offset - lineStart - 1;
  std::string reason = error.what();
  if (const std::size_t at = reason.find("parse error at line "); at != std::string::npos) {
    const std::size_t colon = reason.find(": ", at);
    if (colon != std::string::npos) reason = reason.substr(colon + 2);
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
         printable(reason);
}

// The pairs of the document, each checked; one line per problem in *problems.
std::vector<Pair> readPairs(const std::string& name, const std::string& text,
                            std::vector<std::string>* problems) {
  std::vector<std::string> rawKeys;
  nlohmann::ordered_json document;
  try {
    document = nlohmann::ordered_json::parse(
        text, [&](int depth, nlohmann::ordered_json::parse_event_t event, auto& parsed) {
          if (depth == 1 && event == nlohmann::ordered_json::parse_event_t::key) {
            rawKeys.push_back(parsed.template get<std::string>());
          }
          return true;
        });
  } catch (const nlohmann::json::parse_error& error) {
    problems->push_back(name + ": not valid JSON at " + parseFailure(text, error));
    return {};
  }
  if (!document.is_object()) {
    problems->push_back(name + ": the document is " + std::string(document.type_name()) +
                        ", not an object of keys to values");
    return {};
  }
  std::set<std::string> seen;
  for (const std::string& raw : rawKeys) {
    if (!seen.insert(raw).second) {
      problems->push_back(name + ": key \"" + printable(raw) + "\" appears more than once");
    }
  }
  std::vector<Pair> pairs;
  std::map<std::string, std::string> decodedFrom;
  for (const auto& [rawKey, rawValue] : document.items()) {
    const std::string where = name + ": key \"" + printable(rawKey) + "\"";
    Pair pair;
    std::string why;
    if (!unescapeBytes(rawKey, &pair.key, &why)) {
      problems->push_back(where + ": " + why);
      continue;
    }
    if (!rawValue.is_string()) {
      problems->push_back(where + ": the value is " + std::string(rawValue.type_name()) +
                          ", not a string");
      continue;
    }
    if (!unescapeBytes(rawValue.get_ref<const std::string&>(), &pair.value, &why)) {
      problems->push_back(where + ": the value: " + why);
      continue;
    }
    if (pair.key.empty() || pair.key.size() > kMaxKeyBytes) {
      problems->push_back(where + ": a key has 1 to 255 bytes; this one has " +
                          std::to_string(pair.key.size()));
    }
    if (pair.key.find('\0') != std::string::npos) {
      problems->push_back(where + ": the key holds a NUL byte, which no key can");
    }
    if (pair.value.find('\0') != std::string::npos) {
      problems->push_back(where + ": the value holds a NUL byte, which no value can");
    }
    auto [first, inserted] = decodedFrom.emplace(pair.key, rawKey);
    if (!inserted) {
      problems->push_back(where + ": the same key as \"" + printable(first->second) +
                          "\" once its escapes are read");
    }
    pairs.push_back(std::move(pair));
  }
  return pairs;
}

}  // namespace

int runExport(const std::string& outputPath, double waitSeconds) {
  const PoolIds ids = kvpool::findPoolIds();
  if (!ids.exists()) return noPool();
  std::string why;
  kvpool::PoolSegmentStatus status;
  auto image = readSegment(ids, waitSeconds, &status, &why);
  if (!image) return fail(why);
  if (!image->locked) warn("the pool has no semaphore set (key 88888): read without its lock");
  const Walk walk = walkPool(*image);
  // An export is for carrying the pool elsewhere: one that silently lacks
  // records would be worse than none.
  if (!walk.sound()) {
    return fail("the record chain is damaged (" + walk.damage.front() +
                "): nothing exported; kvpool list --json shows what can be read");
  }
  const std::string text = exportText(walk);
  if (outputPath == "-") {
    std::cout << text << std::flush;
    if (!std::cout) return fail("cannot write to standard output");
    return kExitDone;
  }
  if (!writeFileAtomically(outputPath, text, &why)) return fail(why);
  std::cout << "exported " << counted(walk.records.size(), "record", "records") << " to "
            << outputPath << "\n";
  return kExitDone;
}

int runImport(const std::string& inputPath, bool replace, double waitSeconds) {
  const std::string name = sourceName(inputPath);
  std::string text, why;
  if (!readInput(inputPath, &text, &why)) return fail(why + "; nothing imported");
  std::vector<std::string> problems;
  const std::vector<Pair> pairs = readPairs(name, text, &problems);
  if (!problems.empty()) {
    for (const std::string& problem : problems) fail(problem);
    return fail(name + ": nothing imported");
  }

  const PoolIds ids = kvpool::findPoolIds();
  if (int refused = prepareChange(ids, "import", waitSeconds); refused != kExitDone) {
    return refused;
  }
  kvpool::OpenedPool pool;
  if (!openForChange(ids, &pool, &why)) return fail(why);
  kvpool::PoolSegmentStatus status;
  auto image = readSegment(ids, waitSeconds, &status, &why);
  if (!image) return fail(why + "; nothing imported");
  const Walk walk = walkPool(*image);
  if (!replace && !walk.sound()) {
    return fail("the record chain is damaged (" + walk.damage.front() +
                "): nothing imported; kvpool verify lists every inconsistency, and import "
                "--replace clears the pool first");
  }

  // The pool's size after each store, as the store itself counts it: a
  // replaced record leaves, the new one goes to the end. The largest of these
  // must fit, or some store on the way would fail with 8.
  std::map<std::string, long long> sizes;
  long long used = kvpool::kPoolHeaderBytes;
  if (!replace) {
    used = std::max(walk.header.usedSize, kvpool::kPoolHeaderBytes);
    for (const Record& record : walk.records) {
      sizes[record.key] = recordBytes(record.key.size(), record.value.size());
    }
  }
  long long largest = used;
  for (const Pair& pair : pairs) {
    const long long bytes = recordBytes(pair.key.size(), pair.value.size());
    long long& old = sizes[pair.key];
    used += bytes - old;
    old = bytes;
    largest = std::max(largest, used);
  }
  const long long capacity = pool.view().capacity;
  if (largest > capacity) {
    return fail(name + ": the pool would need " + std::to_string(largest) + " bytes but holds " +
                std::to_string(capacity) + ": " + std::to_string(largest - capacity) +
                " bytes missing; nothing imported");
  }

  // Other processes may store between this check and the stores below; a
  // store that then finds the pool full stops the import and says how far
  // it got.
  if (replace && kvpool::clearPool(pool.view()) != KVPOOL_OK) {
    return fail("clearing the pool failed; nothing imported");
  }
  std::size_t stored = 0;
  for (const Pair& pair : pairs) {
    std::string key = pair.key, value = pair.value;
    PoolBlockRequest request{};
    request.key = key.data();
    request.value = value.data();
    const int result = kvpool::storePoolValue(pool.view(), &request);
    if (result != KVPOOL_OK) {
      warnIfRemovedMeanwhile(ids.segment);
      return fail(
          name + ": storing key \"" + printable(pair.key) + "\" failed with result " +
          std::to_string(result) +
          (result == KVPOOL_POOL_FULL ? " (pool full: other processes stored meanwhile)" : "") +
          "; " + std::to_string(stored) + " of " + std::to_string(pairs.size()) +
          " records were imported");
    }
    ++stored;
  }
  warnIfRemovedMeanwhile(ids.segment);
  std::cout << "imported " << counted(stored, "record", "records") << " from " << name
            << (replace ? " into the cleared pool" : "") << "\n";
  return kExitDone;
}

}  // namespace kvpooltool
