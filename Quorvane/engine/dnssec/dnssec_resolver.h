// The coroutine resolver path: ldns's resolver road (query, send, send_pkt,
// send, send_buffer) as coroutines whose network step hands the query to the
// engine and suspends until the engine has stored the answer. Everything else
// (packets, wire form, TSIG) is ldns's own.
//
// On Linux as elsewhere ldns keeps its own resolver record; ours is a side
// object holding the callbacks beside it, since the library's record has no
// room for them. Without an exchange function ldns_send_buffer runs and the
// query goes out over ldns's own sockets.
//
// Threads: a resolver belongs to one validation and is used by the thread
// that advances that check.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "Quorvane/engine/dnssec/ldns_awaiter.h"
#include "Quorvane/engine/dnssec/ldns_handles.h"

namespace dnssec {

// Hands one sub-query to the engine and writes the sequence number under
// which its answer will appear; false when it could not be sent.
using DnssecSendFn = std::function<bool(uint8_t* query, uint32_t length, timeval timeout, uint32_t& sequence)>;
// True, with a heap copy of the answer (released with free), when the answer
// of that sequence number is there; false otherwise.
using DnssecPollFn = std::function<bool(uint32_t sequence, uint8_t** answer, timeval timeout, uint32_t* length)>;

struct SDnssecExchangeResult {};
// One sub-query: sends once, then polls on every resumption. reply stays
// null when the send failed.
ldns_awaiter<SDnssecExchangeResult> DnssecExchange(DnssecSendFn send, DnssecPollFn poll, ldns_buffer* query,
                                                  timeval timeout, BytesPtr* reply, size_t* replySize);
using DnssecExchangeFn = ldns_awaiter<SDnssecExchangeResult> (*)(DnssecSendFn, DnssecPollFn, ldns_buffer*, timeval,
                                                                 BytesPtr*, size_t*);

// The resolver: our callbacks beside ldns's record (from ldns_resolver_new).
struct SDnssecResolver {
  DnssecExchangeFn exchange = nullptr;  // null: ldns's own sockets
  DnssecSendFn send;
  DnssecPollFn poll;
  ldns_resolver* resolver = nullptr;
  // Chain levels being built now. An answer whose keys and signers lead
  // back to themselves would otherwise make the chain, and the stack, grow
  // without end; past kMaxChainDepth a level gets no parent (no trust).
  int chainDepth = 0;
  static constexpr int kMaxChainDepth = 64;

  SDnssecResolver() = default;
  ~SDnssecResolver();
  SDnssecResolver(const SDnssecResolver&) = delete;
  SDnssecResolver& operator=(const SDnssecResolver&) = delete;
};
using DnssecResolverPtr = std::unique_ptr<SDnssecResolver>;

// A resolver with ldns's defaults; null when ldns cannot make its record.
DnssecResolverPtr NewDnssecResolver();

// Stores the callbacks and the exchange, adds the never-contacted nameserver
// 0.0.0.0 (ldns requires one) and turns the random nameserver order off.
void SetupDnssecResolver(DnssecSendFn send, DnssecPollFn poll, SDnssecResolver& resolver, DnssecExchangeFn exchange);

// False when a record of pkt lacks fields its type requires, or is an NSEC3
// record at the root, of a hash other than SHA-1 or with a next hash too
// long for a label. ldns reads
// such records from the wire but asserts on them (ending the process) when
// it checks signatures and denials, so they never reach the chain.
bool HasCheckableRecords(const ldns_pkt* pkt);

// ldns's resolver functions as coroutines, with their arguments; packets come
// back owned. Each returns the library's status unchanged.
ldns_awaiter<ldns_enum_status> ldns_resolver_query_async(PktPtr* answer, SDnssecResolver& r, const ldns_rdf* name,
                                                         ldns_rr_type t, ldns_rr_class c, uint16_t flags);
ldns_awaiter<ldns_enum_status> ldns_resolver_query_status_async(PktPtr* answer, SDnssecResolver& r,
                                                                const ldns_rdf* name, ldns_rr_type t, ldns_rr_class c,
                                                                uint16_t flags);
ldns_awaiter<ldns_enum_status> ldns_resolver_send_async(PktPtr* answer, SDnssecResolver& r, const ldns_rdf* name,
                                                        ldns_rr_type t, ldns_rr_class c, uint16_t flags);
ldns_awaiter<ldns_enum_status> ldns_resolver_send_pkt_async(PktPtr* answer, SDnssecResolver& r, ldns_pkt* query);
ldns_awaiter<ldns_enum_status> ldns_send_async(PktPtr* answer, SDnssecResolver& r, const ldns_pkt* query);
ldns_awaiter<ldns_enum_status> ldns_send_buffer_async(PktPtr* answer, SDnssecResolver& r, ldns_buffer* query,
                                                      ldns_rdf* tsigMac);

}  // namespace dnssec
