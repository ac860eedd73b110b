// The engine's side of DNSSEC validation: checks started for answers whose
// rule asks for it, their sub-queries over the normal upstream road, the
// sub-answers they poll, and the verdict that injects or drops the answer.
#include <cstdlib>
#include <cstring>

#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/engine/dnssec/dnssec_validation.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"

namespace {

// The engine whose DNSSEC section this thread is in, if any.
thread_local const CDnsEngine* t_dnssecSection = nullptr;

// Walks repeated for answers that arrived during a walk; each needs one
// synchronous answer, so a few are plenty.
constexpr int kMaxDnssecWalks = 8;

std::string Lower(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

void CDnsEngine::InDnssecSection(const std::function<void()>& body) {
  if (t_dnssecSection == this) {
    body();
    return;
  }
  std::lock_guard lock(m_dnssecChecksMutex);
  t_dnssecSection = this;
  body();
  t_dnssecSection = nullptr;
}

void CDnsEngine::WalkDnssecChecks() {
  if (t_dnssecSection == this) {
    // The walk running further up this thread goes round again.
    m_dnssecRewalk = true;
    return;
  }
  InDnssecSection([this] {
    int walks = 0;
    do {
      m_dnssecRewalk = false;
      for (auto it = m_dnssecChecks.begin(); it != m_dnssecChecks.end();) FinishDnssecCheck(it);
    } while (m_dnssecRewalk && ++walks < kMaxDnssecWalks);
  });
}

void CDnsEngine::StartDnssecCheck(std::vector<uint8_t> answer, const dnsDataType& data, const SDnsMessageInfo& info,
                                  std::vector<SDnsAnswerAddress> addresses, bool rejectUnsigned) {
  dnssec::DnssecSendFn send = [this, server = data.server, local = data.localAddresses](
                                  uint8_t* query, uint32_t length, timeval timeout, uint32_t& sequence) {
    return SendDnssecQuery(server, local, query, length, timeout, sequence);
  };
  dnssec::DnssecPollFn poll = [this](uint32_t sequence, uint8_t** out, timeval timeout, uint32_t* length) {
    return PollDnssecAnswer(sequence, out, timeout, length);
  };
  auto task = std::make_shared<dnssec::ldns_awaiter<ldns_enum_status>>(
      dnssec::DnssecCheckTask(answer, std::move(send), std::move(poll)));
  SDnssecCheck check;
  check.answer = std::move(answer);
  check.data = data;
  check.info = info;
  check.addresses = std::move(addresses);
  check.rejectUnsigned = rejectUnsigned;
  check.started = platform::TickSeconds();
  InDnssecSection([&] {
    auto it = m_dnssecChecks.emplace(std::move(task), std::move(check)).first;
    FinishDnssecCheck(it);
  });
}

void CDnsEngine::FinishDnssecCheck(DnssecCheckMap::iterator& it) {
  dnssec::ldns_awaiter<ldns_enum_status>& task = *it->first;
  dnssec::AdvanceAwaiter(task);
  if (!task.Done()) {
    ++it;
    return;
  }
  const int status = task.Result();
  const SDnssecCheck& check = it->second;
  const bool accepted = status == LDNS_STATUS_OK || (status == LDNS_STATUS_CRYPTO_NO_RRSIG && !check.rejectUnsigned);
  const std::wstring line =
      DnsNameToDisplayText(check.info.name.name) + L" - DNSSEC check " + dnssec::DnssecStatusText(status);
  if (accepted) {
    CLogMessage().Append(LogVerbose, line);
    InjectAnswer(check.answer, check.data);
  } else {
    CLogMessage().SetError().Append(LogError, line);
  }
  it = m_dnssecChecks.erase(it);
}

bool CDnsEngine::SendDnssecQuery(CDnsServer server, std::vector<sockaddr_storage> localAddresses, uint8_t* query,
                                 uint32_t length, timeval /*timeout*/, uint32_t& sequence) {
  dnsDataType data;
  data.kind = 1;
  sequence = m_dnssecSequence.fetch_add(1);
  std::memcpy(&data.clientAddress, &sequence, sizeof sequence);
  data.server = std::move(server);
  data.localAddresses = std::move(localAddresses);

  SDnsMessageInfo info;
  std::string error;
  if (!ParseInterceptedTraffic(query, length, info, error)) {
    CLogMessage().SetError().Append(LogError, DnsNameToDisplayText(info.name.name) +
                                                  L" - ParseInterceptedTraffic failed." + ToWide(error, false));
    return false;
  }
  if (LookupDnssecCache(info.qtype, info.name.lower, sequence, query, length)) {
    LogDnsRequest(LogDebug, L"DNSSEC request (cached)", info, nullptr, L"", 0);
    return true;
  }
  LogDnsRequest(LogVerbose, L"DNSSEC request", info, nullptr, L"", 0);
  // Registration re-encodes the query, so it gets the intake's room.
  if (length > kInterceptBufferSize) return false;
  std::vector<uint8_t> buffer(kInterceptBufferSize, 0);
  std::memcpy(buffer.data(), query, length);
  uint32_t routed = length;
  return RouteRequest(buffer.data(), routed, kInterceptBufferSize, info, false, false, data);
}

bool CDnsEngine::PollDnssecAnswer(uint32_t sequence, uint8_t** answer, timeval /*timeout*/, uint32_t* length) {
  auto store = m_dnssecStore.lock();
  auto it = store->answers.find(sequence);
  if (it == store->answers.end()) return false;
  const std::vector<uint8_t>& bytes = it->second.bytes;
  // ldns releases its buffers with free.
  auto* copy = static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  if (!copy) return false;
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  *answer = copy;
  *length = static_cast<uint32_t>(bytes.size());
  store->answers.erase(it);
  return true;
}

bool CDnsEngine::LookupDnssecCache(uint16_t qtype, const std::string& name, uint32_t sequence, const uint8_t* query,
                                   uint32_t length) {
  const int64_t now = platform::TickSeconds();
  auto store = m_dnssecStore.lock();
  auto it = store->cache.find({qtype, Lower(name)});
  if (it == store->cache.end()) return false;
  if (it->second.expires <= now) {
    store->cache.erase(it);
    return false;
  }
  if (length <= 1 || it->second.bytes.size() < 2) return false;
  SDnssecAnswer stored{it->second.bytes, now};
  stored.bytes[0] = query[0];
  stored.bytes[1] = query[1];
  store->answers[sequence] = std::move(stored);
  return true;
}

void CDnsEngine::OnDnssecSubAnswer(uint32_t sequence, const std::vector<uint8_t>& answer, const SDnsMessageInfo& info) {
  const int64_t now = platform::TickSeconds();
  const std::optional<uint32_t> lifetime = dnssec::DnssecCacheLifetime(answer.data(), answer.size());
  {
    auto store = m_dnssecStore.lock();
    store->answers[sequence] = SDnssecAnswer{answer, now};
    if (lifetime && *lifetime > 0) {
      auto& cache = store->cache;
      const auto key = std::make_pair(info.qtype, Lower(info.name.name));
      if (cache.size() >= kDnssecCacheMax && cache.count(key) == 0) {
        // Full: the entry that would expire first makes room.
        auto first = cache.begin();
        for (auto it = cache.begin(); it != cache.end(); ++it) {
          if (it->second.expires < first->second.expires) first = it;
        }
        cache.erase(first);
      }
      cache[key] = SDnssecCacheEntry{answer, now + *lifetime};
    }
  }
  WalkDnssecChecks();
}

void CDnsEngine::ExpireDnssecState(int64_t now) {
  InDnssecSection([&] {
    for (auto it = m_dnssecChecks.begin(); it != m_dnssecChecks.end();) {
      if (now - it->second.started < kDnssecCheckSeconds) {
        ++it;
        continue;
      }
      CLogMessage().SetError().Append(LogError, DnsNameToDisplayText(it->second.info.name.name) +
                                                    L" - DNSSEC check failed (timeout)");
      it = m_dnssecChecks.erase(it);
    }
  });
  auto store = m_dnssecStore.lock();
  std::erase_if(store->answers, [&](const auto& entry) { return now - entry.second.stored >= kDnssecCheckSeconds; });
  std::erase_if(store->cache, [&](const auto& entry) { return entry.second.expires <= now; });
}
