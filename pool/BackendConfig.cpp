// KVPOOL_BACKEND and its companions read into a BackendConfig. Compiled
// into the plug-in and, for the names it shows, into the Redis module.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "support/KvPoolUtil.h"

namespace kvpool {
namespace {

// The schemes, each with its kind, whether it speaks TLS, and the port of a
// host given without one.
constexpr struct {
  std::string_view scheme;
  BackendConfig::Kind kind;
  bool tls;
  int defaultPort;
} kSchemes[] = {
    {"redis://", BackendConfig::Kind::kRedis, false, 6379},
    {"rediss://", BackendConfig::Kind::kRedis, true, 6379},
    {"redis-sentinel://", BackendConfig::Kind::kSentinel, false, 26379},
    {"rediss-sentinel://", BackendConfig::Kind::kSentinel, true, 26379},
};
constexpr char kForms[] =
    "expected redis://[[USER]:PASSWORD@]HOST[:PORT][/DB] or "
    "redis-sentinel://[[USER]:PASSWORD@]HOST[:PORT][,HOST[:PORT]...]/MASTER[/DB], "
    "rediss:// and rediss-sentinel:// for TLS";
constexpr int kMaxDatabase = 1000000;

// Where the URL's text starts after its scheme, read loosely so that a typo
// (":/", "//", a missing scheme) still finds the user information.
std::size_t authorityStart(std::string_view url) {
  std::size_t at = 0;
  while (at < url.size() && (std::isalnum(static_cast<unsigned char>(url[at])) || url[at] == '-' ||
                             url[at] == '+' || url[at] == '.')) {
    ++at;
  }
  if (at < url.size() && url[at] == ':') ++at;
  for (int slash = 0; slash < 2 && at < url.size() && url[at] == '/'; ++slash) ++at;
  return at;
}

}  // namespace

BackendUrlSecret findBackendUrlSecret(std::string_view url) {
  const std::size_t start = authorityStart(url);
  const std::size_t at = url.rfind('@');
  if (at != std::string_view::npos && at >= start) {
    // USER:PASSWORD@ or PASSWORD@ (a password given without its colon).
    const std::size_t colon = url.substr(start, at - start).find(':');
    const std::size_t from = colon == std::string_view::npos ? start : start + colon + 1;
    return {from, at - from};
  }
  // No '@': USER:PASSWORD or :PASSWORD where a host and port should be. A
  // port that is no number may be a password: everything after its colon.
  const std::string_view rest = url.substr(start);
  const std::size_t end = std::min(rest.find('/'), rest.size());
  for (std::size_t item = 0; item < end;) {
    const std::size_t comma = std::min(rest.find(',', item), end);
    const std::string_view endpoint = rest.substr(item, comma - item);
    const std::size_t colon = endpoint.find(':');
    if (!endpoint.starts_with('[') && colon != std::string_view::npos) {
      const std::string_view port = endpoint.substr(colon + 1);
      if (port.find_first_not_of("0123456789") != std::string_view::npos) {
        const std::size_t from = start + item + colon + 1;
        return {from, url.size() - from};
      }
    }
    item = comma + 1;
  }
  return {};
}

std::string maskedBackendText(std::string_view text, std::string_view url) {
  std::string masked(text);
  const BackendUrlSecret found = findBackendUrlSecret(url);
  if (found.length == 0) return masked;
  // The whole secret, then the part a reason quotes as a port: up to a '/'
  // or ',' of the URL.
  const std::string_view whole = url.substr(found.offset, found.length);
  for (const std::string_view secret : {whole, whole.substr(0, whole.find_first_of("/,"))}) {
    if (secret.empty()) continue;
    for (std::size_t at = masked.find(secret); at != std::string::npos;
         at = masked.find(secret, at + 3)) {
      masked.replace(at, secret.size(), "***");
    }
  }
  return masked;
}

namespace {

// A decimal number within [low, high] and nothing else.
bool parseNumber(std::string_view text, long low, long high, long* value) {
  const long long number =
      text.size() > 9 ? -1 : kvpool::decimalValue(text.data(), text.size(), high);
  if (number < 0 || number < low) return false;
  *value = static_cast<long>(number);
  return true;
}

// "host[:port]" or "[v6][:port]", defaultPort without a port; false with
// the reason.
bool parseEndpoint(std::string_view text, int defaultPort, RedisEndpoint* endpoint,
                   std::string* why) {
  std::string_view host = text;
  std::string_view port;
  bool hasPort = false;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    hasPort = close != std::string_view::npos && close + 1 < text.size();
    if (close == std::string_view::npos || (hasPort && text[close + 1] != ':')) {
      *why = "\"" + std::string(text) + "\" is not [ADDRESS][:PORT]";
      return false;
    }
    host = text.substr(1, close - 1);
    if (hasPort) port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    hasPort = true;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty()) {
    *why = text.empty() ? std::string("no host") : "no host before \":" + std::string(port) + "\"";
    return false;
  }
  long number = defaultPort;
  if (hasPort && !parseNumber(port, 1, 65535, &number)) {
    *why = "port \"" + std::string(port) + "\" is not a number from 1 to 65535";
    return false;
  }
  endpoint->host = std::string(host);
  endpoint->port = static_cast<int>(number);
  return true;
}

bool parseBackendUrl(std::string_view url, BackendConfig* config, std::string* why) {
  std::string_view rest;
  int defaultPort = 0;
  for (const auto& scheme : kSchemes) {
    if (url.starts_with(scheme.scheme)) {
      config->kind = scheme.kind;
      config->tls.on = scheme.tls;
      defaultPort = scheme.defaultPort;
      rest = url.substr(scheme.scheme.size());
    }
  }
  if (defaultPort == 0) {
    *why = "unknown scheme";
    return false;
  }
  // USER:PASSWORD@ (a server with access control lists) or :PASSWORD@. The
  // password may hold '@', ':' and '/': the last '@' ends it, and the first
  // ':' ends the user name, which holds neither.
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view userInfo = rest.substr(0, at);
    const std::size_t colon = userInfo.find(':');
    if (colon == std::string_view::npos) {
      *why = "no password after the user name (USER:PASSWORD@)";
      return false;
    }
    if (colon + 1 == userInfo.size()) {
      *why = "empty password after ':'";
      return false;
    }
    config->user = std::string(userInfo.substr(0, colon));
    config->password = std::string(userInfo.substr(colon + 1));
    rest = rest.substr(at + 1);
  }
  const std::size_t slash = rest.find('/');
  const std::string_view hosts = rest.substr(0, slash);
  std::string_view path =
      slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);

  if (config->kind == BackendConfig::Kind::kSentinel) {
    for (std::size_t start = 0;;) {
      const std::size_t comma = hosts.find(',', start);
      RedisEndpoint endpoint;
      if (!parseEndpoint(hosts.substr(start, comma - start), defaultPort, &endpoint, why)) {
        return false;
      }
      config->sentinels.push_back(endpoint);
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    const std::size_t nameEnd = path.find('/');
    config->master = std::string(path.substr(0, nameEnd));
    if (config->master.empty()) {
      *why = "no MASTER name after the sentinels";
      return false;
    }
    path = nameEnd == std::string_view::npos ? std::string_view() : path.substr(nameEnd + 1);
  } else if (!parseEndpoint(hosts, defaultPort, &config->server, why)) {
    return false;
  } else if (hosts.find(',') != std::string_view::npos) {
    *why = "several hosts need redis-sentinel://";
    return false;
  }
  if (slash == std::string_view::npos || path.empty()) return true;
  long database = 0;
  if (!parseNumber(path, 0, kMaxDatabase, &database)) {
    *why = "database \"" + std::string(path) + "\" is not a number from 0 to " +
           decimalText(kMaxDatabase);
    return false;
  }
  config->database = static_cast<int>(database);
  return true;
}

}  // namespace

std::string decimalText(long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%ld", value);
  return text;
}

std::string RedisEndpoint::text() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + decimalText(port);
}

std::string BackendConfig::describe() const {
  switch (kind) {
    case Kind::kRedis:
      return (tls.on ? "rediss " : "redis ") + server.text();
    case Kind::kSentinel: {
      std::string text = (tls.on ? "rediss-sentinel " : "redis-sentinel ") + master + " via ";
      for (std::size_t i = 0; i < sentinels.size(); ++i) {
        text += (i ? "," : "") + sentinels[i].text();
      }
      return text;
    }
    default:
      return "shared memory";
  }
}

bool parseBackendConfig(const char* backend, const char* prefix, const char* timeoutMs,
                        BackendConfig* config, std::string* problem) {
  BackendConfig parsed;
  if (backend != nullptr && backend[0] != '\0') {
    std::string why;
    if (!parseBackendUrl(backend, &parsed, &why)) {
      // The reason may quote a part of the URL: the secret is masked there too.
      const BackendUrlSecret secret = findBackendUrlSecret(backend);
      std::string shown(backend);
      if (secret.length > 0) shown.replace(secret.offset, secret.length, "***");
      *problem = "KVPOOL_BACKEND \"" + shown + "\": " + maskedBackendText(why, backend) + " (" +
                 kForms + ")";
      return false;
    }
  }
  if (prefix != nullptr) {
    if (std::strlen(prefix) > kMaxRedisPrefixBytes) {
      *problem = "KVPOOL_REDIS_PREFIX is longer than " +
                 decimalText(static_cast<long>(kMaxRedisPrefixBytes)) + " bytes";
      return false;
    }
    if (std::string_view(prefix).find(kPoolKeyPrefix) != std::string_view::npos) {
      *problem =
          "KVPOOL_REDIS_PREFIX holds \"KvPool\", with which the pool's keys start: "
          "one pool's keys could then be another's";
      return false;
    }
    parsed.prefix = prefix;
  }
  if (timeoutMs != nullptr) {
    long value = 0;
    if (!parseNumber(timeoutMs, 1, kMaxRedisTimeoutMs, &value)) {
      *problem = "KVPOOL_REDIS_TIMEOUT_MS \"" + std::string(timeoutMs) +
                 "\" is not a number of milliseconds from 1 to " + decimalText(kMaxRedisTimeoutMs);
      return false;
    }
    parsed.timeoutMs = static_cast<int>(value);
  }
  *config = std::move(parsed);
  return true;
}

// Room is left for the names made beside the file: a save's temporary file
// (".<pid>.XXXXXX") and a refused file's new name (".refused-<UTC time>").
bool checkPersistPath(const char* text, std::string* problem) {
  if (text == nullptr) return true;
  const std::size_t length = std::strlen(text);
  const char* wrong = nullptr;
  if (length == 0) {
    wrong = "is empty (give an absolute path, or leave it unset)";
  } else if (text[0] != '/') {
    wrong = "is not an absolute path";
  } else if (length > kMaxPersistPathBytes) {
    wrong = "is longer than 3800 bytes";
  } else if (text[length - 1] == '/') {
    wrong = "names a folder, not a file";
  }
  if (wrong == nullptr) return true;
  *problem = std::string("KVPOOL_PERSIST \"") +
             std::string(text, std::min<std::size_t>(length, 64)) +
             (length > 64 ? "...\" " : "\" ") + wrong;
  return false;
}

bool parseTlsSettings(const TlsTexts& texts, BackendConfig* config, std::string* problem) {
  const auto given = [](const char* text) { return text != nullptr && text[0] != '\0'; };
  const struct {
    const char* name;
    const char* text;
    std::string* value;
  } paths[] = {{"KVPOOL_REDIS_TLS_CA", texts.ca, &config->tls.ca},
               {"KVPOOL_REDIS_TLS_SERVER_NAME", texts.serverName, &config->tls.serverName},
               {"KVPOOL_REDIS_TLS_CERT", texts.cert, &config->tls.cert},
               {"KVPOOL_REDIS_TLS_KEY", texts.key, &config->tls.key},
               {"KVPOOL_REDIS_TLS_VERIFY", texts.verify, nullptr}};
  // On shared memory the Redis settings are not read, as the prefix is not.
  if (!config->remote()) return true;
  for (const auto& path : paths) {
    if (!given(path.text)) continue;
    if (!config->tls.on) {
      *problem = std::string(path.name) + " is set, but KVPOOL_BACKEND names " +
                 config->describe() +
                 " without TLS: use rediss:// (or rediss-sentinel://), or unset it";
      return false;
    }
    if (path.value != nullptr) *path.value = path.text;
  }
  if (config->tls.cert.empty() != config->tls.key.empty()) {
    *problem = config->tls.cert.empty()
                   ? "KVPOOL_REDIS_TLS_KEY is set without KVPOOL_REDIS_TLS_CERT, its certificate"
                   : "KVPOOL_REDIS_TLS_CERT is set without KVPOOL_REDIS_TLS_KEY, its key";
    return false;
  }
  const std::string_view verify = given(texts.verify) ? texts.verify : "on";
  if (verify != "on" && verify != "off") {
    *problem = "KVPOOL_REDIS_TLS_VERIFY \"" + std::string(verify) + "\" is neither on nor off";
    return false;
  }
  config->tls.verify = verify == "on";
  return true;
}

bool readTlsSettings(BackendConfig* config, std::string* problem) {
  return parseTlsSettings(
      {std::getenv("KVPOOL_REDIS_TLS_CA"), std::getenv("KVPOOL_REDIS_TLS_SERVER_NAME"),
       std::getenv("KVPOOL_REDIS_TLS_CERT"), std::getenv("KVPOOL_REDIS_TLS_KEY"),
       std::getenv("KVPOOL_REDIS_TLS_VERIFY")},
      config, problem);
}

std::string unverifiedTlsWarning(const BackendConfig& config) {
  if (!config.remote() || !config.tls.on || config.tls.verify) return "";
  return "KVPOOL_REDIS_TLS_VERIFY=off: the certificate of " + config.describe() +
         " is not checked, so a machine between this one and the server can pose as it, "
         "and read and change the pool and its password";
}

bool readBackendConfig(BackendConfig* config, std::string* problem) {
  if (!parseBackendConfig(std::getenv("KVPOOL_BACKEND"), std::getenv("KVPOOL_REDIS_PREFIX"),
                          std::getenv("KVPOOL_REDIS_TIMEOUT_MS"), config, problem) ||
      !readTlsSettings(config, problem)) {
    return false;
  }
  const char* persist = std::getenv("KVPOOL_PERSIST");
  if (!checkPersistPath(persist, problem)) return false;
  if (persist != nullptr && config->remote()) {
    // Redis keeps its own snapshots (its save and appendonly settings).
    *problem =
        "KVPOOL_PERSIST is for the pool in shared memory; with KVPOOL_BACKEND naming Redis "
        "unset it and use the server's own persistence (save, appendonly)";
    return false;
  }
  config->persistPath = persist != nullptr ? persist : "";
  return true;
}

}  // namespace kvpool
