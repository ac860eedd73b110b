// The server checker over the real engine and its UDP transport against a
// real unbound on loopback, pumped as an owner window would: a working
// server answers twice with a measured time, a name without data fails with
// the engine's verdict, and a port that never answers times out.
#include "Quorvane/engine/server_check.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "Quorvane/engine/dns_engine.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/unbound_server.h"

namespace {

using namespace enginetest;
using testsupport::MakeServer;

constexpr int kPumpLimitMs = 8000;

TEST(ServerCheckPeer, WorkingMissingAndSilentServers) {
  testsupport::SUnboundOptions options;
  options.localZones = {"tarnwick.test. static"};
  options.localData = {"a.tarnwick.test. 300 IN A 192.0.2.7"};
  testsupport::CUnboundServer unbound(options);
  ASSERT_TRUE(unbound.Running());
  uint16_t silentPort = 0;
  const int silent = BoundLoopbackSocket(SOCK_DGRAM, silentPort);
  testsupport::LogCapture log(LogNormal);

  auto plainOn = [](uint32_t id, const wchar_t* name, uint16_t port) {
    CDnsServer server = MakeServer(id, name, EDnsProtocol::Plain, "127.0.0.1");
    server.port = port;
    return server;
  };
  CDnsEngine engine;
  ASSERT_TRUE(engine.Start());
  CEngineCheckTarget target(engine);
  platform::CMessageQueueWindow window;
  std::map<uint32_t, std::vector<SServerCheckResult>> results;
  {
    CDnsServerChecker checker(&target);
    checker.Add(plainOn(1, L"Up", unbound.Port()), CDnsServer{}, "", 0);
    checker.Add(plainOn(2, L"Missing", unbound.Port()), CDnsServer{}, "none.tarnwick.test", 0);
    checker.Add(plainOn(3, L"Silent", silentPort), CDnsServer{}, "", 0);
    checker.Start(window.Handle(), "a.tarnwick.test.");
    auto allDone = [&] {
      for (const SServerCheck& check : checker.m_checks)
        if (!check.done) return false;
      return true;
    };
    for (int waited = 0; waited < kPumpLimitMs && !allDone(); waited += 100) {
      platform::SWindowMessage message;
      if (window.WaitForMessage(message, 100)) {
        std::unique_ptr<SServerCheckResult> result(reinterpret_cast<SServerCheckResult*>(message.wParam));
        if (checker.OnResult(result.get())) results[result->serverId].push_back(*result);
      }
      checker.CheckTimeouts();
    }
    EXPECT_TRUE(allDone());
  }
  EXPECT_TRUE(engine.Stop());
  close(silent);
  for (const auto& message : window.TakeAll()) delete reinterpret_cast<SServerCheckResult*>(message.wParam);

  ASSERT_EQ(results[1].size(), 2u);
  EXPECT_TRUE(results[1][0].ok && results[1][1].ok);
  EXPECT_EQ(results[1][0].rttMs, -1);
  EXPECT_GE(results[1][1].rttMs, 0);
  EXPECT_LT(results[1][1].rttMs, CDnsServerChecker::kTimeoutMs);
  ASSERT_EQ(results[2].size(), 1u);
  EXPECT_EQ(results[2][0].text, L"Non-existent domain");
  ASSERT_EQ(results[3].size(), 1u);
  EXPECT_EQ(results[3][0].text, L"Timeout");
  int okLines = 0;
  for (const std::wstring& line : log.TakeTexts()) {
    if (line.rfind(L"DNS Server Checker: Server Up (Plain): OK, rtt=", 0) == 0) ++okLines;
  }
  EXPECT_EQ(okLines, 2);
}

}  // namespace
