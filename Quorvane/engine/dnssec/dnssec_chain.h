// The data-chain builders of the DNSSEC road: what ldns's exported
// ldns_dnssec_build_data_chain builds (the signed set, its signatures, and up
// the chain the DNSKEY and DS sets with theirs), with every resolver query an
// awaited coroutine of the resolver path and every recursion an awaited
// builder. ldns does not export its sub-builders, so these are ours.
//
// Ownership: a builder takes the question record it is given (the chain's
// first level holds it); everything else it is given stays the caller's and
// must outlive the builder.
#pragma once

#include <cstdint>

#include "Quorvane/engine/dnssec/dnssec_resolver.h"

namespace dnssec {

ldns_awaiter<ChainPtr> ldns_dnssec_build_data_chain_async(SDnssecResolver& res, uint16_t qflags,
                                                          const ldns_rr_list* rrset, const ldns_pkt* pkt,
                                                          RrPtr questionRecord);
// A non-DNSKEY set: its signatures, and the signer's DNSKEY set as parent.
ldns_awaiter<bool> ldns_dnssec_build_data_chain_dnskey_async(SDnssecResolver& res, uint16_t qflags,
                                                            const ldns_pkt* pkt, const ldns_rr_list* signatures,
                                                            ldns_dnssec_data_chain* chain, const ldns_rdf* keyName,
                                                            ldns_rr_class c);
// A DNSKEY set: the signer's DS set as parent, the key set's own signatures.
ldns_awaiter<bool> ldns_dnssec_build_data_chain_other_async(SDnssecResolver& res, uint16_t qflags,
                                                           ldns_dnssec_data_chain* chain, const ldns_rdf* keyName,
                                                           ldns_rr_class c);
// No signer: a denied DS for the set's owner as parent, where there is one.
ldns_awaiter<ChainPtr> ldns_dnssec_build_data_chain_nokeyname_async(SDnssecResolver& res, uint16_t qflags,
                                                                    const ldns_rr* questionRecord,
                                                                    const ldns_rr_list* rrset, ChainPtr chain);

}  // namespace dnssec
