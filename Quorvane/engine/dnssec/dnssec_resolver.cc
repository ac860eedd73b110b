#include "Quorvane/engine/dnssec/dnssec_resolver.h"

#include <sys/time.h>

namespace dnssec {

namespace {

constexpr uint16_t kTruncationUdpSize = 4096;
constexpr uint32_t kTsigFudgeSeconds = 300;
// The longest hash whose base32 text fits a 63-byte label.
constexpr size_t kMaxLabelHashBytes = 39;

}  // namespace

void ResumeAwaiterChain(SAwaiterPromiseBase* a, SAwaiterPromiseBase* b) {
  if (!a || !a->child || a->child.done()) return;
  if (b && b->child && !b->child.done()) {
    ResumeAwaiterChain(b, b->childPromise);
    if (!b->child.done()) return;
  }
  if (!a->child.done()) a->child.resume();
}

bool HasCheckableRecords(const ldns_pkt* pkt) {
  for (const ldns_rr_list* section : {ldns_pkt_answer(pkt), ldns_pkt_authority(pkt), ldns_pkt_additional(pkt)}) {
    for (size_t i = 0; section && i < ldns_rr_list_rr_count(section); ++i) {
      const ldns_rr* rr = ldns_rr_list_rr(section, i);
      const ldns_rr_descriptor* descriptor = ldns_rr_descript(ldns_rr_get_type(rr));
      if (descriptor && ldns_rr_rd_count(rr) < ldns_rr_descriptor_minimum(descriptor)) return false;
      for (size_t j = 0; j < ldns_rr_rd_count(rr); ++j) {
        if (!ldns_rr_rdf(rr, j)) return false;
      }
      if (ldns_rr_get_type(rr) == LDNS_RR_TYPE_NSEC3) {
        // The next hash becomes a label under the owner's parent.
        const ldns_rdf* next = ldns_nsec3_next_owner(rr);
        const size_t hashLength = next && ldns_rdf_size(next) > 0 ? ldns_rdf_size(next) - 1 : 0;
        // ldns hashes only with SHA-1, the one algorithm defined.
        if (hashLength == 0 || hashLength > kMaxLabelHashBytes || ldns_dname_label_count(ldns_rr_owner(rr)) < 1 ||
            ldns_nsec3_algorithm(rr) != LDNS_SHA1) {
          return false;
        }
      }
    }
  }
  return true;
}

SDnssecResolver::~SDnssecResolver() {
  // ldns's fields first; the callbacks go with the members afterwards.
  if (resolver) ldns_resolver_deep_free(resolver);
  resolver = nullptr;
}

DnssecResolverPtr NewDnssecResolver() {
  auto made = std::make_unique<SDnssecResolver>();
  made->resolver = ldns_resolver_new();
  if (!made->resolver) return nullptr;
  return made;
}

void SetupDnssecResolver(DnssecSendFn send, DnssecPollFn poll, SDnssecResolver& resolver, DnssecExchangeFn exchange) {
  resolver.send = std::move(send);
  resolver.poll = std::move(poll);
  resolver.exchange = exchange;
  RdfPtr nowhere(ldns_rdf_new_frm_str(LDNS_RDF_TYPE_A, "0.0.0.0"));
  if (nowhere) ldns_resolver_push_nameserver(resolver.resolver, nowhere.get());
  ldns_resolver_set_random(resolver.resolver, false);
}

ldns_awaiter<SDnssecExchangeResult> DnssecExchange(DnssecSendFn send, DnssecPollFn poll, ldns_buffer* query,
                                                  timeval timeout, BytesPtr* reply, size_t* replySize) {
  uint32_t sequence = 0;
  // An unsent query would only poll until the check's deadline.
  if (!send || !poll ||
      !send(ldns_buffer_begin(query), static_cast<uint32_t>(ldns_buffer_position(query)), timeout, sequence)) {
    co_return SDnssecExchangeResult{};
  }
  for (;;) {
    uint8_t* answer = nullptr;
    uint32_t length = 0;
    if (poll(sequence, &answer, timeout, &length)) {
      reply->reset(answer);
      *replySize = length;
      co_return SDnssecExchangeResult{};
    }
    co_await std::suspend_always{};
  }
}

ldns_awaiter<ldns_enum_status> ldns_send_buffer_async(PktPtr* answer, SDnssecResolver& r, ldns_buffer* query,
                                                      ldns_rdf* tsigMac) {
  if (!r.exchange) {
    ldns_pkt* got = nullptr;
    const ldns_status status = ldns_send_buffer(&got, r.resolver, query, tsigMac);
    answer->reset(got);
    if (got && !HasCheckableRecords(got)) {
      answer->reset();
      co_return LDNS_STATUS_WIRE_RDATA_ERR;
    }
    co_return static_cast<ldns_enum_status>(status);
  }
  if (ldns_resolver_nameserver_count(r.resolver) == 0) co_return LDNS_STATUS_RES_NO_NS;
  if (ldns_resolver_random(r.resolver)) ldns_resolver_nameservers_randomize(r.resolver);

  // One round to the engine: no retries, no retransmission wait.
  timeval start{};
  gettimeofday(&start, nullptr);
  BytesPtr reply;
  size_t replySize = 0;
  co_await r.exchange(r.send, r.poll, query, ldns_resolver_timeout(r.resolver), &reply, &replySize);
  if (!reply) {
    ldns_resolver_set_nameserver_rtt(r.resolver, 0, LDNS_RESOLV_RTT_INF);
    co_return LDNS_STATUS_RES_NO_NS;
  }
  ldns_pkt* parsed = nullptr;
  ldns_status status = ldns_wire2pkt(&parsed, reply.get(), replySize);
  if (status != LDNS_STATUS_OK) co_return static_cast<ldns_enum_status>(status);
  PktPtr packet(parsed);
  if (!HasCheckableRecords(parsed)) co_return LDNS_STATUS_WIRE_RDATA_ERR;
  timeval end{};
  gettimeofday(&end, nullptr);
  const long ms = (end.tv_sec - start.tv_sec) * 1000L + (end.tv_usec - start.tv_usec) / 1000L;
  ldns_pkt_set_querytime(parsed, static_cast<uint32_t>(ms < 0 ? 0 : ms));
  ldns_pkt_set_answerfrom(parsed, ldns_rdf_clone(ldns_resolver_nameservers(r.resolver)[0]));
  ldns_pkt_set_timestamp(parsed, end);
  ldns_pkt_set_size(parsed, replySize);
  if (tsigMac && ldns_resolver_tsig_keyname(r.resolver) && ldns_resolver_tsig_keydata(r.resolver) &&
      !ldns_pkt_tsig_verify(parsed, reply.get(), replySize, ldns_resolver_tsig_keyname(r.resolver),
                            ldns_resolver_tsig_keydata(r.resolver), tsigMac)) {
    status = LDNS_STATUS_CRYPTO_TSIG_BOGUS;
  }
  *answer = std::move(packet);
  co_return static_cast<ldns_enum_status>(status);
}

ldns_awaiter<ldns_enum_status> ldns_send_async(PktPtr* answer, SDnssecResolver& r, const ldns_pkt* query) {
  BufferPtr wire(ldns_buffer_new(LDNS_MAX_PACKETLEN));
  if (!wire) co_return LDNS_STATUS_MEM_ERR;
  ldns_rdf* tsigMac = ldns_pkt_tsig(query) ? ldns_rr_rdf(ldns_pkt_tsig(query), 3) : nullptr;
  const ldns_status status = ldns_pkt2buffer_wire(wire.get(), query);
  if (status != LDNS_STATUS_OK) co_return static_cast<ldns_enum_status>(status);
  co_return co_await ldns_send_buffer_async(answer, r, wire.get(), tsigMac);
}

ldns_awaiter<ldns_enum_status> ldns_resolver_send_pkt_async(PktPtr* answer, SDnssecResolver& r, ldns_pkt* query) {
  PktPtr got;
  ldns_enum_status status = co_await ldns_send_async(&got, r, query);
  if (status != LDNS_STATUS_OK) {
    got.reset();
  } else if (!ldns_resolver_usevc(r.resolver) && ldns_resolver_fallback(r.resolver) && ldns_pkt_tc(got.get())) {
    // Truncated: EDNS first, then TCP.
    if (ldns_pkt_edns_udp_size(query) == 0) {
      ldns_pkt_set_edns_udp_size(query, kTruncationUdpSize);
      got.reset();
      status = co_await ldns_send_async(&got, r, query);
    }
    if (status != LDNS_STATUS_OK || !got || ldns_pkt_tc(got.get())) {
      ldns_resolver_set_usevc(r.resolver, true);
      got.reset();
      status = co_await ldns_send_async(&got, r, query);
      ldns_resolver_set_usevc(r.resolver, false);
    }
  }
  *answer = std::move(got);
  co_return status;
}

ldns_awaiter<ldns_enum_status> ldns_resolver_send_async(PktPtr* answer, SDnssecResolver& r, const ldns_rdf* name,
                                                        ldns_rr_type t, ldns_rr_class c, uint16_t flags) {
  ldns_pkt* prepared = nullptr;
  ldns_status status = ldns_resolver_prepare_query_pkt(&prepared, r.resolver, name, t, c, flags);
  PktPtr query(prepared);
  if (status != LDNS_STATUS_OK) co_return static_cast<ldns_enum_status>(status);
  if (ldns_resolver_tsig_keyname(r.resolver) && ldns_resolver_tsig_keydata(r.resolver)) {
    status = ldns_pkt_tsig_sign(prepared, ldns_resolver_tsig_keyname(r.resolver),
                                ldns_resolver_tsig_keydata(r.resolver), kTsigFudgeSeconds,
                                ldns_resolver_tsig_algorithm(r.resolver), nullptr);
    if (status != LDNS_STATUS_OK) co_return LDNS_STATUS_CRYPTO_TSIG_ERR;
  }
  co_return co_await ldns_resolver_send_pkt_async(answer, r, prepared);
}

ldns_awaiter<ldns_enum_status> ldns_resolver_query_status_async(PktPtr* answer, SDnssecResolver& r,
                                                                const ldns_rdf* name, ldns_rr_type t, ldns_rr_class c,
                                                                uint16_t flags) {
  if (!ldns_resolver_defnames(r.resolver) || !ldns_resolver_domain(r.resolver)) {
    co_return co_await ldns_resolver_send_async(answer, r, name, t, c, flags);
  }
  RdfPtr full(ldns_rdf_clone(name));
  if (!full) co_return LDNS_STATUS_MEM_ERR;
  if (ldns_dname_cat(full.get(), ldns_resolver_domain(r.resolver)) != LDNS_STATUS_OK) co_return LDNS_STATUS_ERR;
  co_return co_await ldns_resolver_send_async(answer, r, full.get(), t, c, flags);
}

ldns_awaiter<ldns_enum_status> ldns_resolver_query_async(PktPtr* answer, SDnssecResolver& r, const ldns_rdf* name,
                                                         ldns_rr_type t, ldns_rr_class c, uint16_t flags) {
  PktPtr got;
  const ldns_enum_status status = co_await ldns_resolver_query_status_async(&got, r, name, t, c, flags);
  if (status != LDNS_STATUS_OK) got.reset();
  *answer = std::move(got);
  co_return status;
}

}  // namespace dnssec
