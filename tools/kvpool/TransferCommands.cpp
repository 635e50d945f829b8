// export and import: the pool's records as one JSON object of keys to values
// in pool order, every byte kept (tools/common/Text.h).
#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <unordered_map>

#include "support/FileIo.h"
#include "tools/kvpool/Commands.h"

namespace kvpooltool {
namespace {

using kvpool::PoolIds;
using kvtools::escapeBytes;
using kvtools::unescapeBytes;

// No export of the largest pool comes near this (each byte at most 5 JSON
// characters); more is not a kvpool export and is not read into memory.
constexpr std::size_t kLargestImportBytes = 128u << 20;

using Pair = kvpool::StorePair;  // key, value

// One member per record, in pool order, indented by two; straight into the
// object's list, as a pool's keys are unique (a lookup each would cost a pass).
std::string exportText(const Walk& walk) {
  nlohmann::ordered_json document = nlohmann::ordered_json::object();
  auto& members = static_cast<nlohmann::ordered_json::object_t::Container&>(
      document.get_ref<nlohmann::ordered_json::object_t&>());
  members.reserve(walk.records.size());
  for (const Record& record : walk.records) {
    members.emplace_back(escapeBytes(record.key), escapeBytes(record.value));
  }
  return kvtools::escapeJsonControls(document.dump(2)) + "\n";
}

std::string sourceName(const std::string& path) {
  return path == "-" ? "standard input" : path;
}

// A file is read only when it is a regular file of one name (a link is not
// followed, a FIFO does not hold the import); "-" reads standard input.
bool readInput(const std::string& path, std::string* text, std::string* why) {
  if (path != "-") {
    if (kvpool::readRegularFile(path, kLargestImportBytes, text, why)) return true;
    *why = "cannot open " + path + ": " + *why;
    return false;
  }
  char buffer[65536];
  for (ssize_t n; (n = read(STDIN_FILENO, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::string("cannot read standard input: ") + std::strerror(errno);
      return false;
    }
    if (text->size() + static_cast<std::size_t>(n) > kLargestImportBytes) {
      *why = "standard input holds more than " + std::to_string(kLargestImportBytes) +
             " bytes, more than an export of the largest pool: refused";
      return false;
    }
    text->append(buffer, static_cast<std::size_t>(n));
  }
  return true;
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
  std::string reason = what;
  if (const std::size_t at = reason.find("parse error at line "); at != std::string::npos) {
    const std::size_t colon = reason.find(": ", at);
    if (colon != std::string::npos) reason = reason.substr(colon + 2);
  }
  // The parser counts bytes from 1.
  return kvtools::lineAndColumn(text, offset > 0 ? offset - 1 : 0) + ": " + printable(reason);
}

// The top-level members of a document, each key and value with its escapes
// read and checked as a store would take them; one line per problem. Read as
// events, not as a tree, and stopped once the records alone need more than
// roomBytes: a far too large document costs only the steps that show it.
class MemberReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  MemberReader(const std::string& name, long long roomBytes, long long mostPairs,
               std::vector<std::string>* problems)
      : name_(name), roomBytes_(roomBytes), problems_(problems) {
    decodedFrom_.reserve(static_cast<std::size_t>(mostPairs));
  }

  std::vector<Pair> pairs;
  std::string documentType;                          // of the top-level value
  std::optional<std::string> error;                  // why the text is not JSON
  std::size_t errorByte = 0;                         // and where
  long long neededBytes = kvpool::kPoolHeaderBytes;  // the header and the records so far
  bool tooLarge = false;                             // neededBytes passed roomBytes: stopped

  bool null() override { return value("null"); }
  bool boolean(bool) override { return value("boolean"); }
  bool number_integer(number_integer_t) override { return value("number"); }
  bool number_unsigned(number_unsigned_t) override { return value("number"); }
  bool number_float(number_float_t, const string_t&) override { return value("number"); }
  bool binary(binary_t&) override { return value("binary"); }
  bool string(string_t& text) override {
    return member() ? skip_ || addPair(text) : value("string");
  }
  bool start_object(std::size_t) override { return value("object", 1); }
  bool start_array(std::size_t) override { return value("array", 1); }
  bool end_object() override { return value(nullptr, -1); }
  bool end_array() override { return value(nullptr, -1); }
  bool key(string_t& text) override {
    if (member()) readKey(text);
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
  bool member() const { return depth_ == 1 && documentType == "object"; }
  // A value of type (none: the end of an object or array), which opens or
  // closes a level when depthStep says so.
  bool value(const char* type, int depthStep = 0) {
    if (type != nullptr && depth_ == 0) documentType = type;
    if (type != nullptr && member() && !skip_) {
      problem(": the value is " + std::string(type) + ", not a string");
    }
    depth_ += depthStep;
    return true;
  }
  void problem(const std::string& what) {
    problems_->push_back(name_ + ": key \"" + printable(rawKey_) + "\"" + what);
  }
  // The key of the member whose value comes next; skip_ when it is refused.
  void readKey(const std::string& raw) {
    rawKey_ = raw;
    std::string why;
    skip_ = true;
    if (!unescapeBytes(raw, &key_, &why)) return problem(": " + why);
    if (why = keyLengthProblem(key_); !why.empty()) problem(": " + why);
    if (key_.find('\0') != std::string::npos) {
      problem(": the key holds a NUL byte, which no key can");
    }
    const auto [first, inserted] = decodedFrom_.try_emplace(key_, raw);
    if (!inserted && first->second == raw) return problem(" appears more than once");
    if (!inserted) {
      return problem(": the same key as \"" + printable(first->second) +
                     "\" once its escapes are read");
    }
    skip_ = false;
  }
  bool addPair(const std::string& raw) {
    Pair pair{key_, {}};
    std::string why;
    if (!unescapeBytes(raw, &pair.second, &why)) {
      problem(": the value: " + why);
      return true;
    }
    if (pair.second.find('\0') != std::string::npos) {
      problem(": the value holds a NUL byte, which no value can");
    }
    neededBytes += recordBytes(pair.first.size(), pair.second.size());
    pairs.push_back(std::move(pair));
    tooLarge = neededBytes > roomBytes_;
    return !tooLarge;
  }

  const std::string& name_;
  const long long roomBytes_;
  std::vector<std::string>* problems_;
  int depth_ = 0;
  std::string rawKey_, key_;
  bool skip_ = false;
  std::unordered_map<std::string, std::string> decodedFrom_;  // key: the raw key it came from
};

// The pairs of the document, each checked; one line per problem in *problems.
// All must fit in the most a store can find room for, as far as can be told
// before the pool is opened: the segment's size, or the largest pool's.
std::vector<Pair> readPairs(const std::string& name, const std::string& text, const PoolIds& ids,
                            std::vector<std::string>* problems) {
  kvpool::PoolSegmentStatus segment;
  const long long roomBytes = ids.exists() && kvpool::readPoolSegmentStatus(ids.segment, &segment)
                                  ? static_cast<long long>(segment.bytes)
                                  : kLargestPoolBytes;
  // A member takes at least 6 characters ("k":"",) and a record 15 bytes.
  MemberReader reader(name, roomBytes, std::min<long long>(text.size() / 6, roomBytes / 15),
                      problems);
  nlohmann::json::sax_parse(text, &reader);
  if (reader.tooLarge) {
    problems->assign(1, name + ": its first " + counted(reader.pairs.size(), "record", "records") +
                            " alone need " + std::to_string(reader.neededBytes) +
                            " bytes, more than the pool's " + std::to_string(roomBytes));
    return {};
  }
  if (reader.error) {
    problems->assign(
        1, name + ": not valid JSON at " + parseFailure(text, reader.errorByte, *reader.error));
    return {};
  }
  if (reader.documentType != "object") {
    problems->push_back(name + ": the document is " + reader.documentType +
                        ", not an object of keys to values");
    return {};
  }
  return std::move(reader.pairs);
}

// The largest the pool gets during the stores, counted as a store counts (a
// replaced record leaves, the new one goes to the end): more fails with 8.
long long largestUse(const Walk& walk, const std::vector<Pair>& pairs, bool replace) {
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
  return largest;
}

// export -o: a new or regular file of one link is replaced whole by a new
// owner-only file (an export holds the pool's data), a character device or
// FIFO written into; a link and anything else are refused (nothing but the
// target's contents ever changes). False with one line in *why.
bool writeOutputFile(const std::string& path, const std::string& text, std::string* why) {
  struct stat found {};
  const bool absent = lstat(path.c_str(), &found) != 0;
  if (absent && errno != ENOENT) {
    *why = "cannot look at " + path + ": " + std::strerror(errno);
    return false;
  }
  if (absent || (S_ISREG(found.st_mode) && found.st_nlink == 1)) {
    if (kvpool::replaceRegularFile(path, text, 0600, true, why)) return true;
    *why = "cannot write " + path + ": " + *why;
    return false;
  }
  if (S_ISLNK(found.st_mode)) {
    *why = path + " is a symbolic link: refused (an export is never written through a link " +
           "nor over one; -o - writes to standard output)";
    return false;
  }
  if (S_ISREG(found.st_mode)) {
    *why = path + " is a regular file with " + std::to_string(found.st_nlink) +
           " links: refused (replacing it would part it from its other names)";
    return false;
  }
  if (S_ISCHR(found.st_mode) || S_ISFIFO(found.st_mode)) {
    return kvpool::writeIntoFoundFile(path, found, text, why);
  }
  *why = path + " is " + kvpool::describeFileKind(found.st_mode) +
         ": refused (an export goes to a regular file, a character device or a FIFO)";
  return false;
}

}  // namespace

int runExport(const std::string& outputPath, double waitSeconds) {
  int exitStatus = kExitDone;
  auto image = readPool(false, waitSeconds, &exitStatus);
  if (!image) return exitStatus;
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
  if (std::string why; !writeOutputFile(outputPath, text, &why)) return fail(why);
  std::cout << "exported " << counted(walk.records.size(), "record", "records") << " to "
            << outputPath << "\n";
  return kExitDone;
}

int runImport(const std::string& inputPath, bool replace, double waitSeconds) {
  const std::string name = sourceName(inputPath);
  std::string text, why;
  if (!readInput(inputPath, &text, &why)) return fail(why + "; nothing imported");
  const PoolIds ids = kvpool::findPoolIds();
  std::vector<std::string> problems;
  const std::vector<Pair> pairs = readPairs(name, text, ids, &problems);
  if (!problems.empty()) {
    for (const std::string& problem : problems) fail(problem);
    return fail(name + ": nothing imported");
  }
  if (int refused = prepareChange(ids, "import", waitSeconds); refused != kExitDone) {
    return refused;
  }
  kvpool::OpenedPool pool;
  if (!openForChange(ids, &pool)) return kExitNotDone;
  kvpool::PoolSegmentStatus status;
  auto image = readSegment(ids, waitSeconds, &status, &why);
  if (!image) return fail(why + "; nothing imported");
  const Walk walk = walkPool(*image);
  if (!replace && !walk.sound()) {
    return fail("the record chain is damaged (" + walk.damage.front() +
                "): nothing imported; kvpool verify lists every inconsistency, and import "
                "--replace clears the pool first");
  }
  const long long largest = largestUse(walk, pairs, replace);
  const long long capacity = pool.view().capacity;
  if (largest > capacity) {
    return fail(name + ": the pool would need " + std::to_string(largest) + " bytes but holds " +
                std::to_string(capacity) + ": " + std::to_string(largest - capacity) +
                " bytes missing; nothing imported");
  }
  // Another process may store after this check: a store that then finds the
  // pool full stops the import, which says how far it got.
  if (replace && kvpool::clearPool(pool.view()) != KVPOOL_OK) {
    return fail("clearing the pool failed; nothing imported");
  }
  std::size_t stored = 0;
  const int result = kvpool::storePoolValues(pool.view(), pairs, &stored);
  warnIfRemovedMeanwhile(ids.segment);
  if (result != KVPOOL_OK) {
    return fail(
        name + ": storing key \"" + printable(pairs[stored].first) + "\" failed with result " +
        std::to_string(result) +
        (result == KVPOOL_POOL_FULL ? " (pool full: other processes stored meanwhile)" : "") +
        "; " + std::to_string(stored) + " of " + std::to_string(pairs.size()) +
        " records were imported");
  }
  std::cout << "imported " << counted(stored, "record", "records") << " from " << name
            << (replace ? " into the cleared pool" : "") << "\n";
  return kExitDone;
}

}  // namespace kvpooltool
