#include "Quorvane/engine/dnssec/dnssec_chain.h"

namespace dnssec {

namespace {

size_t Count(const ldns_rr_list* list) { return list ? ldns_rr_list_rr_count(list) : 0; }

// The builder's result hung under chain as its parent, marked with the type
// that was asked for.
void SetParent(ldns_dnssec_data_chain* chain, ChainPtr parent, ldns_rr_type askedType) {
  if (!parent) return;
  if (chain->parent) ldns_dnssec_data_chain_deep_free(chain->parent);
  chain->parent = parent.release();
  chain->parent->packet_qtype = askedType;
}

}  // namespace

ldns_awaiter<ChainPtr> ldns_dnssec_build_data_chain_async(SDnssecResolver& res, uint16_t qflags,
                                                          const ldns_rr_list* rrset, const ldns_pkt* pkt,
                                                          RrPtr questionRecord) {
  ChainPtr chain(ldns_dnssec_data_chain_new());
  if (!chain || !pkt || res.chainDepth >= SDnssecResolver::kMaxChainDepth) co_return chain;
  struct SDepth {
    int& depth;
    explicit SDepth(int& d) : depth(++d) {}
    ~SDepth() { --depth; }
  } level(res.chainDepth);
  // No signatures at all: nothing to follow.
  if (!ldns_dnssec_pkt_has_rrsigs(pkt)) co_return chain;

  if (questionRecord) {
    const ldns_rr_type questionType = ldns_rr_get_type(questionRecord.get());
    chain->rrset = ldns_rr_list_new();
    if (!chain->rrset || !ldns_rr_list_push_rr(chain->rrset, questionRecord.get())) co_return nullptr;
    questionRecord.release();  // the chain holds it now
    SetParent(chain.get(), co_await ldns_dnssec_build_data_chain_async(res, qflags, rrset, pkt, nullptr),
              static_cast<ldns_rr_type>(0));
    chain->packet_rcode = ldns_pkt_get_rcode(pkt);
    chain->packet_qtype = questionType;
    if (ldns_pkt_ancount(pkt) == 0) chain->packet_nodata = true;
    co_return chain;
  }

  // Without a set, the packet's denial records are the set.
  RrListPtr denial;
  const ldns_rr_list* set = rrset;
  ldns_rr_type type = static_cast<ldns_rr_type>(0);
  if (Count(rrset) == 0) {
    chain->packet_nodata = true;
    for (ldns_rr_type denialType : {LDNS_RR_TYPE_NSEC, LDNS_RR_TYPE_NSEC3}) {
      denial.reset(ldns_pkt_rr_list_by_type(pkt, denialType, LDNS_SECTION_ANY_NOQUESTION));
      if (Count(denial.get()) > 0) {
        type = denialType;
        break;
      }
      denial.reset();
    }
    if (!denial) co_return chain;
    set = denial.get();
  }

  chain->rrset = ldns_rr_list_clone(set);
  if (!chain->rrset) co_return chain;
  const ldns_rr* first = ldns_rr_list_rr(chain->rrset, 0);
  const ldns_rdf* name = ldns_rr_owner(first);
  type = ldns_rr_get_type(first);
  const ldns_rr_class c = ldns_rr_get_class(first);

  RrListPtr signatures;
  if (type == LDNS_RR_TYPE_NSEC || type == LDNS_RR_TYPE_NSEC3) {
    // Several denials may be needed (wildcards): all their signatures.
    signatures.reset(ldns_dnssec_pkt_get_rrsigs_for_type(pkt, type));
  } else {
    signatures.reset(ldns_dnssec_pkt_get_rrsigs_for_name_and_type(pkt, name, type));
    if (!signatures) {
      PktPtr fetched;
      co_await ldns_resolver_query_async(&fetched, res, name, type, c, qflags);
      if (fetched) signatures.reset(ldns_dnssec_pkt_get_rrsigs_for_name_and_type(fetched.get(), name, type));
    }
  }

  const ldns_rdf* keyName = Count(signatures.get()) > 0 ? ldns_rr_rdf(ldns_rr_list_rr(signatures.get(), 0), 7) : nullptr;
  if (!keyName) {
    co_return co_await ldns_dnssec_build_data_chain_nokeyname_async(res, qflags, nullptr, rrset, std::move(chain));
  }
  if (type != LDNS_RR_TYPE_DNSKEY) {
    co_await ldns_dnssec_build_data_chain_dnskey_async(res, qflags, pkt, signatures.get(), chain.get(), keyName, c);
  } else {
    co_await ldns_dnssec_build_data_chain_other_async(res, qflags, chain.get(), keyName, c);
  }
  co_return chain;
}

ldns_awaiter<bool> ldns_dnssec_build_data_chain_dnskey_async(SDnssecResolver& res, uint16_t qflags,
                                                            const ldns_pkt* pkt, const ldns_rr_list* signatures,
                                                            ldns_dnssec_data_chain* chain, const ldns_rdf* keyName,
                                                            ldns_rr_class c) {
  if (Count(signatures) == 0) co_return true;
  chain->signatures = ldns_rr_list_clone(signatures);
  chain->parent_type = static_cast<ldns_rr_type>(0);
  RrListPtr keys(ldns_pkt_rr_list_by_name_and_type(pkt, keyName, LDNS_RR_TYPE_DNSKEY, LDNS_SECTION_ANY_NOQUESTION));
  if (keys) {
    SetParent(chain, co_await ldns_dnssec_build_data_chain_async(res, qflags, keys.get(), pkt, nullptr),
              LDNS_RR_TYPE_DNSKEY);
    co_return true;
  }
  PktPtr fetched;
  co_await ldns_resolver_query_async(&fetched, res, keyName, LDNS_RR_TYPE_DNSKEY, c, qflags);
  if (!fetched) co_return true;
  keys.reset(
      ldns_pkt_rr_list_by_name_and_type(fetched.get(), keyName, LDNS_RR_TYPE_DNSKEY, LDNS_SECTION_ANY_NOQUESTION));
  SetParent(chain, co_await ldns_dnssec_build_data_chain_async(res, qflags, keys.get(), fetched.get(), nullptr),
            LDNS_RR_TYPE_DNSKEY);
  co_return true;
}

ldns_awaiter<bool> ldns_dnssec_build_data_chain_other_async(SDnssecResolver& res, uint16_t qflags,
                                                           ldns_dnssec_data_chain* chain, const ldns_rdf* keyName,
                                                           ldns_rr_class c) {
  chain->parent_type = static_cast<ldns_rr_type>(1);
  PktPtr fetched;
  co_await ldns_resolver_query_async(&fetched, res, keyName, LDNS_RR_TYPE_DS, c, qflags);
  if (fetched) {
    RrListPtr dss(
        ldns_pkt_rr_list_by_name_and_type(fetched.get(), keyName, LDNS_RR_TYPE_DS, LDNS_SECTION_ANY_NOQUESTION));
    if (dss) {
      SetParent(chain, co_await ldns_dnssec_build_data_chain_async(res, qflags, dss.get(), fetched.get(), nullptr),
                LDNS_RR_TYPE_DS);
    }
  }
  fetched.reset();
  // The key set's own signatures come from a fresh DNSKEY answer.
  co_await ldns_resolver_query_async(&fetched, res, keyName, LDNS_RR_TYPE_DNSKEY, c, qflags);
  if (!fetched) co_return true;
  RrListPtr keySignatures(
      ldns_pkt_rr_list_by_name_and_type(fetched.get(), keyName, LDNS_RR_TYPE_RRSIG, LDNS_SECTION_ANSWER));
  if (keySignatures) {
    if (chain->signatures) ldns_rr_list_deep_free(chain->signatures);
    chain->signatures = keySignatures.release();
  }
  co_return true;
}

ldns_awaiter<ChainPtr> ldns_dnssec_build_data_chain_nokeyname_async(SDnssecResolver& res, uint16_t qflags,
                                                                    const ldns_rr* questionRecord,
                                                                    const ldns_rr_list* rrset, ChainPtr chain) {
  const ldns_rdf* owner = nullptr;
  if (questionRecord) {
    owner = ldns_rr_owner(questionRecord);
  } else if (Count(rrset) > 0) {
    owner = ldns_rr_owner(ldns_rr_list_rr(rrset, 0));
  } else {
    co_return chain;
  }
  PktPtr fetched;
  co_await ldns_resolver_query_async(&fetched, res, owner, LDNS_RR_TYPE_DS, LDNS_RR_CLASS_IN, qflags);
  // A DS without signatures here is an error ldns leaves to the trust tree.
  if (!fetched || ldns_pkt_ancount(fetched.get()) > 0) co_return chain;
  SetParent(chain.get(), co_await ldns_dnssec_build_data_chain_async(res, qflags, nullptr, fetched.get(), nullptr),
            LDNS_RR_TYPE_DS);
  co_return chain;
}

}  // namespace dnssec
