#include "Quorvane/transports/dnscrypt_processor.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cstring>
#include <thread>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/cert_verify.h"
#include "tests/support/config_records.h"
#include "tests/support/log_capture.h"
#include "tests/support/dnscrypt_double.h"
#include "tests/support/http_server.h"
#include "tests/support/test_ca.h"
#include "tests/transports/capture_sink.h"
#include "tests/support/dns_messages.h"
#include "tests/support/bounded_wait.h"

namespace {

using testsupport::MakeServer;

constexpr int kWaitMs = 5000;

SDnsMessageInfo InfoFor(const std::string& name) {
  SDnsMessageInfo info;
  info.name = SDnsName(name);
  return info;
}

CDnsServer DohServer(uint32_t id, const wchar_t* name) {
  CDnsServer server = MakeServer(id, name, EDnsProtocol::Doh, "192.0.2.7");
  server.doh_host_name = "doh.tarnwick.test";
  server.doh_path = "/dns-query";
  return server;
}

sockaddr_storage Local(const char* text) { return TextToSockaddr(text); }

std::vector<uint8_t> Status(uint64_t handle, int64_t value, size_t size) {
  std::vector<uint8_t> bytes(size, 0xEE);
  if (size >= 8) std::memcpy(bytes.data(), &handle, 8);
  if (size >= 16) std::memset(bytes.data() + 8, 0, 8);
  if (size >= 24) std::memcpy(bytes.data() + 16, &value, 8);
  return bytes;
}

std::vector<std::string> Names(const std::vector<SDnsCryptDoubleCall>& calls) {
  std::vector<std::string> names;
  for (const auto& call : calls) names.push_back(call.name);
  return names;
}

class Bridge : public ::testing::Test {
 protected:
  ~Bridge() override {
    if (!m_started) return;
    EXPECT_TRUE(m_bridge.StopForTesting([this] {
      if (m_double) m_double->PushResult(0, 0, {}, 0);
    }));
  }

  // Opens the double at path (also what the bridge opens) and starts the bridge.
  void Start(const std::string& path, bool autoMode = false) {
    if (void* handle = dlopen(path.c_str(), RTLD_NOW)) {
      auto control = reinterpret_cast<CDnsCryptDouble* (*)()>(dlsym(handle, "DnsCryptDoubleControl"));
      ASSERT_NE(control, nullptr);
      m_double = control();
      m_double->Reset(autoMode);
    }
    m_bridge.SetLibraryName(ToWide(path, false));
    m_bridge.Init();
    m_started = true;
    if (m_double) {
      ASSERT_EQ(Names(m_double->Calls()), std::vector<std::string>{"InitLibForRunWithData"});
      m_double->Reset(autoMode);
    }
  }

  bool Send(const CDnsServer& server, uint64_t requestId, bool test = false,
            const std::vector<sockaddr_storage>& locals = {}, std::optional<CDnsServer> relay = std::nullopt) {
    const std::vector<uint8_t> query = dnstest::Query(static_cast<uint16_t>(requestId), "www.example.test.", 1);
    return m_bridge.SendRequest(query.data(), static_cast<uint32_t>(query.size()), InfoFor("www.example.test."),
                                server, locals, test, requestId, relay);
  }

  // Bounded wait for a log line containing text; lines read are kept.
  bool WaitForLine(const std::wstring& text, int timeoutMs = kWaitMs) {
    return testsupport::WaitUntil(
        [&] {
          for (const std::wstring& line : m_log.TakeTexts()) m_lines.push_back(line);
          for (const std::wstring& line : m_lines)
            if (line.find(text) != std::wstring::npos) return true;
          return false;
        },
        std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(5));
  }
  int CountLines(const std::wstring& text) {
    for (const std::wstring& line : m_log.TakeTexts()) m_lines.push_back(line);
    int count = 0;
    for (const std::wstring& line : m_lines) count += line.find(text) != std::wstring::npos;
    return count;
  }
  // Every result pushed so far was taken and freed.
  void Drain() { ASSERT_TRUE(m_double->WaitDrained(kWaitMs)); }

  testsupport::LogCapture m_log{LogDebug};
  std::vector<std::wstring> m_lines;
  CCaptureSink m_sink;
  CDnsCryptProcessor m_bridge;
  CDnsCryptDouble* m_double = nullptr;
  bool m_started = false;
};

TEST_F(Bridge, WithoutAUsableLibraryEveryQueryFailsAtItsRemote) {
  struct Case {
    const char* name;
    std::string path;
    const wchar_t* reason;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"missing", std::string(TARNWICK_DNSCRYPT_DOUBLE) + ".absent", L"DNS-crypt module cannot be loaded", {}},
      {"export_missing", TARNWICK_DNSCRYPT_DOUBLE_NO_CLEAN, L"DNS-crypt functions not loaded", {}},
      {"init_false", TARNWICK_DNSCRYPT_DOUBLE_INIT_FALSE, L"DNS-crypt lib initialisation failed",
       {"InitLibForRunWithData"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_lines.clear();
    m_double = nullptr;
    {
      // Each case its own bridge, stopped before the next.
      CDnsCryptProcessor bridge;
      CDnsCryptDouble* control = nullptr;
      if (void* handle = dlopen(c.path.c_str(), RTLD_NOW)) {
        control = reinterpret_cast<CDnsCryptDouble* (*)()>(dlsym(handle, "DnsCryptDoubleControl"))();
        control->Reset(true);
      }
      bridge.SetLibraryName(ToWide(c.path, false));
      bridge.Init();
      EXPECT_FALSE(bridge.Loaded());
      const std::vector<uint8_t> query = dnstest::Query(1, "www.example.test.", 1);
      EXPECT_FALSE(bridge.SendRequest(query.data(), static_cast<uint32_t>(query.size()),
                                      InfoFor("www.example.test."), DohServer(3, L"Doh One"), {}, false, 1,
                                      std::nullopt));
      EXPECT_EQ(CountLines(std::wstring(L"DNS-crypt initialization failed with error: ") + c.reason +
                           L". All DNSCrypt-related functions will be inaccessible"),
                1);
      EXPECT_EQ(CountLines(L"www.example.test - Cannot init server: Doh One"), 1);
      if (control) {
        EXPECT_EQ(Names(control->Calls()), c.calls);
      }
      EXPECT_TRUE(bridge.StopForTesting([control] {
        if (control) control->PushResult(0, 0, {}, 0);
      }));
    }
  }
}

TEST_F(Bridge, LibraryLogLinesKeepTheirSeverity) {
  Start(TARNWICK_DNSCRYPT_DOUBLE);
  ASSERT_TRUE(m_bridge.Loaded());
  // Debug lines show only at the debug level; above 2 is an error line.
  struct Case {
    int severity;
    bool verbose, debug, error;
  };
  const Case cases[] = {{0, false, true, false}, {1, true, true, false}, {2, true, true, false},
                        {3, true, true, true}};
  for (const Case& c : cases) {
    for (int level : {LogVerbose, LogDebug}) {
      SCOPED_TRACE(std::to_string(c.severity) + " at " + std::to_string(level));
      m_log.SetLevel(level);
      m_log.Take();
      const std::string text = "line " + std::to_string(c.severity);
      m_double->PushResult(2, c.severity, {text.begin(), text.end()}, static_cast<int>(text.size()));
      const std::string marker = "marker";
      m_double->PushResult(2, 3, {marker.begin(), marker.end()}, static_cast<int>(marker.size()));
      Drain();
      std::vector<SLogLine> lines;
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      bool markerSeen = false;
      while (!markerSeen && std::chrono::steady_clock::now() < end) {
        for (const SLogLine& line : m_log.Take()) {
          if (line.text == L"DnsCrypt log: marker") markerSeen = true;
          else if (line.text == L"DnsCrypt log: " + ToWide(text, false)) lines.push_back(line);
        }
      }
      ASSERT_TRUE(markerSeen);
      const bool shown = level == LogVerbose ? c.verbose : c.debug;
      ASSERT_EQ(lines.size(), shown ? 1u : 0u);
      if (shown) {
        EXPECT_EQ(lines[0].error, c.error);
      }
    }
  }
  // The exact text is dropped; with anything added it is logged.
  const std::string exact = "No local IP/port configured";
  const std::string longer = exact + ".";
  m_double->PushResult(2, 3, {exact.begin(), exact.end()}, static_cast<int>(exact.size()));
  m_double->PushResult(2, 3, {longer.begin(), longer.end()}, static_cast<int>(longer.size()));
  ASSERT_TRUE(WaitForLine(L"DnsCrypt log: No local IP/port configured."));
  EXPECT_EQ(CountLines(L"No local IP/port configured"), 1);
  EXPECT_TRUE(m_bridge.ResultSeen());
}

TEST_F(Bridge, StatusReportsFlushTheQueueInOrderOnce) {
  Start(TARNWICK_DNSCRYPT_DOUBLE);
  m_double->ScriptHandles({41});
  for (uint64_t id = 1; id <= 3; ++id) ASSERT_TRUE(Send(DohServer(3, L"Doh One"), id));
  // Short buffers and -1 send nothing; 24 and 32 bytes are read.
  m_double->PushResult(3, 0, Status(41, 0, 23), 23);
  m_double->PushResult(3, 0, Status(41, -1, 24), 24);
  m_double->PushResult(3, 0, Status(41, 0xFFFFFFFFll, 32), 32);  // -1 on its low 32 bits
  Drain();
  EXPECT_EQ(Names(m_double->Calls()), std::vector<std::string>{"InitRemoteForRunWithData_v5"});
  m_double->PushResult(3, 0, Status(41, 0, 32), 32);
  ASSERT_TRUE(m_double->WaitForCalls("RunWithData_v2", 3, kWaitMs));
  m_double->PushResult(3, 0, Status(41, 5, 24), 24);  // already ready: ignored
  ASSERT_TRUE(Send(DohServer(3, L"Doh One"), 4));   // ready: sent at once
  Drain();
  std::vector<std::string> ids;
  for (const auto& call : m_double->Calls())
    if (call.name == "RunWithData_v2") ids.push_back(call.args[0] + "/" + call.args[2]);
  EXPECT_EQ(ids, (std::vector<std::string>{"41/1", "41/2", "41/3", "41/4"}));
  EXPECT_TRUE(WaitForLine(L"Status of server 41 on step 0 is 0"));
  EXPECT_TRUE(WaitForLine(L"Status of server 41 on step 0 is -1"));
}

TEST_F(Bridge, TheFiftySecondQueuedQueryEmptiesTheQueue) {
  Start(TARNWICK_DNSCRYPT_DOUBLE);
  m_double->ScriptHandles({9});
  for (uint64_t id = 1; id <= 51; ++id) ASSERT_TRUE(Send(DohServer(3, L"Doh One"), id));
  EXPECT_EQ(CountLines(L"PacketQueue size = "), 0);
  ASSERT_TRUE(Send(DohServer(3, L"Doh One"), 52));
  EXPECT_EQ(CountLines(L"PacketQueue size = 51"), 1);
  m_double->PushResult(3, 0, Status(9, 1, 24), 24);
  ASSERT_TRUE(m_double->WaitForCalls("RunWithData_v2", 1, kWaitMs));
  Drain();
  std::vector<std::string> ids;
  for (const auto& call : m_double->Calls())
    if (call.name == "RunWithData_v2") ids.push_back(call.args[2]);
  EXPECT_EQ(ids, std::vector<std::string>{"52"});
}

TEST_F(Bridge, RemotesByTestFlagAndLocalAddressAreReleasedApart) {
  Start(TARNWICK_DNSCRYPT_DOUBLE);
  m_double->ScriptHandles({11, 12, 13, 14});
  const CDnsServer server = DohServer(3, L"Doh One");
  ASSERT_TRUE(Send(server, 1));
  ASSERT_TRUE(Send(server, 2, true));
  ASSERT_TRUE(Send(server, 3, false, {Local("10.0.0.5")}));
  ASSERT_TRUE(Send(server, 4));  // the first remote again
  EXPECT_FALSE(Send(server, 5, false, {Local("fd00::5")}));
  EXPECT_TRUE(WaitForLine(L"www.example.test - Could not find a suitable interface IP to connect to the server "
                          L"192.0.2.7"));
  const auto calls = m_double->Calls();
  ASSERT_EQ(Names(calls), std::vector<std::string>(3, "InitRemoteForRunWithData_v5"));
  EXPECT_EQ(calls[0].args[0], "Doh One");
  EXPECT_EQ(calls[0].args[1], "");
  EXPECT_EQ(calls[0].args[3], "(null)");
  EXPECT_EQ(calls[0].args[4], "(null)");
  EXPECT_EQ(calls[0].args[6], "2");
  EXPECT_EQ(calls[2].args[4], "10.0.0.5:0");

  EXPECT_EQ(m_bridge.ReleaseRemotes(3, 0, true), 12u);
  EXPECT_EQ(m_bridge.ReleaseRemotes(3, 0, true), 0u);
  std::vector<std::string> cleaned;
  for (const auto& call : m_double->Calls())
    if (call.name == "Clean") cleaned.push_back(call.args[0]);
  EXPECT_EQ(cleaned, std::vector<std::string>{"12"});
  m_bridge.ReleaseRemotes(3, 0, false);  // both ordinary remotes, whatever their address
  m_bridge.ReleaseAllRemotes();
  cleaned.clear();
  for (const auto& call : m_double->Calls())
    if (call.name == "Clean") cleaned.push_back(call.args[0]);
  std::sort(cleaned.begin(), cleaned.end());
  EXPECT_EQ(cleaned, (std::vector<std::string>{"11", "12", "13"}));
}

// Two threads that found no remote for one key both make one.
class CRacingBridge : public CDnsCryptProcessor {
 public:
  using CDnsCryptProcessor::CreateRemote;
};

TEST(BridgeRace, ASecondRemoteForATakenKeyIsCleanedAndTheFirstKept) {
  void* library = dlopen(TARNWICK_DNSCRYPT_DOUBLE, RTLD_NOW);
  ASSERT_NE(library, nullptr);
  CDnsCryptDouble* control = reinterpret_cast<CDnsCryptDouble* (*)()>(dlsym(library, "DnsCryptDoubleControl"))();
  control->Reset(false);
  {
    CRacingBridge bridge;
    bridge.SetLibraryName(ToWide(TARNWICK_DNSCRYPT_DOUBLE, false));
    bridge.Init();
    control->Reset(false);
    control->ScriptHandles({21, 22});
    const CDnsCryptProcessor::SDnsCryptRemoteKey key{3, 0, std::nullopt, false};
    EXPECT_EQ(bridge.CreateRemote(key, "S", "", "sdns://x", nullptr, nullptr, false, 2), 21u);
    EXPECT_EQ(bridge.CreateRemote(key, "S", "", "sdns://x", nullptr, nullptr, false, 2), 21u);
    bridge.ReleaseAllRemotes();
    std::vector<std::string> cleaned;
    for (const auto& call : control->Calls())
      if (call.name == "Clean") cleaned.push_back(call.args[0]);
    EXPECT_EQ(cleaned, (std::vector<std::string>{"22", "21"}));
    EXPECT_TRUE(bridge.StopForTesting([control] { control->PushResult(0, 0, {}, 0); }));
  }
}

TEST_F(Bridge, HandleZeroFailsTheQueryAndMakesNoRemote) {
  Start(TARNWICK_DNSCRYPT_DOUBLE);
  m_double->ScriptHandles({0});
  EXPECT_FALSE(Send(DohServer(3, L"Doh One"), 1));
  EXPECT_EQ(CountLines(L"www.example.test - Cannot init server: Doh One"), 1);
  m_bridge.ReleaseAllRemotes();
  EXPECT_EQ(Names(m_double->Calls()), std::vector<std::string>{"InitRemoteForRunWithData_v5"});
}

TEST_F(Bridge, ResultsAreBoundedAndEveryBufferFreedOnce) {
  Start(TARNWICK_DNSCRYPT_DOUBLE);
  const std::vector<uint8_t> answer = dnstest::Query(7, "a.test.", 1);
  m_double->PushResult(1, 70, answer, -5);                   // negative length
  m_double->PushResult(1, 71, answer, 4000, true);           // NULL buffer with a length
  m_double->PushResult(1, 72, answer, static_cast<int>(answer.size()));
  m_double->PushResult(9, 73, answer, static_cast<int>(answer.size()));  // unknown kind
  Drain();
  EXPECT_EQ(m_double->MemFrees(), 4);
  ASSERT_TRUE(m_sink.WaitForCalls(3));
  const auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].requestId, 70u);
  EXPECT_TRUE(calls[0].bytes.empty());
  EXPECT_EQ(calls[1].requestId, 71u);
  EXPECT_TRUE(calls[1].bytes.empty());
  EXPECT_EQ(calls[2].requestId, 72u);
  EXPECT_EQ(calls[2].bytes, answer);
}

TEST_F(Bridge, AutoModeAnswersThroughTheSink) {
  Start(TARNWICK_DNSCRYPT_DOUBLE, true);
  ASSERT_TRUE(Send(DohServer(3, L"Doh One"), 5));
  ASSERT_TRUE(m_sink.WaitForCalls(1));
  const auto calls = m_sink.Calls();
  EXPECT_EQ(calls[0].requestId, 5u);
  ASSERT_GE(calls[0].bytes.size(), 4u);
  EXPECT_TRUE(std::equal(calls[0].bytes.end() - 4, calls[0].bytes.end(), CDnsCryptDouble::kAutoAddress));
}

// The certificate refresh.
class Refresh : public Bridge {
 protected:
  void Log(const std::string& text) {
    m_double->PushResult(2, 3, {text.begin(), text.end()}, static_cast<int>(text.size()));
    Drain();
  }
  // Bounded wait until no refresh runs.
  static bool RefreshEnded() {
    return testsupport::WaitUntil([] { return !g_bUpdatingCertificate; }, std::chrono::seconds(40));
  }
};

TEST_F(Refresh, AnHttpsListenerSeesOneUncachedGet) {
  static testsupport::CTestCa* ca = new testsupport::CTestCa("Tarnwick Refresh Test CA");
  std::string error;
  ASSERT_TRUE(platform::AddTrustedCertificates(ca->Certificate().certificatePem, error)) << error;
  testsupport::SLeafOptions options;
  options.ipAddresses = {"127.0.0.1"};
  const testsupport::SIssued leaf = ca->IssueLeaf(options);
  testsupport::CHttpServer server({leaf.certificatePem, leaf.keyPem, std::string(4000, 'x')});
  Start(TARNWICK_DNSCRYPT_DOUBLE);
  const std::string url = "https://127.0.0.1:" + std::to_string(server.Port()) + "/dns-query";
  Log("[2026-12-11 " + url + "]: x509: certificate signed by unknown authority");
  ASSERT_TRUE(server.WaitForRequests(1));
  ASSERT_TRUE(RefreshEnded());
  EXPECT_TRUE(WaitForLine(L"Trying to update certificate for " + ToWide(url, false)));
  EXPECT_TRUE(WaitForLine(L"OpenURL success: " + ToWide(url, false)));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET /dns-query HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_NE(requests[0].find("\r\nCache-Control: no-cache"), std::string::npos) << requests[0];
  EXPECT_NE(requests[0].find("\r\nPragma: no-cache"), std::string::npos) << requests[0];
  EXPECT_EQ(server.FailedConnections(), 0);
}

TEST_F(Refresh, ARefusedPortGivesCurlsErrorAndTextsWithoutBothMarksStartNone) {
  // A port nobody listens on: bound, never listening.
  testsupport::CHttpServer* probe = new testsupport::CHttpServer();
  const uint16_t port = probe->Port();
  delete probe;
  Start(TARNWICK_DNSCRYPT_DOUBLE);
  Log("https://127.0.0.1/ certificate signed by unknown authority");  // no "]: "
  Log("[http://127.0.0.1/]: certificate signed by unknown authority");  // no "https://"
  EXPECT_TRUE(WaitForLine(L"DnsCrypt log: [http://127.0.0.1/]: certificate signed by unknown authority"));
  EXPECT_EQ(CountLines(L"Trying to update certificate"), 0);

  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/x";
  Log("[" + url + "]: certificate signed by unknown authority");
  ASSERT_TRUE(RefreshEnded());
  EXPECT_TRUE(WaitForLine(L"OpenURL error 7: "));
  EXPECT_TRUE(WaitForLine(L", URL=" + ToWide(url, false)));
}

}  // namespace
