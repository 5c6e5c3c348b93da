// quavd: start-up (quavd.cpp), listener (quavd_listener.cpp), peer naming
// and access filter (quavd_peer.cpp), address rules (quavd_access.cpp), the
// request protocol handler (quavd_handler.cpp) and the script's process
// control (quavd_launch.cpp).
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdio>

constexpr int MAX_ENV = 50;

constexpr int STATE_COMMAND = 0;
constexpr int STATE_ENV = 1;
constexpr int STATE_INPUT = 2;
constexpr int STATE_PORT = 3;

// Server settings: fixed during start-up, only read afterwards.
extern const char *server_root;
extern int server_port;
extern char *restrict_to;
extern int localhost_only;
extern int raw_data;
extern int debug;
// Connections served at once (-c; 1: one at a time, in the listener).
constexpr int MAX_CONNECTIONS = 1024;
extern int max_connections;
// At most this many connections at once from one address (-C; 0: no limit).
extern int per_address_limit;
// Seconds a client may stay idle (-t) and a script may run (-T); 0: no limit.
extern int idle_limit;
extern int run_limit;
// MiB of a script's output the daemon holds while its input is written
// (-m); past it the script is ended.
constexpr int MAX_HELD_MIB = 65536;
extern int held_output_limit;
// The one address to listen on (-b); family 0: every IPv4 address.
extern sockaddr_storage listen_address;
// Set when -p or -b was given: a socket handed over makes them moot.
extern int listen_options_given;
// The environment entries that may pass (-E): comma-separated names, one
// ending in '*' for every name so beginning; null for all but the drop list.
extern const char *env_pass_names;
// -S: the command word status is taken, and the script's exit status
// follows its output behind the connection's marker.
extern int report_status;
// -s: each piece of the script's output is sent before the next is awaited.
extern int stream_output;
// Peer names count only when they resolve back to the peer's address (-F).
extern int forward_confirm;
// Set by start-up when an option names a file that SIGHUP re-reads; only
// then does the daemon take SIGHUP (else it keeps the default action).
extern int reloadable_settings;
// Set by SIGHUP (only when reloadable_settings is); reload_settings()
// clears it.
extern volatile sig_atomic_t reload_pending;
// The address rules file (-a), absolute, so that SIGHUP finds it from the
// server root; null without -a.
extern char *rules_file;

// Request state of the connection being served; reset after every one.
extern int quav_state;
extern char *env[MAX_ENV + 1];
extern int env_count;
extern char *cmd_line;
extern pid_t child_pid;
extern int child_in_fd;
extern int child_out_fd;
extern int in_port;

// Listener state. The listening sockets are our own one, or every one a
// service manager handed over; server_socket is the first of them.
constexpr int MAX_LISTEN_FDS = 16;
extern int listen_fds[MAX_LISTEN_FDS];
extern int listen_count;
extern int server_socket;
extern sockaddr_storage sa_server;
extern volatile sig_atomic_t server_alive;
extern int pending_death;

// Start-up. quavd_main is the daemon's main.
int quavd_main(int argc, char **argv);
[[noreturn]] void usage(const char *program_name);
void set_server_root(const char *text);
void set_server_port(const char *text);
void set_debug(const char *text);
// Reads the value of -c, -t, -T or -p: a plain decimal number from 1 to most.
// Anything else ends the process with a line naming the option and range.
int read_limit(char option, const char *text, int most);
// Reads an IPv4 dotted address or an IPv6 literal into the record (family
// and address, port 0); -1 when the text is neither.
int parse_address(const char *text, sockaddr_storage *out);
// Re-reads the files that SIGHUP re-reads. What fails to load is logged
// and the settings in force stay. Called by the listener, never from a
// signal handler.
void reload_settings();
// Waits until a client is waiting on the listening socket, re-reading the
// settings first whenever SIGHUP has come, so that a new rule holds for the
// next connection accepted. Returns at once when nothing is reloadable.
void await_connection(int listening_fd);
// -u: takes on the user's supplementary groups, group and user, and makes
// sure root cannot be had back; a failure ends the process. Nothing
// without -u.
void become_run_user();
// Tells the service manager that the daemon listens: READY=1 in a datagram
// to $NOTIFY_SOCKET (a path, or '@' for an abstract name); nothing when the
// variable is unset or unusable.
void notify_ready();
// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed.
void ensure_std_fds();
// Marks every descriptor from 3 up close-on-exec: inherited ones included.
void keep_inherited_fds_from_scripts();

// Listener.
void standalone_main();
void set_signals();
[[noreturn]] void final_death();
void graceful_death();
// Accepts a connection on one listening socket; -1 when there is none (a
// failure worth it is logged).
int accept_connection(int listen_fd, sockaddr_storage *peer);
// Names the peer, applies the filter and either refuses the connection or
// runs the dialogue on it. The caller closes the connection.
void serve_connection(int connection, const sockaddr *peer);
// A tenth of a second, whatever signals arrive.
void pause_briefly();

// The pool (-c above 1): long-lived handler processes that serve one
// connection after another, supervised by the listener, which returns only
// to end the process. The signal mask is the one scripts are to get.
void serve_pool(const sigset_t &script_mask);
// True once an orderly stop (SIGTERM with -c above 1) has reached this
// handler: its dialogue ends and a running script is ended as the run
// limit ends it.
bool stop_requested();

// Peer naming and the access filter. The peer record is an IPv4 or IPv6
// one; an IPv4-mapped IPv6 address counts as the IPv4 address it carries.
void map_sockaddr_to_name(const sockaddr *peer, char *dest, std::size_t size);
const char *find_fqdn(const hostent *entry);
int filter_source(const sockaddr *peer, const char *peer_name);
int match_suffix(const char *text, const char *suffix);
// Names the peer and applies every filter; nonzero: drop. The address
// rules come first: a peer they refuse is named by its address and costs
// no lookup.
int name_and_filter(const sockaddr *peer, char *dest, std::size_t size);
// Names the peer by its address and applies the address rules alone;
// nonzero: drop.
int name_by_address(const sockaddr *peer, char *dest, std::size_t size);

// Address rules (-a). load_rules reads a file into the rules in force; on
// failure those stay, and why names the file, the line and the fault.
bool load_rules(const char *path, char *why, std::size_t size);
// True when the rules in force admit the peer, always without -a. An
// IPv4-mapped address is judged as the IPv4 address it carries.
bool rules_admit(const sockaddr *peer);
// The resolver calls of naming, so that tests can supply the answers.
extern hostent *(*reverse_lookup)(const void *addr, socklen_t len, int type);
extern int (*forward_lookup)(const char *name, const char *service, const addrinfo *hints,
                             addrinfo **result);
extern void (*forward_free)(addrinfo *list);

// Request protocol.
int quav(int connection, const sockaddr *peer, const char *peer_name);
int add_env(const char *text);
void free_env();

// Script process control.
int start_cmd(char *command, char **envp, const char *peer_name, FILE *out);
int exec_cmd(char *command, char **envp, const char *peer_name);
void send_to_proc(const char *line);
int wait_for_child(const char *command, const char *peer_name);

// Script output held while input could not be written (at most this much
// in memory; the rest goes to an unlinked temporary file).
constexpr std::size_t HOLD_MEMORY_LIMIT = 1024 * 1024;

// TLS (--tls-cert, --tls-key, --tls-ca): the files, absolute; null when
// not given.
extern char *tls_cert_file;
extern char *tls_key_file;
extern char *tls_ca_file;
// Loads the files given; a missing partner, an unreadable file or a key
// that does not match ends the process with a line naming the file.
void tls_load_or_exit();
// Loads them again (SIGHUP); on failure the pair in force stays and why
// names the file.
bool tls_reload(char *why, std::size_t size);
// True when connections are TLS; and when, besides, a verified client
// certificate names the peer.
bool tls_enabled();
bool tls_names_peers();
// The connection's handshake, bounded by -t or else 10 seconds; false when
// it failed. tls_end forgets the session, whatever became of it.
bool tls_accept(int connection);
void tls_end();
// The client certificate's first DNS name, else its common name, cut to
// fit; dest is left as it is when there is neither.
void tls_peer_name(char *dest, std::size_t size);
// True when the kernel encrypts what the session sends.
bool tls_kernel_offload();
// The connection's reads and writes: through the session when there is
// one, else the socket's own. With TLS, a read that would block waits only
// when may_wait; a send with MSG_DONTWAIT never waits. conn_pending: bytes
// the session holds that a poll of the socket cannot see.
ssize_t conn_read(int fd, void *data, std::size_t len, bool may_wait);
ssize_t conn_send(int fd, const void *data, std::size_t len, int flags);
bool conn_pending();
// Tells the peer that nothing more comes (TLS close_notify); nothing
// without TLS.
void conn_close_notify();
