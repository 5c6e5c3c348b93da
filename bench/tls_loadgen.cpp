// TLS load client: requests with a new TLS handshake each (client
// certificate on), or one request relaying N bytes, against the daemon with
// TLS, socat's OPENSSL-LISTEN or stunnel; "plain" instead of a certificate
// directory measures without TLS. Prints key=value pairs; exits non-zero
// when a reply is not what was asked for. Loopback only, bounded loops.
//
//   tls_loadgen rate PORT COUNT SECONDS CERTDIR|plain [COMMAND]
//   tls_loadgen relay PORT BYTES CERTDIR|plain [COMMAND]
//
// CERTDIR holds ca.pem, client.pem and client.key. With a COMMAND the
// client speaks the daemon's protocol; without one the connection is the
// request.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "tls_loadgen: %s\n", what.c_str());
  ERR_print_errors_fp(stderr);
  std::exit(2);
}

SSL_CTX *ctx = nullptr;

void setup(const std::string &dir) {
  if (dir == "plain") return;
  ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(ctx, (dir + "/ca.pem").c_str(), nullptr) != 1 ||
      SSL_CTX_use_certificate_chain_file(ctx, (dir + "/client.pem").c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, (dir + "/client.key").c_str(), SSL_FILETYPE_PEM) != 1)
    fail("cannot load the certificates in " + dir);
}

// One request; hands every byte of the reply to sink, returns their count.
template <typename Sink>
unsigned long long request(int port, const std::string &command, Sink sink) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) fail("connect");
  SSL *s = nullptr;
  if (ctx != nullptr) {
    s = SSL_new(ctx);
    SSL_set_fd(s, fd);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s), "127.0.0.1");
    if (SSL_connect(s) != 1) fail("handshake");
  }
  const std::string req = command.empty() ? "" : "cmd " + command + "\r\nend\r\n";
  std::size_t sent = 0;
  while (sent < req.size()) {
    size_t n = 0;
    bool ok = s != nullptr ? SSL_write_ex(s, req.data() + sent, req.size() - sent, &n) == 1
                           : (n = static_cast<size_t>(std::max<ssize_t>(0, write(fd, req.data() + sent, req.size() - sent)))) > 0;
    if (!ok) fail("send");
    sent += n;
  }
  static char buf[1 << 20];
  unsigned long long total = 0;
  for (;;) {
    size_t n = 0;
    if (s != nullptr) {
      if (SSL_read_ex(s, buf, sizeof buf, &n) != 1) break;  // close_notify, or the end of the stream
    } else {
      ssize_t r = read(fd, buf, sizeof buf);
      if (r <= 0) break;
      n = static_cast<size_t>(r);
    }
    sink(buf, n, total);
    total += n;
  }
  if (s != nullptr) SSL_free(s);
  close(fd);
  ERR_clear_error();
  return total;
}

int mode_rate(int port, long count, double seconds, const std::string &command) {
  std::vector<double> us;
  const auto start = clock_type::now();
  std::string reply;
  while (static_cast<long>(us.size()) < count &&
         std::chrono::duration<double>(clock_type::now() - start).count() < seconds) {
    const auto t0 = clock_type::now();
    reply.clear();
    request(port, command, [&](const char *d, size_t n, unsigned long long) { reply.append(d, n); });
    // bin/true writes nothing: the daemon accepts the command, then says so.
    if (command.empty() ? !reply.empty() : reply.rfind("101 Cmd accepted", 0) != 0) fail("unexpected reply: " + reply.substr(0, 80));
    us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - t0).count());
  }
  const double took = std::chrono::duration<double>(clock_type::now() - start).count();
  std::sort(us.begin(), us.end());
  std::printf("requests=%zu rate=%.0f p50_us=%.0f p99_us=%.0f\n", us.size(), us.size() / took, us[us.size() / 2],
              us[us.size() * 99 / 100]);
  return 0;
}

// The body, after the daemon's reply lines and empty line when a command
// was sent, must be the emitter's pattern, all of it.
int mode_relay(int port, unsigned long long bytes, const std::string &command) {
  std::string head;
  bool in_body = command.empty();
  unsigned long long body = 0;
  const auto start = clock_type::now();
  request(port, command, [&](const char *d, size_t n, unsigned long long) {
    size_t i = 0;
    while (!in_body && i < n) {
      head += d[i++];
      in_body = head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0;
      if (head.size() > 4096) fail("no reply header");
    }
    for (; i < n; ++i, ++body)
      if (d[i] != static_cast<char>('a' + body % 26)) fail("wrong byte at " + std::to_string(body));
  });
  const double took = std::chrono::duration<double>(clock_type::now() - start).count();
  if (body != bytes) fail("relayed " + std::to_string(body) + " of " + std::to_string(bytes) + " bytes");
  std::printf("bytes=%llu mibps=%.0f\n", body, body / took / (1024.0 * 1024.0));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "rate" && (argc == 6 || argc == 7)) {
    setup(argv[5]);
    return mode_rate(std::atoi(argv[2]), std::atol(argv[3]), std::atof(argv[4]), argc == 7 ? argv[6] : "");
  }
  if (mode == "relay" && (argc == 5 || argc == 6)) {
    setup(argv[4]);
    return mode_relay(std::atoi(argv[2]), std::strtoull(argv[3], nullptr, 10), argc == 6 ? argv[5] : "");
  }
  std::fprintf(stderr, "usage: tls_loadgen rate PORT COUNT SECONDS CERTDIR|plain [COMMAND]\n"
                       "       tls_loadgen relay PORT BYTES CERTDIR|plain [COMMAND]\n");
  return 2;
}
