// Peer naming (find_fqdn, map_sockaddr_to_name) and the access filter,
// down to one daemon that drops a peer it should not serve.
#include <arpa/inet.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "quavd.h"
#include "request_support.h"

namespace {

std::string system_domain() {
  char buf[1024];
  if (getdomainname(buf, sizeof buf) != 0) return "";
  buf[sizeof buf - 1] = '\0';
  return buf;
}

// A host entry built from texts; the alias list is absent when no_aliases.
struct host {
  std::string name;
  std::vector<std::string> aliases;
  bool no_aliases;
  std::vector<char *> alias_ptrs;
  hostent entry{};
  host(std::string n, std::vector<std::string> a, bool none = false)
      : name(std::move(n)), aliases(std::move(a)), no_aliases(none) {}
  const hostent *get() {
    entry.h_name = name.data();
    alias_ptrs.clear();
    for (auto &a : aliases) alias_ptrs.push_back(a.data());
    alias_ptrs.push_back(nullptr);
    entry.h_aliases = no_aliases ? nullptr : alias_ptrs.data();
    entry.h_addrtype = AF_INET;
    entry.h_length = 4;
    return &entry;
  }
};

TEST(FindFqdn, Rules) {
  const std::string dom = system_domain();
  struct row {
    const char *what;
    host h;
    std::string want;
  };
  std::vector<row> rows = {
      {"official name dotted", {"web.lab.test", {"web.other.test"}}, "web.lab.test"},
      {"undotted alias skipped", {"web", {"web", "web.lab.test"}}, "web.lab.test"},
      {"first qualifying alias", {"web", {"mail.lab.test", "web.a.test", "web.b.test"}}, "web.a.test"},
      {"any alias starting with the name", {"web", {"webmail.lab.test"}}, "webmail.lab.test"},
      {"no alias qualifies", {"web", {"mail.lab.test"}}, "web." + dom},
      {"case counts", {"WEB", {"web.lab.test"}}, "WEB." + dom},
      {"empty alias list", {"web", {}}, "web." + dom},
      {"no alias list", {"web", {"web.lab.test"}, true}, "web." + dom},
  };
  for (auto &r : rows) EXPECT_EQ(find_fqdn(r.h.get()), r.want) << r.what;
}

TEST(FindFqdn, LongCompositionIsCut) {
  host h{std::string(1500, 'n'), {}};
  std::string got = find_fqdn(h.get());
  EXPECT_EQ(got, std::string(1023, 'n'));
  host short_name{std::string(1020, 'n'), {}};
  EXPECT_EQ(find_fqdn(short_name.get()), (std::string(1020, 'n') + "." + system_domain()).substr(0, 1023));
}

// With an empty domain name the name ends in a lone dot. The domain is set
// in a private UTS namespace of a child, so the machine is not touched.
TEST(FindFqdn, EmptyDomainGivesTrailingDot) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWUTS) != 0 || setdomainname("", 0) != 0) _exit(2);
    host h{"web", {"mail.lab.test"}};
    _exit(std::strcmp(find_fqdn(h.get()), "web.") == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no private UTS namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the name is not \"web.\"";
}

sockaddr_in peer_at(const char *addr) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  EXPECT_EQ(inet_pton(AF_INET, addr, &sa.sin_addr), 1) << addr;
  return sa;
}

TEST(MapSockaddrToName, NoReverseEntryGivesDottedAddress) {
  sockaddr_in sa = peer_at("127.0.0.2");
  if (gethostbyaddr(&sa.sin_addr, 4, AF_INET) != nullptr) GTEST_SKIP() << "127.0.0.2 has a name here";
  char dest[1024];
  map_sockaddr_to_name(&sa, dest, sizeof dest);
  EXPECT_STREQ(dest, "127.0.0.2");
  // A small destination gets a cut, terminated name and nothing past it.
  char small[16];
  std::memset(small, 'Z', sizeof small);
  map_sockaddr_to_name(&sa, small, 5);
  EXPECT_STREQ(small, "127.");
  EXPECT_EQ(std::string(small + 5, sizeof small - 5), std::string(sizeof small - 5, 'Z'));
  // One byte short of the whole name.
  std::memset(small, 'Z', sizeof small);
  map_sockaddr_to_name(&sa, small, 9);
  EXPECT_STREQ(small, "127.0.0.");
  EXPECT_EQ(small[9], 'Z');
}

// Sets the filter settings for one scope and restores them after.
struct filter_settings {
  int saved_localhost = localhost_only;
  char *saved_restrict = restrict_to;
  std::string pattern;
  filter_settings(int local, const char *restrict) {
    localhost_only = local;
    if (restrict != nullptr) pattern = restrict;
    restrict_to = restrict != nullptr ? pattern.data() : nullptr;
  }
  ~filter_settings() {
    localhost_only = saved_localhost;
    restrict_to = saved_restrict;
  }
};

TEST(FilterSource, Table) {
  struct row {
    int local;
    const char *restrict;
    const char *addr;
    const char *name;
    int drop;
  };
  const row rows[] = {
      {0, nullptr, "127.0.0.1", "localhost.", 0}, {0, nullptr, "10.1.2.3", "10.1.2.3", 0},
      {1, nullptr, "127.0.0.1", "localhost.", 0}, {1, nullptr, "127.0.0.2", "127.0.0.2", 1},
      {1, nullptr, "10.1.2.3", "10.1.2.3", 1},
      {1, nullptr, "1.0.0.127", "1.0.0.127", 1},  // byte order matters
      {0, "*", "10.1.2.3", "10.1.2.3", 0}, {0, "*", "10.9.9.9", "web.lab.test", 0},
      {0, "", "10.9.9.9", "web.lab.test", 1}, {0, "", "127.0.0.1", "localhost.", 1},
      {0, "*.lab.test", "10.9.9.9", "web.lab.test", 0}, {0, "*.lab.test", "10.9.9.9", "lab.test", 1},
      {0, "*.lab.test", "10.9.9.9", "WEB.LAB.TEST", 1}, {0, "*.lab.test", "10.1.2.3", "10.1.2.3", 1},
      {0, "*.lab.test", "10.9.9.9", "badlab.test", 1}, {0, "*lab.test", "10.9.9.9", "badlab.test", 0},
      {0, "*lab.test", "10.9.9.9", "lab.test", 0}, {0, "web.lab.test", "10.9.9.9", "web.lab.test", 0},
      {0, "web.lab.test", "10.9.9.9", "xweb.lab.test", 1}, {0, "web.lab.test", "10.9.9.9", "web.lab.tes", 1},
      {0, "web.lab.test", "10.9.9.9", "Web.lab.test", 1}, {0, "10.1.2.3", "10.1.2.3", "10.1.2.3", 0},
      {0, "web*.lab.test", "10.9.9.9", "webx.lab.test", 1}, {0, "web*.lab.test", "10.9.9.9", "web*.lab.test", 0},
      {1, "*.lab.test", "127.0.0.1", "web.lab.test", 0}, {1, "*.lab.test", "127.0.0.1", "localhost.", 1},
      {1, "*.lab.test", "127.0.0.2", "web.lab.test", 1},
  };
  for (const auto &r : rows) {
    filter_settings s(r.local, r.restrict);
    sockaddr_in sa = peer_at(r.addr);
    EXPECT_EQ(filter_source(&sa, r.name), r.drop)
        << "-L " << r.local << " -r " << (r.restrict ? r.restrict : "(none)") << " peer " << r.addr
        << " named " << r.name;
  }
}

TEST(MatchSuffix, Table) {
  struct row {
    const char *text, *suffix;
    int want;
  };
  const row rows[] = {{"abc", "", 1},   {"", "", 1},      {"ab", "abc", 0}, {"abc", "bc", 1},
                      {"abc", "BC", 0}, {"abc", "abc", 1}, {"abc", "ab", 0}, {"", "a", 0}};
  for (const auto &r : rows) {
    EXPECT_EQ(match_suffix(r.text, r.suffix), r.want) << r.text << " / " << r.suffix;
  }
}

// The real daemon: a dropped peer gets not a single byte and one log line
// naming it; with -L, 127.0.0.1 is still served.
TEST(PeerEndToEnd, DroppedPeersGetNothingAndAreLogged) {
  const std::string me = request_support::loopback_peer_name();
  struct row {
    std::vector<std::string> options;
    const char *source;  // local address of the dropped client
    std::string name;    // as the drop line gives it
  };
  const row rows[] = {
      {{"-l", "-L"}, "127.0.0.2", "127.0.0.2"},
      {{"-l", "-r", "no.such.host.invalid"}, "127.0.0.1", me},
      {{"-l", "-r", "*.nowhere.invalid"}, "127.0.0.1", me},
  };
  const std::string request = "cmd bin/hello+x\r\nend\r\n";
  for (const auto &r : rows) {
    SCOPED_TRACE(r.options.back());
    request_support::served_root s(r.options);
    s.script("bin/hello", "echo hello \"$@\"\n");
    harness::exchange_options from;
    from.source_addr = r.source;
    EXPECT_EQ(harness::exchange(s.port(), request, from), "");
    ASSERT_TRUE(harness::wait_until([&] { return !s.log().empty(); }));
    EXPECT_EQ(s.log(), std::vector<std::string>{"connection from " + r.name + " dropped"});
    if (r.options[1] == "-L") {
      EXPECT_EQ(harness::exchange(s.port(), request, false), request_support::served("bin/hello+x", "hello x\n"));
      EXPECT_EQ(s.log().size(), 2u);
    }
  }
}

}  // namespace
