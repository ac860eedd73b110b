#include "PalvexDrv/kernel/fwp_classify.h"

#include <cstring>

namespace {

uint32_t V4(const uint8_t* address) {
  return uint32_t{address[0]} << 24 | uint32_t{address[1]} << 16 | uint32_t{address[2]} << 8 | address[3];
}

void SetArray16(FWPS_INCOMING_VALUES& values, FWPS_FIELD field, FWP_BYTE_ARRAY16& storage, const uint8_t* address) {
  std::memcpy(storage.byteArray16, address, 16);
  FWP_VALUE& v = values.incomingValue[field].value;
  v.type = FWP_BYTE_ARRAY16_TYPE;
  v.byteArray16 = &storage;
}

}  // namespace

void SetIncomingValue(FWPS_INCOMING_VALUES& values, FWPS_FIELD field, FWP_DATA_TYPE type, uint32_t value) {
  FWP_VALUE& v = values.incomingValue[field].value;
  v.type = type;
  v.uint32 = 0;
  if (type == FWP_UINT8) v.uint8 = static_cast<uint8_t>(value);
  else if (type == FWP_UINT16) v.uint16 = static_cast<uint16_t>(value);
  else v.uint32 = value;
}

void SetIncomingEnds(FWPS_INCOMING_VALUES& values, SIncomingAddresses& storage, bool v6, uint8_t protocol,
                     const uint8_t* localAddress, uint16_t localPort, const uint8_t* remoteAddress,
                     uint16_t remotePort) {
  SetIncomingValue(values, FWPS_FIELD_IP_PROTOCOL, FWP_UINT8, protocol);
  SetIncomingValue(values, FWPS_FIELD_IP_LOCAL_PORT, FWP_UINT16, localPort);
  SetIncomingValue(values, FWPS_FIELD_IP_REMOTE_PORT, FWP_UINT16, remotePort);
  if (v6) {
    SetArray16(values, FWPS_FIELD_IP_LOCAL_ADDRESS, storage.local6, localAddress);
    SetArray16(values, FWPS_FIELD_IP_REMOTE_ADDRESS, storage.remote6, remoteAddress);
  } else {
    SetIncomingValue(values, FWPS_FIELD_IP_LOCAL_ADDRESS, FWP_UINT32, V4(localAddress));
    SetIncomingValue(values, FWPS_FIELD_IP_REMOTE_ADDRESS, FWP_UINT32, V4(remoteAddress));
  }
}

void SetIncomingBlob(FWPS_INCOMING_VALUES& values, FWPS_FIELD field, FWP_DATA_TYPE type, FWP_BYTE_BLOB& blob,
                     const uint8_t* data, size_t size) {
  blob = {static_cast<uint32_t>(size), data};
  FWP_VALUE& v = values.incomingValue[field].value;
  v.type = type;
  v.byteBlob = &blob;
}

uint32_t FilterConditionValue(const FWP_CONDITION_VALUE0& value) {
  return value.type == FWP_UINT8 ? value.uint8 : value.type == FWP_UINT16 ? value.uint16 : value.uint32;
}

SCalloutsVerdict RunCalloutCalls(const std::vector<SCalloutCall>& calls, const FWPS_INCOMING_VALUES* values,
                                 const FWPS_INCOMING_METADATA_VALUES* metadata, void* layerData,
                                 const void* classifyContext, uint32_t rights) {
  SCalloutsVerdict verdict;
  FWP_ACTION_TYPE last = FWP_ACTION_PERMIT;
  for (const SCalloutCall& call : calls) {
    FWPS_FILTER1 filter;
    filter.filterId = call.filterId;
    filter.action = {FWP_ACTION_CALLOUT_TERMINATING, call.callout.id};
    FWPS_CLASSIFY_OUT0 out;
    out.rights = rights;
    call.callout.callout.classifyFn(values, metadata, layerData, classifyContext, &filter, call.context, &out);
    ++verdict.calls;
    last = out.actionType;
    verdict.rights = out.rights;
    verdict.flags = out.flags;
    if (last == FWP_ACTION_BLOCK || last == FWP_ACTION_PERMIT) break;
  }
  verdict.action = last == FWP_ACTION_BLOCK ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT;
  return verdict;
}

SFilterAddNotice FilterAddNotice(const CRuntimeCallouts& runtime, const GUID& calloutKey, uint64_t filterId,
                                 uint32_t numFilterConditions) {
  SFilterAddNotice notice;
  if (const SRuntimeCallout* r = runtime.ByKey(calloutKey)) {
    notice.notify = r->callout.notifyFn;
    notice.filter.action = {FWP_ACTION_CALLOUT_TERMINATING, r->id};
  }
  notice.filter.filterId = filterId;
  notice.filter.numFilterConditions = numFilterConditions;
  return notice;
}

NTSTATUS NotifyFilterAdd(SFilterAddNotice& notice, const GUID& filterKey) {
  if (!notice.notify) return STATUS_SUCCESS;
  return notice.notify(FWPS_CALLOUT_NOTIFY_ADD_FILTER, &filterKey, &notice.filter);
}
