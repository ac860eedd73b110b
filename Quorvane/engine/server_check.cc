#include "Quorvane/engine/server_check.h"

#include <memory>

#include "Quorvane/config/hooks.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"

std::atomic<uint32_t> g_ServerCheckSequence{1};

namespace {

// A test host typed with its final dot would fail every test: the query
// appends one of its own.
std::string WithoutFinalDots(std::string host) {
  while (!host.empty() && host.back() == '.') host.pop_back();
  return host;
}

}  // namespace

bool PostCheckResult(platform::HWND owner, const CDnsServer& server, const std::optional<CDnsServer>& relay, bool ok,
                     uint32_t sequence, const std::wstring& text, bool retryAllowed) {
  auto result = std::make_unique<SServerCheckResult>();
  result->serverId = relay ? relay->id : server.id;
  result->tickMs = platform::GetTickCount64();
  result->ok = ok;
  result->sequence = sequence;
  result->text = text;
  result->retryAllowed = retryAllowed;
  if (!platform::PostWindowMessage(owner, WM_DNSCHECK_RESULT, reinterpret_cast<uintptr_t>(result.get()), 0)) {
    return false;
  }
  result.release();  // the receiver's now
  return true;
}

bool CEngineCheckTarget::SendTestRequest(uint8_t* message, uint32_t& length, const SDnsMessageInfo& info,
                                         const SServerCheck& check) {
  return m_engine.SendTestRequest(message, length, info, check);
}

void CEngineCheckTarget::OnServerChange(int kind, const CDnsServer& server, const CDnsServer& relay, bool check) {
  m_engine.OnServerChange(kind, server, relay, check);
}

CDnsServerChecker::CDnsServerChecker(CServerCheckEngine* engine) : m_engine(engine) {
  if (!m_engine) {
    static CEngineCheckTarget s_default(g_DnsEngine);
    m_engine = &s_default;
  }
}

CDnsServerChecker::~CDnsServerChecker() { Stop(); }

void CDnsServerChecker::Add(const CDnsServer& server, const CDnsServer& dnsCryptServer, std::string testHost,
                            int recheckSeconds) {
  SServerCheck& check = m_checks.emplace_back();
  check.server = server;
  check.dnsCryptServer = dnsCryptServer;
  check.testHost = WithoutFinalDots(std::move(testHost));
  check.recheckSeconds = recheckSeconds;
  check.retriesLeft = server.protocol == EDnsProtocol::Doq ? 1 : 0;
}

void CDnsServerChecker::Start(platform::HWND owner, const std::string& defaultTestHost) {
  const std::string host = WithoutFinalDots(defaultTestHost);
  for (SServerCheck& check : m_checks) {
    check.owner = owner;
    check.pending = true;
    check.running = false;
    if (check.testHost.empty()) check.testHost = host;
  }
  const int count = g_Configuration.checkerSettings.testsPerTime;
  for (int i = 0; i < count; ++i) SendNext();
}

const CDnsServer& CDnsServerChecker::TestedServer(const SServerCheck& check) {
  return check.dnsCryptServer.id != 0 ? check.dnsCryptServer : check.server;
}

std::optional<CDnsServer> CDnsServerChecker::TestedRelay(const SServerCheck& check) {
  if (check.dnsCryptServer.id == 0) return std::nullopt;
  return check.server;
}

bool CDnsServerChecker::SendNext() {
  const uint64_t now = platform::GetTickCount64();
  const int64_t wallNow = platform::WallTime();
  SServerCheck* next = nullptr;
  for (SServerCheck& check : m_checks) {
    if (check.running) continue;
    if (check.pending) {
      next = &check;
      break;
    }
    if (check.recheckSeconds == 0) continue;
    const uint64_t waited = (now - check.startTickMs) / 1000;  // whole seconds
    if (waited > static_cast<uint64_t>(check.recheckSeconds) || (check.nextCheckTime != 0 && wallNow > check.nextCheckTime)) {
      check.pending = true;
      check.nextCheckTime = 0;
      next = &check;
      break;
    }
  }
  if (!next) return false;
  SServerCheck& check = *next;
  check.startTickMs = now;
  check.running = true;
  check.sequence = g_ServerCheckSequence.fetch_add(1);

  std::wstring error;
  uint8_t buffer[kDnsPacketBufferSize];
  SDnsMessageInfo info;
  if (check.dnsCryptServer.id != 0 &&
      !(check.dnsCryptServer.protocol == EDnsProtocol::DnsCrypt && check.server.protocol == EDnsProtocol::Relay)) {
    error = L"Relay can only be tested with DNSCrypt server.";
  } else if (const int size = ComposeDnsRequestPacket(check.testHost, buffer); size < 0) {
    error = L"ComposeDnsRequestPacket failed.";
  } else {
    uint32_t length = static_cast<uint32_t>(size);
    std::string text;
    if (ParseDNSRequestPacket(buffer, length, info, text) != DnsParseOk) {
      error = L"ParseDNSRequestPacket failed with error: " + ToWide(text, false);
    } else if (!m_engine->SendTestRequest(buffer, length, info, check)) {
      error = L"SendTestRequest failed.";
    } else {
      return true;
    }
  }
  CLogMessage().SetError().Append(LogError, L"DNS Server Checker: " + error);
  PostFailure(check, error, false);
  return false;
}

void CDnsServerChecker::PostFailure(const SServerCheck& check, const std::wstring& text, bool retryAllowed) {
  // A failed post leaves the entry running; CheckTimeouts posts for it later.
  PostCheckResult(check.owner, TestedServer(check), TestedRelay(check), false, check.sequence, text, retryAllowed);
}

void CDnsServerChecker::CheckTimeouts() {
  const uint64_t now = platform::GetTickCount64();
  for (const SServerCheck& check : m_checks) {
    if (!check.running) continue;
    if (now - check.startTickMs > static_cast<uint64_t>(kTimeoutMs)) {
      PostFailure(check, L"Timeout", true);
    }
  }
}

void CDnsServerChecker::LogResult(const SServerCheck& check, const SServerCheckResult& result, int64_t elapsedMs) {
  CLogMessage message;
  if (check.server.protocol == EDnsProtocol::Relay) {
    message.Append(LogNormal, L"DNS Server Checker: Relay " + check.server.name)
        .Append(LogVerbose, L" (" + check.server.GetDisplayAddress() + L")");
  } else {
    message.Append(LogNormal, L"DNS Server Checker: Server " + check.server.name + L" (")
        .Append(LogNormal, ToWide(GetProtocolNames(check.server.protocol).second, false))
        .Append(LogVerbose, L", " + check.server.GetDisplayAddress())
        .Append(LogNormal, L")");
  }
  message.Append(LogNormal, L": ");
  if (result.ok) {
    message.Append(LogNormal, L"OK, rtt=").Append(LogNormal, static_cast<long long>(elapsedMs)).Append(LogNormal, L" ms");
  } else {
    message.Append(LogNormal, result.text);
  }
}

void CDnsServerChecker::EndTest(const SServerCheck& check) {
  const std::optional<CDnsServer> relay = TestedRelay(check);
  m_engine->OnServerChange(kServerChangeRemoved, TestedServer(check), relay ? *relay : CDnsServer{}, true);
}

bool CDnsServerChecker::OnResult(SServerCheckResult* result) {
  SServerCheck* found = nullptr;
  for (SServerCheck& check : m_checks) {
    if (check.sequence == result->sequence) {
      found = &check;
      break;
    }
  }
  // A test already decided (by a "Timeout", or an answer before a second
  // one) must not be decided again.
  if (!found || !found->running) return false;
  SServerCheck& check = *found;

  if (check.server.id == result->serverId) {
    const int64_t elapsed = static_cast<int64_t>(result->tickMs) - static_cast<int64_t>(check.startTickMs);
    LogResult(check, *result, elapsed);
    if (check.warmedUp && result->ok) result->rttMs = static_cast<int>(elapsed);
  } else {
    CLogMessage().SetError().Append(LogError, L"DNS Server Checker: Server ID mismatch.");
  }

  if (result->ok && !check.warmedUp) {
    // The first answer warms the path up; only the second one is timed.
    if (!check.done) check.warmedUp = true;
  } else if (!result->ok && result->retryAllowed && !check.warmedUp && check.retriesLeft > 0) {
    --check.retriesLeft;
  } else {
    check.pending = false;
    if (check.recheckSeconds == 0) {
      EndTest(check);
      check.warmedUp = result->ok && !check.done;
      check.done = true;
    }
  }
  check.running = false;
  SendNext();
  return true;
}

void CDnsServerChecker::Stop() {
  for (SServerCheck& check : m_checks) {
    if (check.done) continue;
    EndTest(check);
    check.done = true;
  }
  m_checks.clear();
}
