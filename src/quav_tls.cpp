// quav's TLS: the client context, the host name check and the session's
// non-blocking handshake, reads and writes.
#include "quav_tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

namespace quav {

namespace {

SSL_CTX *client_ctx = nullptr;

// The session writes to the socket without MSG_NOSIGNAL: while it may
// write, SIGPIPE is held, and one that its write raised is taken back, so
// that a daemon that has gone is an error, as without TLS, not our end.
struct pipe_guard {
  sigset_t pipe{}, old{};
  bool was_pending = false;
  pipe_guard() {
    ::sigemptyset(&pipe);
    ::sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &old);
    sigset_t pending;
    was_pending = ::sigpending(&pending) == 0 && ::sigismember(&pending, SIGPIPE) == 1;
  }
  ~pipe_guard() {
    const timespec none{0, 0};
    const int saved = errno;
    if (!was_pending) (void)::sigtimedwait(&pipe, nullptr, &none);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
  }
};

// Records that are not TLS at all: the daemon speaks plain text, or has
// closed without a word.
bool plain_reply(unsigned long err) {
  const int reason = ERR_GET_REASON(err);
  return reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING ||
         reason == SSL_R_PACKET_LENGTH_TOO_LONG || reason == SSL_R_RECORD_LENGTH_MISMATCH;
}

}  // namespace

bool tls_setup(const char *ca, const char *cert, const char *key, std::string &why) {
  client_ctx = ::SSL_CTX_new(::TLS_client_method());
  if (client_ctx == nullptr) return why = "cannot set up TLS", false;
  ::SSL_CTX_set_min_proto_version(client_ctx, TLS1_2_VERSION);
  ::SSL_CTX_set_mode(client_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  ::SSL_CTX_set_verify(client_ctx, SSL_VERIFY_PEER, nullptr);
  if (::SSL_CTX_load_verify_locations(client_ctx, ca, nullptr) != 1) {
    why = std::string("cannot load CA certificates ") + ca;
  } else if (cert != nullptr && ::SSL_CTX_use_certificate_chain_file(client_ctx, cert) != 1) {
    why = std::string("cannot load certificate ") + cert;
  } else if (key != nullptr && ::SSL_CTX_use_PrivateKey_file(client_ctx, key, SSL_FILETYPE_PEM) != 1) {
    why = std::string("cannot load key ") + key;
  } else if (key != nullptr && ::SSL_CTX_check_private_key(client_ctx) != 1) {
    why = std::string("key ") + key + " does not match certificate " + cert;
  } else {
    return true;
  }
  ::SSL_CTX_free(client_ctx);
  client_ctx = nullptr;
  return false;
}

bool tls_on() { return client_ctx != nullptr; }

SSL *tls_begin(int fd, const std::string &host) {
  SSL *s = ::SSL_new(client_ctx);
  if (s == nullptr) return nullptr;
  ::SSL_set_fd(s, fd);
  unsigned char addr[16];
  if (::inet_pton(AF_INET, host.c_str(), addr) == 1 || ::inet_pton(AF_INET6, host.c_str(), addr) == 1) {
    ::X509_VERIFY_PARAM_set1_ip_asc(::SSL_get0_param(s), host.c_str());
  } else {
    ::SSL_set1_host(s, host.c_str());
    ::SSL_set_tlsext_host_name(s, host.c_str());
  }
  return s;
}

int tls_handshake(SSL *s, short &events, std::string &why) {
  pipe_guard guard;
  ::ERR_clear_error();
  const int r = ::SSL_connect(s);
  if (r == 1) return 1;
  const int err = ::SSL_get_error(s, r);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    events = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
    return 0;
  }
  const long verified = ::SSL_get_verify_result(s);
  const unsigned long first = ::ERR_peek_error();
  if (verified != X509_V_OK) {
    why = std::string("certificate not verified: ") + ::X509_verify_cert_error_string(verified);
  } else if (first == 0 || plain_reply(first)) {
    why = err == SSL_ERROR_SYSCALL && errno != 0 ? std::string("TLS handshake failed: ") + std::strerror(errno)
                                                 : "not TLS: the daemon closed or answered in plain text";
  } else {
    const char *reason = ::ERR_reason_error_string(first);
    why = std::string("TLS handshake failed: ") + (reason != nullptr ? reason : "unknown error");
  }
  ::ERR_clear_error();
  return -1;
}

ssize_t tls_send(SSL *s, const char *data, std::size_t len) {
  pipe_guard guard;
  ::ERR_clear_error();
  std::size_t n = 0;
  if (::SSL_write_ex(s, data, len, &n) == 1) return static_cast<ssize_t>(n);
  const int err = ::SSL_get_error(s, 0);
  errno = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
  return -1;
}

ssize_t tls_recv(SSL *s, char *data, std::size_t len, std::string &why) {
  pipe_guard guard;
  ::ERR_clear_error();
  std::size_t n = 0;
  if (::SSL_read_ex(s, data, len, &n) == 1) return static_cast<ssize_t>(n);
  const int err = ::SSL_get_error(s, 0);
  if (err == SSL_ERROR_ZERO_RETURN) return 0;
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    errno = EAGAIN;
    return -1;
  }
  // The daemon's alert, such as its refusal of our certificate.
  // A close without close_notify is a lost connection, as without TLS.
  const unsigned long first = ::ERR_peek_error();
  const bool alert = err == SSL_ERROR_SSL && ERR_GET_REASON(first) != SSL_R_UNEXPECTED_EOF_WHILE_READING;
  const char *reason = alert ? ::ERR_reason_error_string(first) : nullptr;
  why = reason != nullptr ? std::string("TLS: ") + reason : "";
  ::ERR_clear_error();
  errno = ECONNRESET;
  return -1;
}

void tls_close_notify(SSL *s) {
  pipe_guard guard;
  ::ERR_clear_error();
  (void)::SSL_shutdown(s);
  ::ERR_clear_error();
}

void tls_free(SSL *s) { ::SSL_free(s); }

}  // namespace quav
