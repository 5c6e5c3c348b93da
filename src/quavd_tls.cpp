// quavd TLS: the server's certificate, key and client CAs, the handshake
// of each connection, the certificate's name, and the connection's reads
// and writes, through TLS when it is on and straight to the socket when not.
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quavd.h"
#include "quavd_internal.h"
#include "util.h"

char *tls_cert_file = nullptr;
char *tls_key_file = nullptr;
char *tls_ca_file = nullptr;

namespace {

// A handshake without -t has this long.
constexpr int DEFAULT_HANDSHAKE_SECONDS = 10;

SSL_CTX *server_ctx = nullptr;
// The connection being served: one at a time in each process.
SSL *conn_tls = nullptr;

// True when the key just loaded is a good key, but not the certificate's.
bool key_mismatch() {
  const int reason = ERR_GET_REASON(::ERR_peek_last_error());
  return reason == X509_R_KEY_VALUES_MISMATCH || reason == X509_R_KEY_TYPE_MISMATCH;
}

// A new context from the files, or null with why set.
SSL_CTX *make_server_ctx(char *why, std::size_t size) {
  SSL_CTX *ctx = ::SSL_CTX_new(::TLS_server_method());
  if (ctx == nullptr) {
    format_bounded(why, size, "cannot set up TLS");
    return nullptr;
  }
  ::SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Every connection is a fresh handshake: no tickets, no cache. The
  // kernel takes over the record layer where it can.
  ::SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_ENABLE_KTLS |
                                 SSL_OP_CIPHER_SERVER_PREFERENCE);
  // AES-128-GCM first: as strong as a script's dialogue needs, and the
  // cheapest per byte where the processor has AES instructions.
  ::SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
  ::SSL_CTX_set_num_tickets(ctx, 0);
  ::SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  ::SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  bool ok = false;
  if (::SSL_CTX_use_certificate_chain_file(ctx, tls_cert_file) != 1) {
    format_bounded(why, size, "cannot load certificate %s", tls_cert_file);
  } else if (::SSL_CTX_use_PrivateKey_file(ctx, tls_key_file, SSL_FILETYPE_PEM) != 1 && !key_mismatch()) {
    format_bounded(why, size, "cannot load key %s", tls_key_file);
  } else if (::SSL_CTX_check_private_key(ctx) != 1) {
    format_bounded(why, size, "key %s does not match certificate %s", tls_key_file, tls_cert_file);
  } else if (tls_ca_file == nullptr) {
    ok = true;
  } else if (STACK_OF(X509_NAME) *names = ::SSL_load_client_CA_file(tls_ca_file);
             names == nullptr || ::SSL_CTX_load_verify_locations(ctx, tls_ca_file, nullptr) != 1) {
    format_bounded(why, size, "cannot load CA certificates %s", tls_ca_file);
    if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
  } else {
    ::SSL_CTX_set_client_CA_list(ctx, names);
    ::SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    ::SSL_CTX_set_purpose(ctx, X509_PURPOSE_SSL_CLIENT);
    ok = true;
  }
  ::ERR_clear_error();
  if (ok) return ctx;
  ::SSL_CTX_free(ctx);
  return nullptr;
}

// Waits for what the session wants; false at the deadline (ms of the
// monotonic clock; -1 for none) or on an interruption with no deadline.
bool wait_for_session(int fd, int err, long long deadline) {
  for (;;) {
    int timeout = -1;
    if (deadline >= 0) {
      const long long left = deadline - monotonic_ms();
      if (left <= 0) return false;
      timeout = static_cast<int>(left);
    }
    pollfd p{fd, static_cast<short>(err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    const int r = ::poll(&p, 1, timeout);
    if (r > 0) return true;
    // An orderly stop does not wait for a handshake to finish.
    if (r == 0 || errno != EINTR || deadline < 0 || stop_requested()) return false;
  }
}

// Keeps bytes that a log line can carry; a control byte becomes '?'.
void copy_name(char *dest, std::size_t size, const unsigned char *data, int len) {
  std::size_t n = len > 0 ? static_cast<std::size_t>(len) : 0;
  if (n > size - 1) n = size - 1;
  for (std::size_t i = 0; i < n; ++i) dest[i] = data[i] < 0x20 || data[i] == 0x7f ? '?' : static_cast<char>(data[i]);
  dest[n] = '\0';
}

}  // namespace

bool tls_enabled() { return server_ctx != nullptr; }
bool tls_names_peers() { return server_ctx != nullptr && tls_ca_file != nullptr; }

void tls_load_or_exit() {
  if ((tls_cert_file == nullptr) != (tls_key_file == nullptr)) {
    std::fprintf(stderr, "quavd: --tls-cert and --tls-key go together\n");
    std::exit(1);
  }
  if (tls_ca_file != nullptr && tls_cert_file == nullptr) {
    std::fprintf(stderr, "quavd: --tls-ca needs --tls-cert and --tls-key\n");
    std::exit(1);
  }
  if (tls_cert_file == nullptr) return;
  char why[8192];
  server_ctx = make_server_ctx(why, sizeof why);
  if (server_ctx == nullptr) {
    std::fprintf(stderr, "quavd: %s\n", why);
    std::exit(1);
  }
  reloadable_settings = 1;
}

bool tls_reload(char *why, std::size_t size) {
  if (server_ctx == nullptr) return true;
  SSL_CTX *ctx = make_server_ctx(why, size);
  if (ctx == nullptr) return false;
  ::SSL_CTX_free(server_ctx);
  server_ctx = ctx;
  return true;
}

bool tls_accept(int connection) {
  conn_tls = ::SSL_new(server_ctx);
  if (conn_tls == nullptr || ::SSL_set_fd(conn_tls, connection) != 1) return false;
  // Non-blocking, so that no read or write of a record can outlast a limit.
  ::fcntl(connection, F_SETFL, ::fcntl(connection, F_GETFL) | O_NONBLOCK);
  const int seconds = idle_limit > 0 ? idle_limit : DEFAULT_HANDSHAKE_SECONDS;
  const long long deadline = monotonic_ms() + seconds * 1000LL;
  for (;;) {
    ::ERR_clear_error();
    const int r = ::SSL_accept(conn_tls);
    if (r == 1) return true;
    const int err = ::SSL_get_error(conn_tls, r);
    if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || !wait_for_session(connection, err, deadline))
      break;
  }
  ::ERR_clear_error();
  return false;
}

void tls_peer_name(char *dest, std::size_t size) {
  X509 *cert = conn_tls != nullptr ? ::SSL_get0_peer_certificate(conn_tls) : nullptr;
  if (cert == nullptr || size == 0) return;
  auto *sans = static_cast<GENERAL_NAMES *>(::X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  bool named = false;
  for (int i = 0; sans != nullptr && i < sk_GENERAL_NAME_num(sans) && !named; ++i) {
    const GENERAL_NAME *g = sk_GENERAL_NAME_value(sans, i);
    if (g->type != GEN_DNS) continue;
    copy_name(dest, size, ::ASN1_STRING_get0_data(g->d.dNSName), ::ASN1_STRING_length(g->d.dNSName));
    named = true;
  }
  GENERAL_NAMES_free(sans);
  const X509_NAME *subject = ::X509_get_subject_name(cert);
  const int at = named ? -1 : ::X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at >= 0) {
    const ASN1_STRING *cn = ::X509_NAME_ENTRY_get_data(::X509_NAME_get_entry(subject, at));
    copy_name(dest, size, ::ASN1_STRING_get0_data(cn), ::ASN1_STRING_length(cn));
  }
}

void tls_end() {
  if (conn_tls == nullptr) return;
  ::SSL_free(conn_tls);
  conn_tls = nullptr;
  ::ERR_clear_error();
}

bool tls_kernel_offload() {
  return conn_tls != nullptr && BIO_get_ktls_send(::SSL_get_wbio(conn_tls)) > 0;
}

ssize_t conn_read(int fd, void *data, std::size_t len, bool may_wait) {
  if (conn_tls == nullptr) return ::read(fd, data, len);
  for (;;) {
    ::ERR_clear_error();
    std::size_t n = 0;
    if (::SSL_read_ex(conn_tls, data, len, &n) == 1) return static_cast<ssize_t>(n);
    const int err = ::SSL_get_error(conn_tls, 0);
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) break;
    errno = EAGAIN;
    if (!may_wait || !wait_for_session(fd, err, -1)) return -1;
  }
  // A stream cut without the peer's close_notify may have been cut by
  // someone else: an error, not an end.
  errno = ECONNRESET;
  return -1;
}

ssize_t conn_send(int fd, const void *data, std::size_t len, int flags) {
  if (conn_tls == nullptr) return ::send(fd, data, len, flags);
  for (;;) {
    ::ERR_clear_error();
    std::size_t n = 0;
    if (::SSL_write_ex(conn_tls, data, len, &n) == 1) return static_cast<ssize_t>(n);
    const int err = ::SSL_get_error(conn_tls, 0);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) break;
    errno = EAGAIN;
    if ((flags & MSG_DONTWAIT) != 0 || !wait_for_session(fd, err, -1)) return -1;
  }
  errno = EPIPE;
  return -1;
}

bool conn_pending() { return conn_tls != nullptr && ::SSL_pending(conn_tls) > 0; }

void conn_close_notify() {
  if (conn_tls == nullptr) return;
  ::ERR_clear_error();
  (void)::SSL_shutdown(conn_tls);
  ::ERR_clear_error();
}
