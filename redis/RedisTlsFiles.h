// The files the TLS settings name, read into an OpenSSL context: each file
// opened once without following a link and read through that descriptor; a
// key file only when it is this user's (or root's) and no one else may read
// or write it.
#ifndef KVPOOL_REDIS_REDISTLSFILES_H
#define KVPOOL_REDIS_REDISTLSFILES_H

#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace kvpool {

// The certificates the server's is checked against: those of ca (a PEM file,
// or a folder of hashed certificate files), or the system's when ca is
// empty. False with *why naming KVPOOL_REDIS_TLS_CA, the path and the reason.
bool loadTrust(SSL_CTX* context, const std::string& ca, std::string* why);
// The client's certificate (the first of the PEM file, the rest its chain)
// and its key (PEM, without a passphrase). False with *why naming the
// setting, the path and the reason; never any of the key's bytes.
bool loadClientCertificate(SSL_CTX* context, const std::string& cert, const std::string& key,
                           std::string* why);

}  // namespace kvpool

#endif
