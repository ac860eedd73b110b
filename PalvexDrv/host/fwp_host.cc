// The filtering platform of the host. Management objects live in memory;
// the first callout filter installs the netfilter chain and binds its
// queue, closing the session removes both. Each queued packet becomes one
// or two classifications: a UDP tuple not in the flow table first runs the
// flow-established layer, then every packet of a flow with a context runs
// the datagram layer; an outbound TCP SYN runs the auth-connect layer. Only
// outbound datagrams start flows.
// Verdicts: BLOCK at the datagram layer drops the packet (absorb), BLOCK
// at auth connect repeats it with the block mark (the chain resets the
// connect), anything else accepts. A worker thread runs injection
// completions and the once-a-second flow sweep. No lock of this file is
// held while the driver runs.
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "PalvexDrv/host/flow_owner.h"
#include "PalvexDrv/host/host_nbl.h"
#include "PalvexDrv/host/kernel_host.h"
#include "PalvexDrv/host/nfqueue_reader.h"
#include "PalvexDrv/host/process_identity.h"
#include "PalvexDrv/host/raw_injector.h"
#include "PalvexDrv/host/rule_chain.h"
#include "PalvexDrv/kernel/fwp.h"
#include "PalvexDrv/kernel/fwp_classify.h"
#include "PalvexDrv/kernel/ke.h"
#include "PalvexDrv/kernel/net_buffer.h"
#include "PalvexDrv/kernel/runtime_callouts.h"
#include "PalvexDrv/kernel/trace.h"

namespace {

struct SFilterRecord {
  uint64_t id = 0;
  uint16_t layerId = 0;
  GUID calloutKey;
  std::vector<SFilterCondition> conditions;  // of protocol and remote port only
};

struct SCompletion {
  FWPS_INJECT_COMPLETE0 fn = nullptr;
  void* context = nullptr;
  NET_BUFFER_LIST* list = nullptr;
};

struct SHostFwp {
  std::mutex mutex;  // everything below but the objects with their own locks
  khost::SFilteringConfig config;
  std::string error;
  HANDLE session = nullptr;
  bool dynamic = false;
  std::vector<GUID> providers, subLayers;
  std::vector<std::pair<GUID, uint16_t>> calloutObjects;  // key, layer
  std::vector<SFilterRecord> filters;
  CRuntimeCallouts runtime;
  uint64_t nextFilterId = 1;
  std::vector<HANDLE> transportHandles, streamHandles, redirectHandles;
  uintptr_t nextHandle = 0x1000;
  bool packetPath = false;  // chain, queue and injector up
  std::unique_ptr<CRuleChain> chain;
  std::deque<SCompletion> completions;
  std::condition_variable wake;
  bool stopping = false;
  std::thread worker;

  // Own locks.
  CNfQueueReader reader;
  CRawInjector injector;
  CFlowTable flows;
  CSocketOwnerFinder owners;
  std::atomic<pid_t> ownerHint{0};
  // Counters, written by the queue reader's thread.
  std::atomic<uint64_t> untrackedInbound{0}, ownerLookups{0}, queuedPackets{0};
};

SHostFwp& Fwp() {
  static SHostFwp fwp;
  return fwp;
}

HANDLE NewHandle() { return reinterpret_cast<HANDLE>(Fwp().nextHandle++); }

// The flow table's time, on the facade's own clock.
uint64_t NowNs() { return KeQueryUnbiasedInterruptTime() * 100u; }

bool Has(const std::vector<GUID>& keys, const GUID& key) { return std::find(keys.begin(), keys.end(), key) != keys.end(); }
bool Has(const std::vector<HANDLE>& handles, HANDLE handle) {
  return std::find(handles.begin(), handles.end(), handle) != handles.end();
}

int NativeFamily(uint16_t recordFamily) {
  return recordFamily == kRecordFamilyInet ? AF_INET : recordFamily == kRecordFamilyInet6 ? AF_INET6 : -1;
}

FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 FlowDeleteOf(uint32_t calloutId) {
  std::lock_guard lock(Fwp().mutex);
  const SRuntimeCallout* r = Fwp().runtime.ById(calloutId);
  return r ? r->callout.flowDeleteFn : nullptr;
}

void RunFlowDelete(const SFlowContext& context) {
  if (auto fn = FlowDeleteOf(context.calloutId)) fn(context.layerId, context.calloutId, context.context);
}

void RunAfterClassify(uint64_t flowHandle) {
  CFlowTable::SAfterClassify due = Fwp().flows.EndClassify(flowHandle);
  if (due.removed) RunFlowDelete(*due.removed);
  if (due.ended && due.ended->context) RunFlowDelete(*due.ended->context);
}

bool FlowHeld(const SFlowKey& key) { return Fwp().flows.FindByKey(key).has_value(); }

// ---- Reading a queued packet ------------------------------------------------

struct SParsedPacket {
  int family = 0;
  uint8_t protocol = 0;
  std::array<uint8_t, 16> source{}, destination{};
  uint16_t sourcePort = 0, destinationPort = 0;
  uint32_t ipHeaderSize = 0;
  uint8_t tcpFlags = 0;
};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool Parse(const uint8_t* data, size_t length, SParsedPacket& out) {
  if (length < 20) return false;
  unsigned version = data[0] >> 4;
  if (version == 4) {
    out.family = AF_INET;
    out.ipHeaderSize = (data[0] & 0x0F) * 4u;
    if (out.ipHeaderSize < 20 || (Get16(data + 6) & 0x1FFF) != 0) return false;  // later fragments carry no ports
    out.protocol = data[9];
    std::memcpy(out.source.data(), data + 12, 4);
    std::memcpy(out.destination.data(), data + 16, 4);
  } else if (version == 6) {
    if (length < 40) return false;
    out.family = AF_INET6;
    out.ipHeaderSize = 40;
    out.protocol = data[6];
    std::memcpy(out.source.data(), data + 8, 16);
    std::memcpy(out.destination.data(), data + 24, 16);
  } else {
    return false;
  }
  size_t transportSize = out.protocol == IPPROTO_TCP ? 20 : 8;
  if (out.protocol != IPPROTO_UDP && out.protocol != IPPROTO_TCP) return false;
  if (length < out.ipHeaderSize + transportSize) return false;
  const uint8_t* transport = data + out.ipHeaderSize;
  out.sourcePort = Get16(transport);
  out.destinationPort = Get16(transport + 2);
  if (out.protocol == IPPROTO_TCP) out.tcpFlags = transport[13];
  return true;
}

SFlowKey KeyOf(const SParsedPacket& p, bool inbound) {
  SFlowKey key;
  key.family = p.family;
  key.protocol = p.protocol;
  key.localAddress = inbound ? p.destination : p.source;
  key.localPort = inbound ? p.destinationPort : p.sourcePort;
  key.remoteAddress = inbound ? p.source : p.destination;
  key.remotePort = inbound ? p.sourcePort : p.destinationPort;
  return key;
}

// ---- One classification ------------------------------------------------------

struct SClassification {
  FWPS_INCOMING_VALUES values;
  FWPS_INCOMING_METADATA_VALUES metadata;
  SIncomingAddresses addresses;
  std::vector<uint8_t> appId, sid;
  FWP_BYTE_BLOB appIdBlob{}, sidBlob{};
  std::vector<uint8_t> memory;
  MDL mdl;
  NET_BUFFER buffer;
  NET_BUFFER_LIST list;
  SHostNblInfo info;
};

void SetEnds(SClassification& c, const SFlowKey& key) {
  SetIncomingEnds(c.values, c.addresses, key.family == AF_INET6, key.protocol, key.localAddress.data(), key.localPort,
                  key.remoteAddress.data(), key.remotePort);
}

// The ALE values: the process's image path and the user's SID, when known.
void SetIdentity(SClassification& c, const std::optional<SFlowOwner>& owner) {
  if (!owner) return;
  c.sid = UnixUserSid(owner->uid);
  SetIncomingBlob(c.values, FWPS_FIELD_ALE_USER_ID, FWP_SID, c.sidBlob, c.sid.data(), c.sid.size());
  if (owner->processId == 0) return;
  c.metadata.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_ID;
  c.metadata.processId = owner->processId;
  if (auto path = ProcessImagePath(static_cast<pid_t>(owner->processId))) {
    c.appId = Utf16LeWithNul(*path);
    SetIncomingBlob(c.values, FWPS_FIELD_ALE_APP_ID, FWP_BYTE_BLOB_TYPE, c.appIdBlob, c.appId.data(), c.appId.size());
  }
}

void SetFlow(SClassification& c, uint64_t flowHandle) {
  c.metadata.currentMetadataValues |= FWPS_METADATA_FIELD_FLOW_HANDLE | FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE;
  c.metadata.flowHandle = flowHandle;
  // The host's flows stand for the sockets too: a flow's handle names its
  // endpoint, and a send injection finds the flow's local end by it.
  c.metadata.transportEndpointHandle = flowHandle;
}

// The callouts whose filters match at layerId, with the flow's context.
std::vector<SCalloutCall> Matching(uint16_t layerId, const SFlowKey& key, const std::optional<SFlowContext>& context) {
  std::vector<SCalloutCall> calls;
  std::lock_guard lock(Fwp().mutex);
  for (const SFilterRecord& filter : Fwp().filters) {
    if (filter.layerId != layerId || !FilterConditionsMatch(filter.conditions, key.protocol, key.remotePort)) continue;
    AddCalloutCall(Fwp().runtime, filter.calloutKey, filter.id, [&](uint32_t calloutId) -> uint64_t {
      return context && context->calloutId == calloutId && context->layerId == layerId ? context->context : 0;
    }, calls);
  }
  return calls;
}

FWP_ACTION_TYPE RunCallouts(uint16_t layerId, const SFlowKey& key, const std::optional<SFlowContext>& context,
                            SClassification& c, void* layerData) {
  c.values.layerId = layerId;
  return RunCalloutCalls(Matching(layerId, key, context), &c.values, &c.metadata, layerData, nullptr,
                         FWPS_RIGHT_ACTION_WRITE)
      .action;
}

uint16_t Layer(FWPS_LAYER_ID v4, FWPS_LAYER_ID v6, int family) { return family == AF_INET6 ? v6 : v4; }

EHostInjectedBy InjectedBy(uint32_t mark) {
  std::lock_guard lock(Fwp().mutex);
  if (mark != 0 && mark == Fwp().config.ownMark) return EHostInjectedBy::Host;
  if (mark != 0 && mark == Fwp().config.foreignMark) return EHostInjectedBy::Other;
  return EHostInjectedBy::None;
}

EQueueVerdict ClassifyConnect(const SParsedPacket& p, const SFlowKey& key) {
  auto c = std::make_unique<SClassification>();
  SetEnds(*c, key);
  ++Fwp().ownerLookups;
  auto owner = ResolveFlowOwner(key, Fwp().ownerHint.load(), Fwp().owners);
  SetIdentity(*c, owner);
  (void)p;
  uint16_t layer = Layer(FWPS_LAYER_ALE_AUTH_CONNECT_V4, FWPS_LAYER_ALE_AUTH_CONNECT_V6, key.family);
  return RunCallouts(layer, key, std::nullopt, *c, nullptr) == FWP_ACTION_BLOCK ? EQueueVerdict::Repeat
                                                                                : EQueueVerdict::Accept;
}

EQueueVerdict ClassifyDatagram(const SQueuedPacket& queued, const SParsedPacket& p, const SFlowKey& key) {
  // Only a local socket's own send starts a flow: an inbound datagram of no
  // flow (unasked, or from anyone claiming port 53) passes at once, with
  // no owner lookup and no room taken in the table.
  CFlowTable::STouch touch = Fwp().flows.BeginClassify(key, NowNs(), !queued.inbound);
  if (!touch.flowHandle) {
    ++Fwp().untrackedInbound;
    return EQueueVerdict::Accept;
  }
  if (touch.evicted && touch.evicted->context) RunFlowDelete(*touch.evicted->context);
  if (touch.isNew) {
    ++Fwp().ownerLookups;
    auto owner = ResolveFlowOwner(key, Fwp().ownerHint.load(), Fwp().owners);
    if (owner) Fwp().flows.SetOwner(touch.flowHandle, *owner);
    auto c = std::make_unique<SClassification>();
    SetEnds(*c, key);
    SetIdentity(*c, owner);
    SetFlow(*c, touch.flowHandle);
    SetIncomingValue(c->values, FWPS_FIELD_DIRECTION, FWP_UINT32, queued.inbound ? FWP_DIRECTION_INBOUND : FWP_DIRECTION_OUTBOUND);
    RunCallouts(Layer(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4, FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6, key.family), key,
                std::nullopt, *c, nullptr);
  }
  auto entry = Fwp().flows.Find(touch.flowHandle);
  FWP_ACTION_TYPE action = FWP_ACTION_PERMIT;
  if (entry && entry->context) {
    auto c = std::make_unique<SClassification>();
    SetEnds(*c, key);
    SetFlow(*c, touch.flowHandle);
    if (entry->owner && entry->owner->processId) {
      c->metadata.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_ID;
      c->metadata.processId = entry->owner->processId;
    }
    SetIncomingValue(c->values, FWPS_FIELD_DIRECTION, FWP_UINT32, queued.inbound ? FWP_DIRECTION_INBOUND : FWP_DIRECTION_OUTBOUND);
    SetIncomingValue(c->values, FWPS_FIELD_INTERFACE_INDEX, FWP_UINT32, queued.inbound ? queued.inInterface : queued.outInterface);
    c->metadata.currentMetadataValues |= FWPS_METADATA_FIELD_IP_HEADER_SIZE | FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE;
    c->metadata.ipHeaderSize = p.ipHeaderSize;
    c->metadata.transportHeaderSize = 8;
    // Outbound data starts at the UDP header; inbound data after the
    // headers, which stay in front of it as headroom.
    uint32_t start = queued.inbound ? 0 : p.ipHeaderSize;
    c->memory.assign(queued.data + start, queued.data + queued.length);
    c->buffer.DataOffset = queued.inbound ? p.ipHeaderSize + 8 : 0;
    c->buffer.DataLength = static_cast<uint32_t>(c->memory.size()) - c->buffer.DataOffset;
    c->mdl = {nullptr, c->memory.data(), static_cast<uint32_t>(c->memory.size())};
    c->buffer.MdlChain = &c->mdl;
    c->list.FirstNetBuffer = &c->buffer;
    c->info.injectedBy = InjectedBy(queued.mark);
    c->list.BackendReserved = &c->info;
    action = RunCallouts(Layer(FWPS_LAYER_DATAGRAM_DATA_V4, FWPS_LAYER_DATAGRAM_DATA_V6, key.family), key,
                         entry->context, *c, &c->list);
  }
  RunAfterClassify(touch.flowHandle);
  return action == FWP_ACTION_BLOCK ? EQueueVerdict::Drop : EQueueVerdict::Accept;
}

void RunDueCompletions();

EQueueVerdict ClassifyQueued(const SQueuedPacket& queued) {
  ++Fwp().queuedPackets;
  SParsedPacket p;
  if (!Parse(queued.data, queued.length, p)) return EQueueVerdict::Accept;
  SFlowKey key = KeyOf(p, queued.inbound);
  bool syn = p.protocol == IPPROTO_TCP && (p.tcpFlags & 0x12) == 0x02;
  if (p.protocol == IPPROTO_UDP) return ClassifyDatagram(queued, p, key);
  if (syn && !queued.inbound) return ClassifyConnect(p, key);
  return EQueueVerdict::Accept;
}

void OnPacket(const SQueuedPacket& queued) {
  EQueueVerdict verdict = ClassifyQueued(queued);
  std::optional<uint32_t> mark;
  if (verdict == EQueueVerdict::Repeat) {
    std::lock_guard lock(Fwp().mutex);
    mark = Fwp().config.blockMark;
  }
  Fwp().reader.SetVerdict(queued.id, verdict, mark);
  RunDueCompletions();
}

// ---- The worker: completions and the sweep -----------------------------------

void RunDueCompletions() {
  std::deque<SCompletion> due;
  {
    std::lock_guard lock(Fwp().mutex);
    if (Fwp().completions.empty()) return;
    due.swap(Fwp().completions);
  }
  for (const SCompletion& completion : due) completion.fn(completion.context, completion.list, false);
}

void Work() {
  uint64_t nextSweep = NowNs() + uint64_t(kFlowSweepInterval.count());
  std::unique_lock lock(Fwp().mutex);
  for (;;) {
    Fwp().wake.wait_for(lock, std::chrono::milliseconds(200),
                        [] { return Fwp().stopping || !Fwp().completions.empty(); });
    std::deque<SCompletion> due = std::move(Fwp().completions);
    Fwp().completions.clear();
    bool stopping = Fwp().stopping;
    lock.unlock();
    for (const SCompletion& completion : due) completion.fn(completion.context, completion.list, false);
    if (stopping) return;
    uint64_t now = NowNs();
    if (now >= nextSweep) {
      nextSweep = now + uint64_t(kFlowSweepInterval.count());
      for (const SFlowEntry& ended : SweepFlows(Fwp().flows, now))
        if (ended.context) RunFlowDelete(*ended.context);
    }
    lock.lock();
  }
}

// Under the lock: binds the queue, opens the raw sockets, installs the
// chain, starts the reader and the worker.
NTSTATUS StartPacketPath() {
  SHostFwp& f = Fwp();
  if (f.packetPath || !f.config.netfilter) return STATUS_SUCCESS;
  std::string error;
  if (!f.reader.Open(f.config.queueNumber, error) || !f.injector.Open(f.config.ownMark, error)) {
    f.error = error;
    f.reader.Close();
    return STATUS_FWP_INVALID_PARAMETER;
  }
  f.chain = std::make_unique<CRuleChain>(SRuleChainConfig{f.config.chain, f.config.queueNumber, f.config.blockMark, f.config.ownMark});
  if (!f.chain->Install(error)) {
    f.error = error;
    f.chain.reset();
    f.reader.Close();
    return STATUS_FWP_INVALID_PARAMETER;
  }
  f.reader.Start(OnPacket);
  f.stopping = false;
  f.worker = std::thread(Work);
  f.packetPath = true;
  return STATUS_SUCCESS;
}

void StopPacketPath() {
  SHostFwp& f = Fwp();
  std::thread worker;
  std::unique_ptr<CRuleChain> chain;
  {
    std::lock_guard lock(f.mutex);
    if (!f.packetPath) return;
    f.packetPath = false;
    f.stopping = true;
    worker = std::move(f.worker);
    chain = std::move(f.chain);
  }
  f.wake.notify_all();
  // Rules first: from then on traffic bypasses the queue.
  chain.reset();
  f.reader.Close();
  if (worker.joinable()) worker.join();
}

}  // namespace

namespace khost {

void RunInjectionCompletions() { RunDueCompletions(); }

EQueueVerdict ClassifyQueuedPacket(const SQueuedPacket& queued) {
  EQueueVerdict verdict = ClassifyQueued(queued);
  RunDueCompletions();
  return verdict;
}

void ConfigureFiltering(const SFilteringConfig& config) {
  std::lock_guard lock(Fwp().mutex);
  Fwp().config = config;
}

std::string FilteringError() {
  std::lock_guard lock(Fwp().mutex);
  return Fwp().error;
}

void SetOwnerHint(pid_t pid) { Fwp().ownerHint = pid; }

SHostCounters HostCounters() {
  SHostFwp& f = Fwp();
  return {f.flows.Size(),           f.flows.Limit(),        f.flows.Evicted(),
          f.untrackedInbound.load(), f.ownerLookups.load(), f.queuedPackets.load()};
}

}  // namespace khost

// ---- Management ---------------------------------------------------------------

NTSTATUS FwpmEngineOpen0(const char16_t* serverName, uint32_t, void*, const FWPM_SESSION0* session,
                         HANDLE* engineHandle) {
  if (serverName) return STATUS_FWP_INVALID_PARAMETER;
  std::lock_guard lock(Fwp().mutex);
  if (Fwp().session) return STATUS_FWP_ALREADY_EXISTS;
  Fwp().session = NewHandle();
  Fwp().dynamic = session && (session->flags & FWPM_SESSION_FLAG_DYNAMIC);
  *engineHandle = Fwp().session;
  return STATUS_SUCCESS;
}

NTSTATUS FwpmEngineClose0(HANDLE engineHandle) {
  {
    std::lock_guard lock(Fwp().mutex);
    if (!engineHandle || engineHandle != Fwp().session) return STATUS_FWP_INVALID_PARAMETER;
    Fwp().session = nullptr;
    if (!Fwp().dynamic) return STATUS_SUCCESS;
    Fwp().providers.clear();
    Fwp().subLayers.clear();
    Fwp().calloutObjects.clear();
    Fwp().filters.clear();
  }
  StopPacketPath();
  return STATUS_SUCCESS;
}

NTSTATUS FwpmProviderAdd0(HANDLE engineHandle, const FWPM_PROVIDER0* provider, void*) {
  std::lock_guard lock(Fwp().mutex);
  if (!engineHandle || engineHandle != Fwp().session) return STATUS_FWP_INVALID_PARAMETER;
  if (Has(Fwp().providers, provider->providerKey)) return STATUS_FWP_ALREADY_EXISTS;
  Fwp().providers.push_back(provider->providerKey);
  return STATUS_SUCCESS;
}

NTSTATUS FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer, void*) {
  std::lock_guard lock(Fwp().mutex);
  if (!engineHandle || engineHandle != Fwp().session) return STATUS_FWP_INVALID_PARAMETER;
  if (Has(Fwp().subLayers, subLayer->subLayerKey)) return STATUS_FWP_ALREADY_EXISTS;
  if (subLayer->providerKey && !Has(Fwp().providers, *subLayer->providerKey)) return STATUS_FWP_NOT_FOUND;
  Fwp().subLayers.push_back(subLayer->subLayerKey);
  return STATUS_SUCCESS;
}

NTSTATUS FwpmCalloutAdd0(HANDLE engineHandle, const FWPM_CALLOUT0* callout, void*, uint32_t* id) {
  std::lock_guard lock(Fwp().mutex);
  SHostFwp& f = Fwp();
  if (!engineHandle || engineHandle != f.session) return STATUS_FWP_INVALID_PARAMETER;
  for (const auto& [key, layer] : f.calloutObjects)
    if (key == callout->calloutKey) return STATUS_FWP_ALREADY_EXISTS;
  if (callout->providerKey && !Has(f.providers, *callout->providerKey)) return STATUS_FWP_NOT_FOUND;
  uint16_t layer = FwpsLayerIdOfKey(callout->applicableLayer);
  if (!layer) return STATUS_FWP_NOT_FOUND;
  f.calloutObjects.emplace_back(callout->calloutKey, layer);
  if (id) *id = f.runtime.IdOf(callout->calloutKey);
  return STATUS_SUCCESS;
}

NTSTATUS FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, void*, uint64_t* id) {
  SFilterRecord record;
  SFilterAddNotice notice;
  {
    std::lock_guard lock(Fwp().mutex);
    SHostFwp& f = Fwp();
    if (!engineHandle || engineHandle != f.session) return STATUS_FWP_INVALID_PARAMETER;
    record.layerId = FwpsLayerIdOfKey(filter->layerKey);
    if (!record.layerId || !Has(f.subLayers, filter->subLayerKey)) return STATUS_FWP_NOT_FOUND;
    if (filter->providerKey && !Has(f.providers, *filter->providerKey)) return STATUS_FWP_NOT_FOUND;
    for (uint32_t i = 0; i < filter->numFilterConditions; ++i) {
      const FWPM_FILTER_CONDITION0& c = filter->filterCondition[i];
      if (!(c.fieldKey == FWPM_CONDITION_IP_PROTOCOL) && !(c.fieldKey == FWPM_CONDITION_IP_REMOTE_PORT))
        return STATUS_FWP_INVALID_PARAMETER;  // no netfilter rule for it
      record.conditions.push_back({c.fieldKey, FilterConditionValue(c.conditionValue)});
    }
    if (filter->action.type != FWP_ACTION_CALLOUT_TERMINATING) return STATUS_FWP_INVALID_PARAMETER;
    record.calloutKey = filter->action.calloutKey;
    bool calloutAdded = false;
    for (const auto& [key, layer] : f.calloutObjects)
      if (key == record.calloutKey && layer == record.layerId) calloutAdded = true;
    if (!calloutAdded) return STATUS_FWP_NOT_FOUND;
    record.id = f.nextFilterId++;
    notice = FilterAddNotice(f.runtime, record.calloutKey, record.id, filter->numFilterConditions);
  }
  if (NTSTATUS status = NotifyFilterAdd(notice, filter->filterKey); !NT_SUCCESS(status)) return status;
  std::lock_guard lock(Fwp().mutex);
  if (NTSTATUS status = StartPacketPath(); !NT_SUCCESS(status)) {
    TraceEvents(TRACE_LEVEL_ERROR, "FwpmFilterAdd0: " + Fwp().error);
    return status;
  }
  Fwp().filters.push_back(record);
  if (id) *id = record.id;
  return STATUS_SUCCESS;
}

// ---- Runtime callouts and flow contexts ---------------------------------------

NTSTATUS FwpsCalloutRegister1(DEVICE_OBJECT* deviceObject, const FWPS_CALLOUT1* callout, uint32_t* calloutId) {
  std::lock_guard lock(Fwp().mutex);
  return Fwp().runtime.Register(deviceObject, *callout, calloutId);
}

NTSTATUS FwpsCalloutUnregisterByKey0(const GUID* calloutKey) {
  uint32_t id = 0;
  {
    std::lock_guard lock(Fwp().mutex);
    id = Fwp().runtime.IdOf(*calloutKey);
  }
  if (!id) return STATUS_FWP_NOT_FOUND;
  for (const SFlowContext& context : Fwp().flows.RemoveContextsOf(id)) RunFlowDelete(context);
  std::lock_guard lock(Fwp().mutex);
  Fwp().runtime.Unregister(id);
  return STATUS_SUCCESS;
}

NTSTATUS FwpsFlowAssociateContext0(uint64_t flowId, uint16_t layerId, uint32_t calloutId, uint64_t flowContext) {
  {
    std::lock_guard lock(Fwp().mutex);
    if (!Fwp().runtime.ById(calloutId)) return STATUS_FWP_NOT_FOUND;
  }
  if (!Fwp().flows.Find(flowId)) return STATUS_NOT_FOUND;
  if (!Fwp().flows.AssociateContext(flowId, {flowContext, layerId, calloutId})) return STATUS_FWP_ALREADY_EXISTS;
  return STATUS_SUCCESS;
}

NTSTATUS FwpsFlowRemoveContext0(uint64_t flowId, uint16_t, uint32_t) {
  std::optional<SFlowContext> removed;
  switch (Fwp().flows.RemoveContext(flowId, &removed)) {
    case CFlowTable::ERemoved::None:
      return STATUS_NOT_FOUND;
    case CFlowTable::ERemoved::Now:
      RunFlowDelete(*removed);
      return STATUS_SUCCESS;
    case CFlowTable::ERemoved::AfterClassify:
      return STATUS_SUCCESS;
  }
  return STATUS_SUCCESS;
}

// ---- Injection -------------------------------------------------------------------

NTSTATUS FwpsInjectionHandleCreate0(uint16_t addressFamily, uint32_t flags, HANDLE* injectionHandle) {
  if (addressFamily != kFwpFamilyUnspecified && addressFamily != kRecordFamilyInet &&
      addressFamily != kRecordFamilyInet6)
    return STATUS_FWP_INVALID_PARAMETER;
  std::lock_guard lock(Fwp().mutex);
  *injectionHandle = NewHandle();
  (flags == FWPS_INJECTION_TYPE_STREAM ? Fwp().streamHandles : Fwp().transportHandles).push_back(*injectionHandle);
  return STATUS_SUCCESS;
}

NTSTATUS FwpsInjectionHandleDestroy0(HANDLE injectionHandle) {
  std::lock_guard lock(Fwp().mutex);
  for (auto* handles : {&Fwp().transportHandles, &Fwp().streamHandles}) {
    auto it = std::find(handles->begin(), handles->end(), injectionHandle);
    if (it == handles->end()) continue;
    handles->erase(it);
    return STATUS_SUCCESS;
  }
  return STATUS_FWP_INVALID_PARAMETER;
}

FWPS_PACKET_INJECTION_STATE FwpsQueryPacketInjectionState0(HANDLE injectionHandle,
                                                           const NET_BUFFER_LIST* netBufferList,
                                                           HANDLE* injectionContext) {
  if (injectionContext) *injectionContext = nullptr;
  const auto* info = static_cast<const SHostNblInfo*>(netBufferList->BackendReserved);
  if (!info || info->injectedBy == EHostInjectedBy::None) return FWPS_PACKET_NOT_INJECTED;
  if (info->injectedBy == EHostInjectedBy::Other) return FWPS_PACKET_INJECTED_BY_OTHER;
  std::lock_guard lock(Fwp().mutex);
  return Has(Fwp().transportHandles, injectionHandle) ? FWPS_PACKET_INJECTED_BY_SELF : FWPS_PACKET_INJECTED_BY_OTHER;
}

namespace {

// Completions wait this many before the worker is woken for them; below
// it they run when the request or packet that injected returns.
constexpr size_t kCompletionsBeforeWake = 256;

NTSTATUS Accept(NET_BUFFER_LIST* list, FWPS_INJECT_COMPLETE0 completion, void* context) {
  list->Status = STATUS_SUCCESS;
  bool wake;
  {
    std::lock_guard lock(Fwp().mutex);
    Fwp().completions.push_back({completion, context, list});
    wake = Fwp().completions.size() >= kCompletionsBeforeWake;
  }
  if (wake) Fwp().wake.notify_all();
  return STATUS_SUCCESS;
}

bool UsableTransportHandle(HANDLE handle, FWPS_INJECT_COMPLETE0 completion) {
  std::lock_guard lock(Fwp().mutex);
  return completion && Fwp().packetPath && Has(Fwp().transportHandles, handle);
}

}  // namespace

std::vector<uint8_t> HostListBytes(const NET_BUFFER_LIST* list) {
  std::vector<uint8_t> bytes;
  NetBufferListBytes(list, &bytes);  // a short chain leaves none
  return bytes;
}

NTSTATUS FwpsInjectTransportSendAsync0(HANDLE injectionHandle, HANDLE, uint64_t endpointHandle, uint32_t,
                                       const FWPS_TRANSPORT_SEND_PARAMS1* sendArgs, uint16_t addressFamily,
                                       uint32_t, NET_BUFFER_LIST* netBufferList, FWPS_INJECT_COMPLETE0 completionFn,
                                       void* completionContext) {
  int family = NativeFamily(addressFamily);
  if (!UsableTransportHandle(injectionHandle, completionFn) || !sendArgs || family < 0 ||
      sendArgs->remoteAddress.family != addressFamily)
    return STATUS_FWP_INVALID_PARAMETER;
  auto flow = Fwp().flows.Find(endpointHandle);
  if (!flow || flow->key.family != family) return STATUS_INJECT_NO_FLOW;
  std::array<uint8_t, 16> remote{};
  if (family == AF_INET)
    std::memcpy(remote.data(), sendArgs->remoteAddress.ipv4, 4);
  else
    std::memcpy(remote.data(), sendArgs->remoteAddress.ipv6.address, 16);
  std::vector<uint8_t> udp = HostListBytes(netBufferList);
  if (udp.size() < 8 || udp.size() > 0xFFFF - 40) return STATUS_INJECT_BAD_PACKET;
  std::vector<uint8_t> packet = BuildUdpPacket(family, flow->key.localAddress, remote, udp.data(), udp.size());
  NTSTATUS status = Fwp().injector.Inject(packet.data(), packet.size(), family, EInjectDirection::AsSent, FlowHeld);
  if (!NT_SUCCESS(status)) return status;
  return Accept(netBufferList, completionFn, completionContext);
}

NTSTATUS FwpsInjectTransportReceiveAsync0(HANDLE injectionHandle, HANDLE, void*, uint32_t, uint16_t addressFamily,
                                          uint32_t, uint32_t, uint32_t, NET_BUFFER_LIST* netBufferList,
                                          FWPS_INJECT_COMPLETE0 completionFn, void* completionContext) {
  int family = NativeFamily(addressFamily);
  if (!UsableTransportHandle(injectionHandle, completionFn) || family < 0) return STATUS_FWP_INVALID_PARAMETER;
  std::vector<uint8_t> packet = HostListBytes(netBufferList);
  NTSTATUS status =
      Fwp().injector.Inject(packet.data(), packet.size(), family, EInjectDirection::AsReceived, FlowHeld);
  if (!NT_SUCCESS(status)) return status;
  return Accept(netBufferList, completionFn, completionContext);
}

// No stream layer is registered, so no stream flow exists to inject into.
NTSTATUS FwpsStreamInjectAsync0(HANDLE, HANDLE, uint32_t, uint64_t, uint32_t, uint16_t, uint32_t, NET_BUFFER_LIST*,
                                size_t, FWPS_INJECT_COMPLETE0, void*) {
  return STATUS_NOT_IMPLEMENTED;
}

void FwpsCopyStreamDataToBuffer0(const FWPS_STREAM_DATA0* streamData, void* buffer, size_t bytesToCopy,
                                 size_t* bytesCopied) {
  std::vector<uint8_t> bytes = HostListBytes(streamData->netBufferListChain);
  size_t count = std::min({bytesToCopy, streamData->dataLength, bytes.size()});
  if (count) std::memcpy(buffer, bytes.data(), count);
  *bytesCopied = count;
}

// ---- Pended classifications and redirection -----------------------------------
// The host registers no connect-redirect layer; these keep the dormant
// mechanism's handles consistent and refuse what would need one.

NTSTATUS FwpsRedirectHandleCreate0(const GUID*, uint32_t, HANDLE* redirectHandle) {
  std::lock_guard lock(Fwp().mutex);
  *redirectHandle = NewHandle();
  Fwp().redirectHandles.push_back(*redirectHandle);
  return STATUS_SUCCESS;
}

void FwpsRedirectHandleDestroy0(HANDLE redirectHandle) {
  std::lock_guard lock(Fwp().mutex);
  auto& handles = Fwp().redirectHandles;
  handles.erase(std::remove(handles.begin(), handles.end(), redirectHandle), handles.end());
}

FWPS_CONNECTION_REDIRECT_STATE FwpsQueryConnectionRedirectState0(HANDLE, HANDLE, void** redirectContext) {
  if (redirectContext) *redirectContext = nullptr;
  return FWPS_CONNECTION_NOT_REDIRECTED;
}

NTSTATUS FwpsAcquireClassifyHandle0(const void*, uint32_t, uint64_t*) { return STATUS_NOT_IMPLEMENTED; }
void FwpsReleaseClassifyHandle0(uint64_t) {}
NTSTATUS FwpsPendClassify0(uint64_t, uint64_t, uint32_t, FWPS_CLASSIFY_OUT0*) { return STATUS_NOT_IMPLEMENTED; }
void FwpsCompleteClassify0(uint64_t, uint32_t, const FWPS_CLASSIFY_OUT0*) {}
NTSTATUS FwpsAcquireWritableLayerDataPointer0(uint64_t, uint64_t, uint32_t, void**, FWPS_CLASSIFY_OUT0*) {
  return STATUS_NOT_IMPLEMENTED;
}
void FwpsApplyModifiedLayerData0(uint64_t, void*, uint32_t) {}
