// The trace log "/tmp/KvPool.log". Always on: every write is appended and
// flushed at once, so each line is in the file when the call returns.
#include "support/Trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "support/KvPoolUtil.h"
#include "support/MallocPtr.h"

extern "C" {
char* constLabel = nullptr;
}

namespace {

constexpr const char* kTracePath = "/tmp/KvPool.log";

std::atomic<FILE*> fpTrace{nullptr};
std::mutex openMutex;

// Opens the trace file once per process. /tmp is world-writable, so a link
// planted at the fixed path is not followed. A failed open is retried by the
// next write.
FILE* traceStream() {
  FILE* stream = fpTrace.load(std::memory_order_acquire);
  if (stream != nullptr) return stream;
  std::lock_guard<std::mutex> lock(openMutex);
  stream = fpTrace.load(std::memory_order_relaxed);
  if (stream != nullptr) return stream;
  int fd = ::open(kTracePath, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  stream = ::fdopen(fd, "a");
  if (stream == nullptr) {
    ::close(fd);
    return nullptr;
  }
  fpTrace.store(stream, std::memory_order_release);
  return stream;
}

void writeLabel(FILE* stream) {
  const char* label = constLabel;
  if (label != nullptr) std::fprintf(stream, "[%s]", label);
}

void appendFormatted(std::string& out, const char* directive, ...) {
  va_list args;
  va_start(args, directive);
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(small, sizeof small, directive, copy);
  va_end(copy);
  if (length >= 0 && static_cast<size_t>(length) < sizeof small) {
    out.append(small, static_cast<size_t>(length));
  } else if (length > 0) {
    std::string big(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), directive, args);
    out.append(big.data(), static_cast<size_t>(length));
  }
  va_end(args);
}

// Expands a printf format with one extension: "%S" takes a CciChar text and
// writes it as UTF-8. Each conversion is handed to the C library on its own,
// with the argument type its length modifier and conversion ask for.
std::string expand(const char* format, va_list args) {
  std::string out;
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      const char* start = p;
      while (*p != '\0' && *p != '%') ++p;
      out.append(start, static_cast<size_t>(p - start));
      continue;
    }
    const char* directiveStart = p++;
    if (*p == '%') {
      out.push_back('%');
      ++p;
      continue;
    }
    int starArgs[2];
    int stars = 0;
    while (*p != '\0' && std::string_view("-+ #0").find(*p) != std::string_view::npos) ++p;
    if (*p == '*') {
      starArgs[stars++] = va_arg(args, int);
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') ++p;
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        starArgs[stars++] = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') ++p;
      }
    }
    int longs = 0;
    bool sizeT = false;
    while (*p == 'h' || *p == 'l' || *p == 'z' || *p == 'j' || *p == 't') {
      if (*p == 'l') ++longs;
      if (*p == 'z' || *p == 'j' || *p == 't') sizeT = true;
      ++p;
    }
    char conversion = *p;
    if (conversion == '\0') {  // a lone '%' at the end: written as it stands
      out.append(directiveStart);
      break;
    }
    ++p;
    std::string directive(directiveStart, static_cast<size_t>(p - directiveStart));
    auto emit = [&](auto value) {
      if (stars == 0) appendFormatted(out, directive.c_str(), value);
      if (stars == 1) appendFormatted(out, directive.c_str(), starArgs[0], value);
      if (stars == 2) appendFormatted(out, directive.c_str(), starArgs[0], starArgs[1], value);
    };
    switch (conversion) {
      case 'S': {
        const auto* text = va_arg(args, const CciChar*);
        if (text == nullptr) {
          out.append("(null)");
        } else {
          kvpool::MallocPtr<char> converted(mbString(text, CCI_CODEPAGE_UTF8));
          if (converted) out.append(converted.get());
        }
        break;
      }
      case 'd':
      case 'i':
        if (sizeT || longs >= 2) {
          emit(va_arg(args, long long));
        } else if (longs == 1) {
          emit(va_arg(args, long));
        } else {
          emit(va_arg(args, int));
        }
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (sizeT || longs >= 2) {
          emit(va_arg(args, unsigned long long));
        } else if (longs == 1) {
          emit(va_arg(args, unsigned long));
        } else {
          emit(va_arg(args, unsigned int));
        }
        break;
      case 'c':
        emit(va_arg(args, int));
        break;
      case 's': {
        const char* text = va_arg(args, const char*);
        emit(text != nullptr ? text : "(null)");
        break;
      }
      case 'p':
        emit(va_arg(args, void*));
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
        emit(va_arg(args, double));
        break;
      default:  // unknown conversion: written as it stands, no argument taken
        out.append(directive);
        break;
    }
  }
  return out;
}

}  // namespace

extern "C" {

void Log(const char* format, ...) {
  FILE* stream = traceStream();
  if (stream == nullptr) return;
  va_list args;
  va_start(args, format);
  std::string text = expand(format, args);
  va_end(args);
  writeLabel(stream);
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void ucsLog(const char* prefix, const CciChar* text) {
  kvpool::MallocPtr<char> converted(mbString(text, CCI_CODEPAGE_UTF8));
  FILE* stream = traceStream();
  if (stream == nullptr) return;
  writeLabel(stream);
  std::fputs(prefix, stream);
  if (converted) std::fputs(converted.get(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // extern "C"
