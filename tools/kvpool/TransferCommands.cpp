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
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "tools/kvpool/ByteText.h"
#include "tools/kvpool/Commands.h"
#include "tools/kvpool/OutputFile.h"
#include "tools/kvpool/PoolChange.h"
#include "tools/kvpool/PoolImage.h"
#include "tools/kvpool/Report.h"

namespace kvpooltool {
namespace {

using kvpool::PoolIds;

// No export of the largest pool comes near this (each byte at most 5 JSON
// characters); more is not a kvpool export and is not read into memory.
constexpr std::size_t kLargestImportBytes = 128u << 20;

using Pair = kvpool::StorePair;  // key, value

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
std::string parseFailure(const std::string& text, std::size_t byte, const std::string& what) {
  std::size_t offset = std::min<std::size_t>(byte, text.size() + 1);
  // A broken UTF-8 sequence is found at the byte after it: name its start.
  const auto byteAt = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  if (what.find("UTF-8") != std::string::npos && offset >= 2 && offset <= text.size() &&
      byteAt(offset - 1) < 0x80 && byteAt(offset - 2) >= 0x80) {
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
  std::string reason = what;
  if (const std::size_t at = reason.find("parse error at line "); at != std::string::npos) {
    const std::size_t colon = reason.find(": ", at);
    if (colon != std::string::npos) reason = reason.substr(colon + 2);
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
         printable(reason);
}

// The top-level members of a document as the parser meets them, each key
// once with its string value; one line per problem. Read as events, not as
// a tree: a document of a million keys costs a million steps.
class MemberReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  MemberReader(const std::string& name, std::vector<std::string>* problems)
      : name_(name), problems_(problems) {}

  std::vector<Pair> members;         // raw key, raw value: escapes not yet read
  std::string documentType;          // of the top-level value
  std::optional<std::string> error;  // why the text is not JSON
  std::size_t errorByte = 0;         // and where

  bool null() override { return value("null"); }
  bool boolean(bool) override { return value("boolean"); }
  bool number_integer(number_integer_t) override { return value("number"); }
  bool number_unsigned(number_unsigned_t) override { return value("number"); }
  bool number_float(number_float_t, const string_t&) override { return value("number"); }
  bool binary(binary_t&) override { return value("binary"); }
  bool string(string_t& text) override {
    if (depth_ == 1 && documentType == "object" && !skip_) {
      members.emplace_back(std::move(key_), std::move(text));
      return true;
    }
    return value("string");
  }
  bool start_object(std::size_t) override { return open("object"); }
  bool start_array(std::size_t) override { return open("array"); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& text) override {
    if (depth_ != 1 || documentType != "object") return true;
    skip_ = !seen_.insert(text).second;
    if (skip_) problems_->push_back(where(text) + " appears more than once");
    key_ = std::move(text);
    return true;
  }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::json::exception& failure) override {
    const auto* parse = dynamic_cast<const nlohmann::json::parse_error*>(&failure);
    errorByte = parse != nullptr ? parse->byte : position;
    error = failure.what();
    return false;
  }

 private:
  std::string where(const std::string& rawKey) const {
    return name_ + ": key \"" + printable(rawKey) + "\"";
  }
  bool value(const char* type) {
    if (depth_ == 0) documentType = type;
    if (depth_ == 1 && documentType == "object" && !skip_) {
      problems_->push_back(where(key_) + ": the value is " + type + ", not a string");
    }
    return true;
  }
  bool open(const char* type) {
    value(type);
    depth_ += 1;
    return true;
  }
  bool close() {
    depth_ -= 1;
    return true;
  }

  const std::string& name_;
  std::vector<std::string>* problems_;
  std::size_t depth_ = 0;
  std::string key_;
  bool skip_ = false;  // a key met before: only its first value counts
  std::unordered_set<std::string> seen_;
};

// A member's key and value with their escapes read, checked as a store
// would take them; false with one line per problem.
bool decodeMember(const std::string& where, const Pair& raw, Pair* pair,
                  std::vector<std::string>* problems) {
  std::string why;
  if (!unescapeBytes(raw.first, &pair->first, &why)) {
    problems->push_back(where + ": " + why);
    return false;
  }
  if (!unescapeBytes(raw.second, &pair->second, &why)) {
    problems->push_back(where + ": the value: " + why);
    return false;
  }
  const std::size_t problemsBefore = problems->size();
  if (pair->first.empty() || pair->first.size() > kMaxKeyBytes) {
    problems->push_back(where + ": a key has 1 to 255 bytes; this one has " +
                        std::to_string(pair->first.size()));
  }
  if (pair->first.find('\0') != std::string::npos) {
    problems->push_back(where + ": the key holds a NUL byte, which no key can");
  }
  if (pair->second.find('\0') != std::string::npos) {
    problems->push_back(where + ": the value holds a NUL byte, which no value can");
  }
  return problems->size() == problemsBefore;
}

// The pairs of the document, each checked; one line per problem in *problems.
std::vector<Pair> readPairs(const std::string& name, const std::string& text,
                            std::vector<std::string>* problems) {
  MemberReader reader(name, problems);
  nlohmann::json::sax_parse(text, &reader);
  if (reader.error) {
    problems->clear();
    problems->push_back(name + ": not valid JSON at " +
                        parseFailure(text, reader.errorByte, *reader.error));
    return {};
  }
  if (reader.documentType != "object") {
    problems->push_back(name + ": the document is " + reader.documentType +
                        ", not an object of keys to values");
    return {};
  }
  std::vector<Pair> pairs;
  pairs.reserve(reader.members.size());
  std::unordered_map<std::string, std::string> decodedFrom;  // key: the raw key it came from
  decodedFrom.reserve(reader.members.size());
  for (const Pair& raw : reader.members) {
    const std::string where = name + ": key \"" + printable(raw.first) + "\"";
    Pair pair;
    if (!decodeMember(where, raw, &pair, problems)) continue;
    auto [first, inserted] = decodedFrom.emplace(pair.first, raw.first);
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
  if (!writeOutputFile(outputPath, text, &why)) return fail(why);
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
  std::unordered_map<std::string_view, long long> sizes;
  sizes.reserve(walk.records.size() + pairs.size());
  long long used = kvpool::kPoolHeaderBytes;
  if (!replace) {
    used = std::max(walk.header.usedSize, kvpool::kPoolHeaderBytes);
    for (const Record& record : walk.records) {
      sizes.try_emplace(record.key, recordBytes(record.key.size(), record.value.size()));
    }
  }
  long long largest = used;
  for (const auto& [key, value] : pairs) {
    const long long bytes = recordBytes(key.size(), value.size());
    long long& old = sizes[key];
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
  const int result = kvpool::storePoolValues(pool.view(), pairs, &stored);
  if (result != KVPOOL_OK) {
    warnIfRemovedMeanwhile(ids.segment);
    return fail(
        name + ": storing key \"" + printable(pairs[stored].first) + "\" failed with result " +
        std::to_string(result) +
        (result == KVPOOL_POOL_FULL ? " (pool full: other processes stored meanwhile)" : "") +
        "; " + std::to_string(stored) + " of " + std::to_string(pairs.size()) +
        " records were imported");
  }
  warnIfRemovedMeanwhile(ids.segment);
  std::cout << "imported " << counted(stored, "record", "records") << " from " << name
            << (replace ? " into the cleared pool" : "") << "\n";
  return kExitDone;
}

}  // namespace kvpooltool
