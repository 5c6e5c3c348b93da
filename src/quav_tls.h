// quav's TLS: the CA that the daemons' certificates must verify against,
// quav's own certificate, and each host's session.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace quav {

// Sets TLS up from the files (cert and key may be null); false with why.
bool tls_setup(const char *ca, const char *cert, const char *key, std::string &why);
// True once tls_setup has succeeded: every connection is then TLS.
bool tls_on();
// A session on the connected socket that checks the daemon's certificate
// against the host as given: a DNS name, or an IP address.
SSL *tls_begin(int fd, const std::string &host);
// Steps the handshake: 1 when done, 0 while it waits for the events left
// in `events`, -1 when it failed, with why.
int tls_handshake(SSL *s, short &events, std::string &why);
// As send and recv on a non-blocking socket: -1 with errno EAGAIN while
// the session waits for the socket. A TLS failure of a read leaves its
// reason in why.
ssize_t tls_send(SSL *s, const char *data, std::size_t len);
ssize_t tls_recv(SSL *s, char *data, std::size_t len, std::string &why);
// Ends our side with a close_notify, then frees the session.
void tls_close_notify(SSL *s);
void tls_free(SSL *s);

}  // namespace quav
