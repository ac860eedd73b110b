// The host's own flow table, by 5-tuple: the platform's flows, which Linux
// does not keep for a datagram socket. A tuple seen for the first time is
// a new flow (the caller runs flow-established before classifying the
// packet). A flow ends when its socket is gone or it has been idle for
// kFlowIdleTimeout; an end found while a classification of that flow runs
// takes effect when the classification returns. At most a limit of flows
// is held: a new one beyond it ends the least recently active flow. I/O-free: time comes in as
// nanoseconds of a monotonic clock, the socket check as a callback.
// Safe from any thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

constexpr std::chrono::nanoseconds kFlowIdleTimeout = std::chrono::seconds(60);
constexpr std::chrono::nanoseconds kFlowSweepInterval = std::chrono::seconds(1);
// Flows held at most, contexts or not: well above the driver's own limit of
// contexts, so that the driver decides which diverted flow makes way.
constexpr size_t kFlowTableLimit = 4096;

// One end of a flow seen from this machine: local and remote address and
// port (host order), protocol, native family (AF_INET or AF_INET6). IPv4
// addresses use the first four bytes.
struct SFlowKey {
  int family = 0;
  uint8_t protocol = 0;
  std::array<uint8_t, 16> localAddress{};
  uint16_t localPort = 0;
  std::array<uint8_t, 16> remoteAddress{};
  uint16_t remotePort = 0;
  auto operator<=>(const SFlowKey&) const = default;
};

// What the host knows of the socket and process behind a flow, found once.
struct SFlowOwner {
  uint64_t socketInode = 0;
  uint32_t processId = 0;  // 0: no owner found
  uint32_t uid = 0;
};

// A context the driver associated with a flow, for one callout at one layer.
struct SFlowContext {
  uint64_t context = 0;
  uint16_t layerId = 0;
  uint32_t calloutId = 0;
};

struct SFlowEntry {
  uint64_t flowHandle = 0;
  SFlowKey key;
  uint64_t lastSeen = 0;  // ns
  std::optional<SFlowContext> context;
  std::optional<SFlowOwner> owner;
  int classifying = 0;
  bool ended = false;  // ended while classifying: removed when that returns
  std::optional<SFlowContext> removedWhileClassifying;  // its delete runs when that returns
};

class CFlowTable {
 public:
  explicit CFlowTable(size_t limit = kFlowTableLimit) : m_limit(limit) {}

  struct STouch {
    uint64_t flowHandle = 0;  // 0: not held, and not added
    bool isNew = false;
    std::optional<SFlowEntry> evicted;  // ended to make room: its context's delete is the caller's
  };
  // Finds the flow of key, or adds it unless add is false, and marks it
  // seen at now; also counts a classification in progress until
  // EndClassify. Adding at the limit evicts the least recently active flow
  // that no classification holds.
  STouch BeginClassify(const SFlowKey& key, uint64_t now, bool add = true);
  // What is due once the last running classification of a flow returns:
  // the flow itself when it ended meanwhile, a context removed meanwhile.
  struct SAfterClassify {
    std::optional<SFlowEntry> ended;
    std::optional<SFlowContext> removed;
  };
  SAfterClassify EndClassify(uint64_t flowHandle);

  std::optional<SFlowEntry> Find(uint64_t flowHandle) const;
  std::optional<SFlowEntry> FindByKey(const SFlowKey& key) const;
  bool SetOwner(uint64_t flowHandle, const SFlowOwner& owner);
  // False when the flow is gone, ending, or already has a context.
  bool AssociateContext(uint64_t flowHandle, const SFlowContext& context);
  enum class ERemoved { None, Now, AfterClassify };
  // Takes the context off and ends the flow, so nothing is injected for it
  // any more and its next packet starts a new flow (a context removed to
  // make way for another comes back when its flow is active again). Now:
  // the caller runs its delete; AfterClassify: it comes back from
  // EndClassify; None: there was none, and the flow stays.
  ERemoved RemoveContext(uint64_t flowHandle, std::optional<SFlowContext>* removed);
  // Takes every context of calloutId off flows not under classification.
  std::vector<SFlowContext> RemoveContextsOf(uint32_t calloutId);

  // Ends flows idle for kFlowIdleTimeout at now, and those whose socket
  // socketGone reports; returns the ended flows that are not under
  // classification (those follow from EndClassify).
  std::vector<SFlowEntry> Sweep(uint64_t now, const std::function<bool(const SFlowEntry&)>& socketGone);
  size_t Size() const;
  size_t Limit() const { return m_limit; }
  // Flows ended to make room, since the table was made.
  uint64_t Evicted() const;

 private:
  // Under the lock: takes the flow out of every index.
  void EraseLocked(std::map<uint64_t, SFlowEntry>::iterator it);

  const size_t m_limit;
  mutable std::mutex m_mutex;  // everything below
  std::map<SFlowKey, uint64_t> m_byKey;
  std::map<uint64_t, SFlowEntry> m_flows;
  std::set<std::pair<uint64_t, uint64_t>> m_byActivity;  // lastSeen, flowHandle
  uint64_t m_nextHandle = 1;
  uint64_t m_evicted = 0;
};
