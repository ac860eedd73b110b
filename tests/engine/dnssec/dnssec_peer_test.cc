// DNSSEC against a real named on loopback, with zones signed at test time:
// the engine's checks over the real UDP road, a relay that drops key
// queries, ldns's own sockets, and our chain builders against ldns's.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "Quorvane/engine/dnssec/dnssec_chain.h"
#include "Quorvane/engine/dnssec/dnssec_validation.h"
#include "Quorvane/platform/clock.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/named_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/bounded_wait.h"

namespace {

using namespace enginetest;
using testsupport::ENamedSigning;

constexpr int kWaitMs = 5000;

std::vector<testsupport::SNamedZone> FixtureZones() {
  return {
      {"test.", ENamedSigning::Signed, {}, "", ""},
      {"secure.test.", ENamedSigning::Signed, {"www 300 IN A 192.0.2.1", "alias 300 IN CNAME www"}, "", ""},
      {"bogus.test.", ENamedSigning::Bogus, {"www 300 IN A 192.0.2.20"}, "192.0.2.20", "192.0.2.21"},
      {"expired.test.", ENamedSigning::Expired, {"www 300 IN A 192.0.2.30"}, "", ""},
      {"insecure.test.", ENamedSigning::Unsigned, {"www 300 IN A 192.0.2.40"}, "", ""},
  };
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Passes queries between the engine and named, dropping every DNSKEY query.
class CKeyDroppingRelay {
 public:
  explicit CKeyDroppingRelay(uint16_t upstreamPort) : m_upstreamPort(upstreamPort) {
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~CKeyDroppingRelay() {
    m_stop = true;
    m_thread.join();
    close(m_fd);
  }
  uint16_t Port() const { return m_port; }
  int Dropped() const { return m_dropped; }

 private:
  void Run() {
    // Bounded: the test is over long before.
    for (int i = 0; i < 3000 && !m_stop; ++i) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 10) != 1) continue;
      sockaddr_storage client{};
      socklen_t clientLength = sizeof client;
      uint8_t buffer[4096];
      const ssize_t size = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&client), &clientLength);
      if (size < 12) continue;
      ldns_pkt* query = nullptr;
      if (ldns_wire2pkt(&query, buffer, static_cast<size_t>(size)) != LDNS_STATUS_OK) continue;
      const bool key = ldns_rr_get_type(ldns_rr_list_rr(ldns_pkt_question(query), 0)) == LDNS_RR_TYPE_DNSKEY;
      ldns_pkt_free(query);
      if (key) {
        ++m_dropped;
        continue;
      }
      const int up = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_storage to = Ipv4("127.0.0.1", m_upstreamPort);
      sendto(up, buffer, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&to), sizeof(sockaddr_in));
      pollfd q{up, POLLIN, 0};
      if (poll(&q, 1, 2000) == 1) {
        const ssize_t got = recv(up, buffer, sizeof buffer, 0);
        if (got > 0) sendto(m_fd, buffer, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&client), clientLength);
      }
      close(up);
    }
  }

  const uint16_t m_upstreamPort;
  uint16_t m_port = 0;
  int m_fd = -1;
  std::atomic<int> m_dropped{0};
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

class DnssecPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_named = new testsupport::CNamedServer(FixtureZones()); }
  static void TearDownTestSuite() {
    delete s_named;
    s_named = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(s_named->Running());
    // root.key holds test.'s key; the current folder is the test's own.
    m_oldFolder = std::filesystem::current_path();
    std::filesystem::current_path(m_folder.Path());
    std::filesystem::copy_file(s_named->AnchorFile(), m_folder.Path() / "root.key");
    dnssec::SetProgramFolderForTesting(m_folder.Path());
  }
  void TearDown() override {
    std::filesystem::current_path(m_oldFolder);
    dnssec::SetProgramFolderForTesting(std::nullopt);
  }

  static CDnsServer Named(uint16_t port) {
    CDnsServer server = testsupport::MakeServer(1, L"Named", EDnsProtocol::Plain, "127.0.0.1");
    server.port = port;
    return server;
  }
  static CRule Validating(bool reject) {
    CRule rule = MakeRule(ERuleAction::ProcessServer, 1, L"*.test");
    rule.dnssec_local_validation = true;
    rule.dnssec_reject_unsigned = reject;
    return rule;
  }
  void Divert(CDnsEngine& engine, uint16_t id, const std::string& name) {
    Bytes packet(kInterceptBufferSize, 0);
    const Bytes query = Query(id, name);
    std::copy(query.begin(), query.end(), packet.begin());
    uint32_t length = static_cast<uint32_t>(query.size());
    EXPECT_EQ(engine.ProcessInterceptedQuery(packet.data(), length, DatagramContext{}, Ipv4("10.0.0.2", 40000),
                                             Ipv4("10.0.0.1", 53), L"app", 42),
              InterceptAbsorbed);
  }
  bool WaitForLine(const std::wstring& part, std::vector<std::wstring>& seen, int timeoutMs = kWaitMs) {
    return WaitForLogLine(m_log, part, seen, timeoutMs);
  }

  static testsupport::CNamedServer* s_named;
  testsupport::TempFolder m_folder;
  std::filesystem::path m_oldFolder;
  testsupport::LogCapture m_log{LogVerbose};
  CInjections m_injections;
};

testsupport::CNamedServer* DnssecPeer::s_named = nullptr;

TEST_F(DnssecPeer, SecureAnswersAndDenialsPassBogusAndExpiredOnesAreDroppedAndRepeatsHitTheCache) {
  CRunningConfiguration running({Named(s_named->Port())}, {Validating(false), DefaultRule()});
  CDnsEngine engine;
  engine.SetInjectorForTesting(m_injections.Fn());
  ASSERT_TRUE(engine.Start());
  struct {
    const char* name;
    bool injected;
    const wchar_t* line;
  } cases[] = {
      {"www.secure.test.", true, L"www.secure.test - DNSSEC check passed"},
      {"nx.secure.test.", true, L"nx.secure.test - DNSSEC check passed"},
      {"alias.secure.test.", true, L"alias.secure.test - DNSSEC check passed"},
      {"www.bogus.test.", false, L"www.bogus.test - DNSSEC check failed"},
      {"www.expired.test.", false, L"www.expired.test - DNSSEC check failed"},
      {"www.insecure.test.", true, L"www.insecure.test - DNSSEC check failed (answer is not signed)"},
  };
  uint16_t id = 0x2000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = m_injections.Items().size();
    Divert(engine, ++id, c.name);
    std::vector<std::wstring> seen;
    ASSERT_TRUE(WaitForLine(c.line, seen)) << ::testing::PrintToString(seen);
    if (c.injected) {
      ASSERT_TRUE(m_injections.WaitFor(before + 1, kWaitMs));
      EXPECT_EQ(IdOf(m_injections.Items().back().message), id);
    }
    EXPECT_EQ(m_injections.Items().size(), before + (c.injected ? 1 : 0));
  }
  // A repeat asks named for the answer only: its keys come from the cache.
  const size_t keyQueries = Occurrences(s_named->QueryLog(), "secure.test IN DNSKEY");
  const size_t before = m_injections.Items().size();
  Divert(engine, 0x3000, "www.secure.test.");
  ASSERT_TRUE(m_injections.WaitFor(before + 1, kWaitMs));
  EXPECT_EQ(Occurrences(s_named->QueryLog(), "secure.test IN DNSKEY"), keyQueries);
  EXPECT_TRUE(engine.Stop());
}

TEST_F(DnssecPeer, UnderRejectUnsignedAnInsecureAnswerIsDropped) {
  CRunningConfiguration running({Named(s_named->Port())}, {Validating(true), DefaultRule()});
  CDnsEngine engine;
  engine.SetInjectorForTesting(m_injections.Fn());
  ASSERT_TRUE(engine.Start());
  Divert(engine, 0x2100, "www.insecure.test.");
  std::vector<std::wstring> seen;
  ASSERT_TRUE(WaitForLine(L"www.insecure.test - DNSSEC check failed (answer is not signed)", seen));
  EXPECT_TRUE(m_injections.Items().empty());
  EXPECT_TRUE(engine.Stop());
}

TEST_F(DnssecPeer, KeyQueriesThatNeverGetAnAnswerEndTheCheckAtItsDeadline) {
  CKeyDroppingRelay relay(s_named->Port());
  CRunningConfiguration running({Named(relay.Port())}, {Validating(false), DefaultRule()});
  platform::FakeClock clock(1'000'000, std::time(nullptr));
  platform::SetClockSourceForTesting(&clock);
  {
    CDnsEngine engine;
    engine.SetInjectorForTesting(m_injections.Fn());
    ASSERT_TRUE(engine.Start());
    Divert(engine, 0x2200, "www.secure.test.");
    testsupport::WaitUntil([&] { return relay.Dropped() != 0; }, std::chrono::milliseconds(kWaitMs));
    ASSERT_EQ(relay.Dropped(), 1);
    clock.AdvanceMs(CDnsEngine::kDnssecCheckSeconds * 1000);
    std::vector<std::wstring> seen;
    EXPECT_TRUE(WaitForLine(L"www.secure.test - DNSSEC check failed (timeout)", seen)) << ::testing::PrintToString(seen);
    EXPECT_TRUE(engine.Stop());
    EXPECT_TRUE(engine.DnssecChecksForTesting() == 0);
    EXPECT_TRUE(engine.DnssecStore().lock()->answers.empty());
  }
  platform::SetClockSourceForTesting(nullptr);
  EXPECT_TRUE(m_injections.Items().empty());
}

// A resolver of ldns's own, or ours without an exchange function, both on
// named's port.
ldns_resolver* LibraryResolver(uint16_t port) {
  ldns_resolver* resolver = ldns_resolver_new();
  ldns_rdf* address = ldns_rdf_new_frm_str(LDNS_RDF_TYPE_A, "127.0.0.1");
  ldns_resolver_push_nameserver(resolver, address);
  ldns_rdf_deep_free(address);
  ldns_resolver_set_port(resolver, port);
  ldns_resolver_set_dnssec(resolver, true);
  ldns_resolver_set_retry(resolver, 1);
  ldns_resolver_set_timeout(resolver, timeval{2, 0});
  return resolver;
}

TEST_F(DnssecPeer, WithoutAnExchangeFunctionLdnsOwnSocketsReachNamed) {
  dnssec::DnssecResolverPtr resolver = dnssec::NewDnssecResolver();
  ldns_resolver_deep_free(resolver->resolver);
  resolver->resolver = LibraryResolver(s_named->Port());
  dnssec::RdfPtr name(ldns_dname_new_frm_str("secure.test."));
  dnssec::PktPtr answer;
  auto query = dnssec::ldns_resolver_query_async(&answer, *resolver, name.get(), LDNS_RR_TYPE_DNSKEY,
                                                 LDNS_RR_CLASS_IN, LDNS_RD);
  dnssec::AdvanceAwaiter(query);
  ASSERT_TRUE(query.Done());
  EXPECT_EQ(query.Result(), LDNS_STATUS_OK);
  ASSERT_TRUE(answer);
  EXPECT_GE(ldns_pkt_ancount(answer.get()), 2u);
}

std::string ListText(const ldns_rr_list* list) {
  if (!list) return "(none)";
  char* text = ldns_rr_list2str(list);
  std::string out = text ? text : "";
  std::free(text);
  return out;
}

void ExpectSameChain(const ldns_dnssec_data_chain* ours, const ldns_dnssec_data_chain* theirs, int level = 0) {
  SCOPED_TRACE("level " + std::to_string(level));
  ASSERT_EQ(ours == nullptr, theirs == nullptr);
  if (!ours) return;
  EXPECT_EQ(ListText(ours->rrset), ListText(theirs->rrset));
  EXPECT_EQ(ListText(ours->signatures), ListText(theirs->signatures));
  EXPECT_EQ(ours->parent_type, theirs->parent_type);
  EXPECT_EQ(ours->packet_rcode, theirs->packet_rcode);
  EXPECT_EQ(ours->packet_qtype, theirs->packet_qtype);
  EXPECT_EQ(ours->packet_nodata, theirs->packet_nodata);
  ExpectSameChain(ours->parent, theirs->parent, level + 1);
}

void ExpectSameTree(const ldns_dnssec_trust_tree* ours, const ldns_dnssec_trust_tree* theirs, int level = 0) {
  SCOPED_TRACE("tree level " + std::to_string(level));
  ASSERT_EQ(ours == nullptr, theirs == nullptr);
  if (!ours) return;
  char* a = ours->rr ? ldns_rr2str(ours->rr) : nullptr;
  char* b = theirs->rr ? ldns_rr2str(theirs->rr) : nullptr;
  EXPECT_STREQ(a, b);
  std::free(a);
  std::free(b);
  ASSERT_EQ(ours->parent_count, theirs->parent_count);
  for (size_t i = 0; i < ours->parent_count; ++i) {
    EXPECT_EQ(ours->parent_status[i], theirs->parent_status[i]);
    ExpectSameTree(ours->parents[i], theirs->parents[i], level + 1);
  }
}

TEST_F(DnssecPeer, OurChainAndTrustTreeEqualLdnsOwnLevelByLevel) {
  const std::time_t now = std::time(nullptr);
  for (const char* qname : {"www.secure.test.", "nx.secure.test.", "alias.secure.test.", "www.bogus.test.",
                            "www.expired.test.", "www.insecure.test."}) {
    SCOPED_TRACE(qname);
    ldns_resolver* library = LibraryResolver(s_named->Port());
    dnssec::RdfPtr name(ldns_dname_new_frm_str(qname));
    dnssec::PktPtr pkt(ldns_resolver_query(library, name.get(), LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, LDNS_RD));
    ASSERT_TRUE(pkt);
    dnssec::RrListPtr rrset(
        ldns_pkt_rr_list_by_name_and_type(pkt.get(), name.get(), LDNS_RR_TYPE_A, LDNS_SECTION_ANSWER));
    if (!rrset) {
      rrset.reset(ldns_pkt_rr_list_by_name_and_type(pkt.get(), name.get(), LDNS_RR_TYPE_CNAME, LDNS_SECTION_ANSWER));
    }
    if (!rrset) rrset.reset(ldns_pkt_rr_list_by_type(pkt.get(), LDNS_RR_TYPE_NSEC, LDNS_SECTION_AUTHORITY));
    const bool denial = ldns_pkt_ancount(pkt.get()) == 0;
    auto question = [&] {
      ldns_rr* rr = ldns_rr_new();
      ldns_rr_set_owner(rr, ldns_rdf_clone(name.get()));
      ldns_rr_set_type(rr, LDNS_RR_TYPE_A);
      return rr;
    };
    dnssec::ChainPtr theirs(
        ldns_dnssec_build_data_chain(library, LDNS_RD, rrset.get(), pkt.get(), denial ? question() : nullptr));

    dnssec::DnssecResolverPtr resolver = dnssec::NewDnssecResolver();
    ldns_resolver_deep_free(resolver->resolver);
    resolver->resolver = LibraryResolver(s_named->Port());
    auto build = dnssec::ldns_dnssec_build_data_chain_async(*resolver, LDNS_RD, rrset.get(), pkt.get(),
                                                           dnssec::RrPtr(denial ? question() : nullptr));
    dnssec::AdvanceAwaiter(build);  // ldns's sockets never suspend
    ASSERT_TRUE(build.Done());
    ExpectSameChain(build.Result().get(), theirs.get());
    int levels = 0;
    for (const ldns_dnssec_data_chain* level = theirs.get(); level; level = level->parent) ++levels;
    // Signed names reach test.'s keys: answer, keys, DS, test.'s keys (and the denial's question).
    if (std::string(qname).find(".secure.test.") != std::string::npos) {
      EXPECT_GE(levels, 4);
    }

    dnssec::TreePtr ourTree(ldns_dnssec_derive_trust_tree_time(build.Result().get(), nullptr, now));
    dnssec::TreePtr theirTree(ldns_dnssec_derive_trust_tree_time(theirs.get(), nullptr, now));
    ExpectSameTree(ourTree.get(), theirTree.get());
    ldns_resolver_deep_free(library);
  }
}

}  // namespace
