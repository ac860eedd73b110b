// Plain DNS over TCP and DNS over TLS against a real unbound on loopback,
// with certificates made by the test CA at run time.
#include <gtest/gtest.h>

#include "Quorvane/foundation/log.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/transports/der_reader.h"
#include "Quorvane/transports/tcp_processor.h"
#include "tests/support/log_capture.h"
#include "tests/support/unbound_server.h"
#include "tests/transports/capture_sink.h"
#include "tests/support/dns_messages.h"
#include "tests/transports/open_descriptors.h"
#include "tests/transports/test_trust.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Manager = CSocketEventsManager;
using testsupport::SIssued;

constexpr int kBoundedWaits = 250;  // 20-ms waits: 5 s at most

testsupport::SUnboundOptions Zone(const SIssued* leaf = nullptr, const std::string& extraChain = "") {
  testsupport::SUnboundOptions options;
  options.localZones = {"tarnwick.test. static"};
  options.localData = {"a.tarnwick.test. 300 IN A 192.0.2.1", "b.tarnwick.test. 300 IN A 192.0.2.2"};
  if (leaf) {
    options.tlsChainPem = leaf->certificatePem + extraChain;
    options.tlsKeyPem = leaf->keyPem;
  }
  return options;
}

// The last four bytes of an answer with one A record.
Bytes AddressOf(const Bytes& answer) { return answer.size() >= 4 ? Bytes(answer.end() - 4, answer.end()) : Bytes{}; }

class TcpPeerTest : public testing::Test {
 protected:
  TcpPeerTest() : m_log(LogVerbose) {
    EXPECT_TRUE(m_manager.SetPort(m_port));
    m_sink.onRemove = [this](uint64_t id) {
      m_plain.RemoveRequest(id);
      m_tls.RemoveRequest(id);
    };
  }

  static CDnsServer Server(uint16_t port, EDnsProtocol protocol) {
    CDnsServer server;
    server.id = 3;
    server.name = protocol == EDnsProtocol::Dot ? L"DoT" : L"Tcp";
    server.protocol = protocol;
    server.plain_use_tcp = true;
    server.family = AF_INET;
    server.port = port;
    server.address = {127, 0, 0, 1};
    server.addressKnown = true;
    return server;
  }
  // Sends one A query and runs the worker's part until the request ends.
  CCaptureSink::SCall Resolve(const CDnsServer& server, const std::string& name, uint64_t requestId) {
    SDnsMessageInfo info;
    info.name = SDnsName(name + ".");
    Bytes query = dnstest::Query(static_cast<uint16_t>(requestId), name, 1);
    const size_t before = m_sink.Calls().size();
    CTcpServerProcessorBase& holder = server.protocol == EDnsProtocol::Dot
                                          ? static_cast<CTcpServerProcessorBase&>(m_tls)
                                          : static_cast<CTcpServerProcessorBase&>(m_plain);
    auto processor = server.protocol == EDnsProtocol::Dot ? m_tls.GetProcessor(holder.NextConnectionKey())
                                                          : m_plain.GetProcessor(holder.NextConnectionKey());
    EXPECT_TRUE(processor->SendRequest(query.data(), static_cast<uint32_t>(query.size()), info, server, {}, m_manager,
                                       requestId, std::nullopt));
    for (int i = 0; i < kBoundedWaits; ++i) {
      auto calls = m_sink.Calls();
      for (size_t c = before; c < calls.size(); ++c) {
        if (calls[c].entry == "answer" || calls[c].entry == "pending-error") {
          if (calls[c].entry == "answer") m_sink.onRemove(requestId);  // as the engine does
          return calls[c];
        }
      }
      uint64_t key;
      Manager::SSocketEntry entry;
      Manager::SCompletionEvent event;
      if (m_manager.WaitForEvent(key, entry, event) == Manager::WaitEvent) {
        entry.processor->ProcessEvent(event, entry.socket->Handle(), key, m_manager, entry.processor);
      }
    }
    ADD_FAILURE() << "no answer and no failure";
    return {};
  }
  bool LoggedLongTask() {
    for (const std::wstring& text : m_log.TakeTexts()) {
      if (text == L"Start a long task - Check certificate data") return true;
    }
    return false;
  }

  testsupport::LogCapture m_log;
  std::shared_ptr<platform::CompletionPort> m_port = platform::CompletionPort::Create();
  Manager m_manager{20};
  CTcpPlainServerProcessor m_plain{L"Tcp"};
  CTcpTlsServerProcessor m_tls{L"DoT"};
  CCaptureSink m_sink;
};

TEST_F(TcpPeerTest, PlainTcpAnswersAndLeavesNoDescriptor) {
  testsupport::CUnboundServer unbound(Zone());
  ASSERT_TRUE(unbound.Running());
  const size_t before = OpenDescriptors();
  auto first = Resolve(Server(unbound.Port(), EDnsProtocol::Plain), "a.tarnwick.test", 1);
  auto second = Resolve(Server(unbound.Port(), EDnsProtocol::Plain), "b.tarnwick.test", 2);
  EXPECT_EQ(first.entry, "answer");
  EXPECT_EQ(AddressOf(first.bytes), (Bytes{192, 0, 2, 1}));
  EXPECT_EQ(AddressOf(second.bytes), (Bytes{192, 0, 2, 2}));
  EXPECT_TRUE(m_plain.Empty());
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_NE(unbound.QueryLog().find("b.tarnwick.test. A IN"), std::string::npos);
}

TEST_F(TcpPeerTest, DotChecksTheCertificateOnceThenHitsTheCache) {
  SIssued leaf = testsupport::TrustedCa().IssueLeaf(testsupport::LeafFor({"dot.tarnwick.test"}, {"127.0.0.1"}));
  testsupport::CUnboundServer unbound(Zone(&leaf));
  ASSERT_TRUE(unbound.Running());
  CDnsServer byAddress = Server(unbound.TlsPort(), EDnsProtocol::Dot);
  CDnsServer byName = byAddress;
  byName.dot_host_name = "dot.tarnwick.test";
  m_log.Take();

  auto first = Resolve(byAddress, "a.tarnwick.test", 1);
  EXPECT_EQ(AddressOf(first.bytes), (Bytes{192, 0, 2, 1}));
  EXPECT_TRUE(LoggedLongTask());
  auto second = Resolve(byAddress, "b.tarnwick.test", 2);
  EXPECT_EQ(AddressOf(second.bytes), (Bytes{192, 0, 2, 2}));
  EXPECT_FALSE(LoggedLongTask());
  // Named by host: its own check (SNI and the name), then its own entry.
  auto named = Resolve(byName, "a.tarnwick.test", 3);
  EXPECT_EQ(AddressOf(named.bytes), (Bytes{192, 0, 2, 1}));
  EXPECT_TRUE(LoggedLongTask());
}

TEST_F(TcpPeerTest, DotCertificateFailuresFailTheRequest) {
  testsupport::CTestCa unknown("Unknown CA");
  testsupport::SLeafOptions expiredOptions = testsupport::LeafFor({"dot.tarnwick.test"}, {"127.0.0.1"});
  expiredOptions.notBefore = -7200;
  expiredOptions.notAfter = -60;
  SIssued good = testsupport::TrustedCa().IssueLeaf(testsupport::LeafFor({"dot.tarnwick.test"}, {"127.0.0.1"}));
  SIssued stranger = unknown.IssueLeaf(testsupport::LeafFor({"dot.tarnwick.test"}, {"127.0.0.1"}));
  SIssued expired = testsupport::TrustedCa().IssueLeaf(expiredOptions);
  struct SCase {
    const char* name;
    const SIssued* leaf;
    std::string hostName;
  };
  const SCase cases[] = {
      {"wrong_name", &good, "other.tarnwick.test"},
      {"unknown_ca", &stranger, ""},
      {"expired", &expired, ""},
  };
  uint64_t id = 10;
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::CUnboundServer unbound(Zone(c.leaf));
    ASSERT_TRUE(unbound.Running());
    CDnsServer server = Server(unbound.TlsPort(), EDnsProtocol::Dot);
    server.dot_host_name = c.hostName;
    auto result = Resolve(server, "a.tarnwick.test", ++id);
    EXPECT_EQ(result.entry, "pending-error");
    EXPECT_EQ(result.text, L"Connection to server DoT (127.0.0.1) failed with error: TLS certificate verification failed");
    EXPECT_EQ(unbound.QueryLog().find("a.tarnwick.test. A IN"), std::string::npos);  // the query never left
  }
}

TEST_F(TcpPeerTest, DotPins) {
  auto intermediate = testsupport::TrustedCa().MakeIntermediate("Peer Intermediate");
  SIssued leaf = intermediate->IssueLeaf(testsupport::LeafFor({"dot.tarnwick.test"}, {"127.0.0.1"}));
  testsupport::SLeafOptions compactOptions = testsupport::LeafFor({}, {"127.0.0.1"});
  compactOptions.keyType = testsupport::EKeyType::Ed25519;
  compactOptions.compact = true;
  compactOptions.usages.clear();
  compactOptions.commonName = "c";
  SIssued compact = testsupport::TrustedCa().IssueLeaf(compactOptions);
  testsupport::CUnboundServer chained(Zone(&leaf, intermediate->Certificate().certificatePem));
  testsupport::CUnboundServer small(Zone(&compact));
  ASSERT_TRUE(chained.Running() && small.Running());

  auto pin = [](const Bytes& der) {
    SDerElement tbs;
    EXPECT_TRUE(FindTbsCertificate(der, tbs));
    return platform::Sha256(der.data() + tbs.start, tbs.end - tbs.start);
  };
  SDerElement compactTbs;
  ASSERT_TRUE(FindTbsCertificate(compact.der, compactTbs));
  ASSERT_EQ(compact.der[compactTbs.start + 1], 0x81);
  Bytes leafPin = pin(leaf.der);
  struct SCase {
    const char* name;
    uint16_t port;
    HashList pins;
    bool passes;
  };
  const SCase cases[] = {
      {"leaf_only", chained.TlsPort(), {leafPin}, true},
      {"intermediate_only", chained.TlsPort(), {pin(intermediate->Certificate().der)}, true},
      {"wrong", chained.TlsPort(), {Bytes(32, 0x77)}, false},
      {"31_bytes", chained.TlsPort(), {Bytes(leafPin.begin(), leafPin.begin() + 31)}, false},
      {"compact_0x81_leaf", small.TlsPort(), {pin(compact.der)}, true},
  };
  uint64_t id = 20;
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    CDnsServer server = Server(c.port, EDnsProtocol::Dot);
    server.dot_hashes = c.pins;
    auto result = Resolve(server, "a.tarnwick.test", ++id);
    if (c.passes) {
      EXPECT_EQ(AddressOf(result.bytes), (Bytes{192, 0, 2, 1}));
    } else {
      EXPECT_EQ(result.text,
                L"Connection to server DoT (127.0.0.1) failed with error: TLS certificate does not match provided hash");
    }
  }
}

}  // namespace
