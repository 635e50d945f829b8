// The trace log. Each line is one write(2) of the label and the text, made
// before the call returns: lines of threads and processes never split or mix,
// and no stdio lock or buffer stands between.
#include "support/Trace.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "support/KvPoolUtil.h"
#include "support/MallocPtr.h"

extern "C" {
char* constLabel = nullptr;
}

std::atomic<int> kvpool::traceState{-1};

namespace {

constexpr const char* kTracePath = "/tmp/KvPool.log";
constexpr const char* kRotatedPath = "/tmp/KvPool.log.1";
// A process looks whether the file passed its limit or was rotated after
// this many lines or bytes of its own.
constexpr unsigned kCheckEveryLines = 64;
constexpr uint64_t kCheckEveryBytes = 32 * 1024;

struct TraceSettings {
  bool enabled = true;
  uint64_t limitBytes = uint64_t{64} << 20;  // KVPOOL_TRACE_LIMIT's default
  // The file holds every value stored: the pool's mode (KVPOOL_MODE), 0600
  // by default (kvpool::poolFileMode).
  mode_t fileMode = 0600;
};

const TraceSettings& settings() {
  static const TraceSettings value = [] {
    TraceSettings read;
    const char* trace = std::getenv("KVPOOL_TRACE");
    if (trace != nullptr && std::strcmp(trace, "off") == 0) read.enabled = false;
    if (const char* limit = std::getenv("KVPOOL_TRACE_LIMIT")) {
      char* end = nullptr;
      const long mib = std::strtol(limit, &end, 10);
      if (end != limit && *end == '\0' && mib > 0 && mib <= (1L << 20)) {
        read.limitBytes = static_cast<uint64_t>(mib) << 20;
      }
    }
    int poolMode = 0;
    const char* mode = std::getenv("KVPOOL_MODE");
    if (mode != nullptr && kvpool::parsePoolMode(mode, &poolMode) == nullptr) {
      read.fileMode = static_cast<mode_t>(kvpool::poolFileMode(poolMode));
    }
    kvpool::traceState.store(read.enabled ? 1 : 0, std::memory_order_relaxed);
    return read;
  }();
  return value;
}

// Its number never changes once set: a rotation dup2s the new file onto it, so
// a thread writing meanwhile never hits a closed or reused descriptor.
std::atomic<int> traceFd{-1};
std::mutex openMutex;
// Lines and bytes this process wrote since it last looked at the file.
std::atomic<unsigned> linesSinceCheck{0};
std::atomic<uint64_t> bytesSinceCheck{0};

// /tmp is world-writable, so whatever another user planted at the fixed path
// is left alone: no link is followed, a FIFO does not block, and only a
// regular file of one link owned by this process's user is used; else -1. A
// new file gets the trace's mode whatever the umask; one that grants more is
// narrowed to it.
int openTraceFile() {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  const mode_t wanted = settings().fileMode;
  bool made = false;
  int fd = ::open(kTracePath, kFlags);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(kTracePath, kFlags | O_CREAT | O_EXCL, wanted);
    made = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(kTracePath, kFlags);
  }
  if (fd < 0) return -1;
  struct stat status {};
  const int flags = ::fcntl(fd, F_GETFL);
  bool usable = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1 &&
                status.st_uid == ::geteuid() && flags != -1 &&
                ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
  const mode_t granted = status.st_mode & 0777;
  if (usable && (made || (granted & ~wanted) != 0)) {
    usable = ::fchmod(fd, made ? wanted : granted & wanted) == 0;
  }
  if (usable) return fd;
  ::close(fd);
  return -1;
}

// Opened once per process; a failed open is retried by the next write.
int traceDescriptor() {
  int fd = traceFd.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  std::lock_guard<std::mutex> lock(openMutex);
  fd = traceFd.load(std::memory_order_relaxed);
  if (fd >= 0) return fd;
  fd = openTraceFile();
  if (fd >= 0) traceFd.store(fd, std::memory_order_release);
  return fd;
}

bool namesFile(const struct stat& file) {
  struct stat named {};
  return ::lstat(kTracePath, &named) == 0 && named.st_ino == file.st_ino &&
         named.st_dev == file.st_dev;
}

// A full file that cannot be renamed (another user's entry at the rotated
// name in sticky /tmp, say) starts again from nothing, with a line that says
// why; false when even that fails.
bool restartTraceFile(int fd) {
  const int error = errno;
  if (::ftruncate(fd, 0) != 0) return false;
  char reason[96];
  std::string line = std::string("  trace: ") + kTracePath + " could not be renamed to " +
                     kRotatedPath + " (" + strerror_r(error, reason, sizeof reason) +
                     "): the lines before this one are dropped\n";
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
  return true;
}

// Follows another process's rotation, and rotates a file past the limit:
// under a tried exclusive lock of the full file and only while the path still
// names it, so of several processes exactly one renames it (one that finds the
// lock held tries at its next look). While the path names nothing this
// process may write to, its lines go to /dev/null, as they do when a full
// file can be neither renamed nor emptied: the trace never grows unbounded.
void checkTraceFile(int fd) {
  std::lock_guard<std::mutex> lock(openMutex);
  struct stat ours {};
  if (::fstat(fd, &ours) != 0) return;
  if (namesFile(ours)) {
    if (static_cast<uint64_t>(ours.st_size) <= settings().limitBytes) return;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return;
    bool stop = false;
    if (namesFile(ours) && ::rename(kTracePath, kRotatedPath) != 0) {  // never follows a link
      stop = !restartTraceFile(fd);
    }
    ::flock(fd, LOCK_UN);
    if (namesFile(ours) && !stop) return;
  }
  int fresh = namesFile(ours) ? -1 : openTraceFile();
  if (fresh < 0) fresh = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fresh < 0) return;
  ::dup2(fresh, fd);
  ::close(fresh);
}

// A line on the stack; only a longer one goes to the heap.
class LineBuffer {
 public:
  void append(const char* text, std::size_t length) {
    if (heap_.empty() && used_ + length <= sizeof stack_) {
      std::memcpy(stack_ + used_, text, length);
      used_ += length;
      return;
    }
    if (heap_.empty()) heap_.assign(stack_, used_);
    heap_.append(text, length);
  }
  void append(const char* text) { append(text, std::strlen(text)); }
  void push_back(char c) { append(&c, 1); }
  // Room for a direct write of up to n bytes, or null.
  char* room(std::size_t n) {
    return heap_.empty() && used_ + n <= sizeof stack_ ? stack_ + used_ : nullptr;
  }
  void commit(std::size_t n) { used_ += n; }
  const char* data() const { return heap_.empty() ? stack_ : heap_.data(); }
  std::size_t size() const { return heap_.empty() ? used_ : heap_.size(); }

 private:
  char stack_[4096];
  std::size_t used_ = 0;
  std::string heap_;
};

// Writes the line in one write, then looks at the file now and then.
void emitLine(const LineBuffer& line) {
  const int fd = traceDescriptor();
  if (fd < 0) return;
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  const unsigned lines = linesSinceCheck.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t bytes =
      bytesSinceCheck.fetch_add(line.size(), std::memory_order_relaxed) + line.size();
  if (lines >= kCheckEveryLines || bytes >= kCheckEveryBytes) {
    linesSinceCheck.store(0, std::memory_order_relaxed);
    bytesSinceCheck.store(0, std::memory_order_relaxed);
    checkTraceFile(fd);
  }
}

void appendLabel(LineBuffer& line) {
  const char* label = constLabel;
  if (label == nullptr) return;
  line.push_back('[');
  line.append(label);
  line.push_back(']');
}

void appendFormatted(LineBuffer& out, const char* directive, ...) {
  va_list args;
  va_start(args, directive);
  char small[256];
  va_list copy;
  va_copy(copy, args);
  char* direct = out.room(sizeof small);
  char* target = direct != nullptr ? direct : small;
  const int length = std::vsnprintf(target, sizeof small, directive, copy);
  va_end(copy);
  const auto bytes = static_cast<std::size_t>(length);
  if (length >= 0 && bytes < sizeof small) {
    direct != nullptr ? out.commit(bytes) : out.append(small, bytes);
  } else if (length > 0) {
    std::string big(bytes + 1, '\0');
    std::vsnprintf(big.data(), big.size(), directive, args);
    out.append(big.data(), bytes);
  }
  va_end(args);
}

// A number in decimal, as %d and %u write it.
void appendDecimal(LineBuffer& out, unsigned long long magnitude, bool negative = false) {
  char digits[24];
  char* start = digits + sizeof digits;
  do {
    *--start = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) *--start = '-';
  out.append(start, static_cast<std::size_t>(digits + sizeof digits - start));
}

// A UTF-16 text that is all ASCII, appended as it is (its UTF-8 is the same
// bytes); false, appending nothing, for any other text.
bool appendAscii(LineBuffer& out, const CciChar* text) {
  std::size_t length = 0;
  for (; text[length] != 0; ++length) {
    if (text[length] >= 0x80) return false;
  }
  char bytes[256];
  for (std::size_t start = 0; start < length; start += sizeof bytes) {
    const std::size_t count = length - start < sizeof bytes ? length - start : sizeof bytes;
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(text[start + i]);
    out.append(bytes, count);
  }
  return true;
}

// One printf directive: where it stands, its '*' arguments, its length
// modifiers and its conversion.
struct Directive {
  const char* start = nullptr;  // the '%'
  const char* end = nullptr;    // past the conversion
  int starArgs[2] = {0, 0};
  int stars = 0;
  bool plain = false;  // no flag, width or precision
  int longs = 0;
  int shorts = 0;
  bool sizeT = false;
  char conversion = '\0';
};

// Reads the directive at the '%' at start, taking its '*' arguments. False
// when the format ends before a conversion.
bool readDirective(const char* start, va_list* args, Directive* d) {
  d->start = start;
  const char* p = start + 1;
  const char* afterPercent = p;
  while (*p != '\0' && std::string_view("-+ #0").find(*p) != std::string_view::npos) ++p;
  const auto widthOrPrecision = [&] {
    if (*p == '*') {
      d->starArgs[d->stars++] = va_arg(*args, int);
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') ++p;
    }
  };
  widthOrPrecision();
  if (*p == '.') {
    ++p;
    widthOrPrecision();
  }
  d->plain = p == afterPercent;
  while (*p == 'h' || *p == 'l' || *p == 'z' || *p == 'j' || *p == 't') {
    if (*p == 'l') ++d->longs;
    if (*p == 'h') ++d->shorts;
    if (*p == 'z' || *p == 'j' || *p == 't') d->sizeT = true;
    ++p;
  }
  d->conversion = *p;
  if (d->conversion == '\0') return false;
  d->end = p + 1;
  return true;
}

// Takes the integer argument of the type d's length modifier asks for, and
// hands it to use.
template <typename Int, typename Long, typename LongLong, typename Use>
void useInteger(const Directive& d, va_list* args, Use use) {
  if (d.sizeT || d.longs >= 2) {
    use(va_arg(*args, LongLong));
  } else if (d.longs == 1) {
    use(va_arg(*args, Long));
  } else {
    use(va_arg(*args, Int));
  }
}

// The directives nearly every line uses, written here at a fraction of the C
// library's cost. False when d is not one of them.
bool appendPlain(LineBuffer& out, const Directive& d, va_list* args) {
  if (!d.plain || d.shorts != 0) return false;
  if (d.conversion == 's' && d.longs == 0 && !d.sizeT) {
    const char* text = va_arg(*args, const char*);
    out.append(text != nullptr ? text : "(null)");
    return true;
  }
  if (d.conversion == 'd' || d.conversion == 'i') {
    useInteger<int, long, long long>(d, args, [&](long long value) {
      // The magnitude of the most negative value is taken in unsigned arithmetic.
      const auto magnitude = static_cast<unsigned long long>(value);
      appendDecimal(out, value < 0 ? 0 - magnitude : magnitude, value < 0);
    });
    return true;
  }
  if (d.conversion == 'u') {
    useInteger<unsigned, unsigned long, unsigned long long>(
        d, args, [&](unsigned long long value) { appendDecimal(out, value); });
    return true;
  }
  return false;
}

void appendUnits(LineBuffer& out, const CciChar* text) {
  if (text == nullptr) {
    out.append("(null)");
  } else if (!appendAscii(out, text)) {
    kvpool::MallocPtr<char> converted(mbString(text, CCI_CODEPAGE_UTF8));
    if (converted) out.append(converted.get());
  }
}

// Any other directive, handed to the C library on its own with the argument
// type its length modifier and conversion ask for; "%S" takes a CciChar text.
void appendThroughLibrary(LineBuffer& out, const Directive& d, va_list* args) {
  const auto length = static_cast<std::size_t>(d.end - d.start);
  char directive[32];
  if (length >= sizeof directive) {  // no printf directive is this long
    out.append(d.start, length);
    return;
  }
  std::memcpy(directive, d.start, length);
  directive[length] = '\0';
  auto emit = [&](auto value) {
    if (d.stars == 0) appendFormatted(out, directive, value);
    if (d.stars == 1) appendFormatted(out, directive, d.starArgs[0], value);
    if (d.stars == 2) appendFormatted(out, directive, d.starArgs[0], d.starArgs[1], value);
  };
  const char c = d.conversion;
  if (c == 'S') {
    appendUnits(out, va_arg(*args, const CciChar*));
  } else if (c == 'd' || c == 'i') {
    useInteger<int, long, long long>(d, args, emit);
  } else if (std::strchr("uxXo", c) != nullptr) {
    useInteger<unsigned, unsigned long, unsigned long long>(d, args, emit);
  } else if (c == 'c') {
    emit(va_arg(*args, int));
  } else if (c == 's') {
    const char* text = va_arg(*args, const char*);
    emit(text != nullptr ? text : "(null)");
  } else if (c == 'p') {
    emit(va_arg(*args, void*));
  } else if (std::strchr("eEfFgG", c) != nullptr) {
    emit(va_arg(*args, double));
  } else {  // unknown conversion: written as it stands, no argument taken
    out.append(directive);
  }
}

// Expands a printf format with one extension: "%S" takes a CciChar text and
// writes it as UTF-8. Plain %s, %d, %i and %u are written here; every other
// conversion is handed to the C library on its own (appendThroughLibrary).
void expand(LineBuffer& out, const char* format, va_list* args) {
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      const char* start = p;
      while (*p != '\0' && *p != '%') ++p;
      out.append(start, static_cast<size_t>(p - start));
      continue;
    }
    if (p[1] == '%') {
      out.push_back('%');
      p += 2;
      continue;
    }
    Directive directive;
    if (!readDirective(p, args, &directive)) {  // a lone '%' at the end: written as it stands
      out.append(p);
      break;
    }
    p = directive.end;
    if (!appendPlain(out, directive, args)) appendThroughLibrary(out, directive, args);
  }
}

}  // namespace

extern "C" {

// The name in parentheses: the header's macro of the same name is not applied.
// A line that cannot be made (no memory for a long one) is dropped.
void(Log)(const char* format, ...) {
  if (!settings().enabled) return;
  va_list args;
  va_start(args, format);
  kvpool::guardEntry(
      [&] {
        LineBuffer line;
        appendLabel(line);
        expand(line, format, &args);
        emitLine(line);
      },
      [](const char*) {});
  va_end(args);
}

void ucsLog(const char* prefix, const CciChar* text) {
  if (!settings().enabled) return;
  kvpool::guardEntry(
      [&] {
        LineBuffer line;
        appendLabel(line);
        line.append(prefix);
        appendUnits(line, text);
        line.push_back('\n');
        emitLine(line);
      },
      [](const char*) {});
}

}  // extern "C"
