// The one way the program includes ldns, and owning handles for the ldns
// objects it keeps. Without stdbool.h first, ldns's common.h may define bool,
// true and false as macros (it does when its build saw no stdbool.h). Wire
// buffers ldns allocates (ldns_pkt2wire) are released with free.
#pragma once

#include <stdbool.h>
#include <ldns/ldns.h>

#include <cstdlib>
#include <memory>

namespace platform {

struct SPktFree { void operator()(ldns_pkt* p) const { ldns_pkt_free(p); } };
struct SResolverDeepFree { void operator()(ldns_resolver* r) const { ldns_resolver_deep_free(r); } };
struct SRrListDeepFree { void operator()(ldns_rr_list* l) const { ldns_rr_list_deep_free(l); } };
struct SRrFree { void operator()(ldns_rr* r) const { ldns_rr_free(r); } };
struct SRdfDeepFree { void operator()(ldns_rdf* r) const { ldns_rdf_deep_free(r); } };
struct SBufferFree { void operator()(ldns_buffer* b) const { ldns_buffer_free(b); } };
struct SChainDeepFree {
  void operator()(ldns_dnssec_data_chain* c) const { ldns_dnssec_data_chain_deep_free(c); }
};
struct STreeFree { void operator()(ldns_dnssec_trust_tree* t) const { ldns_dnssec_trust_tree_free(t); } };
struct SMallocFree { void operator()(void* p) const { std::free(p); } };

using PktPtr = std::unique_ptr<ldns_pkt, SPktFree>;
using ResolverPtr = std::unique_ptr<ldns_resolver, SResolverDeepFree>;
using RrListPtr = std::unique_ptr<ldns_rr_list, SRrListDeepFree>;
using RrPtr = std::unique_ptr<ldns_rr, SRrFree>;
using RdfPtr = std::unique_ptr<ldns_rdf, SRdfDeepFree>;
using BufferPtr = std::unique_ptr<ldns_buffer, SBufferFree>;
using ChainPtr = std::unique_ptr<ldns_dnssec_data_chain, SChainDeepFree>;
using TreePtr = std::unique_ptr<ldns_dnssec_trust_tree, STreeFree>;
using BytesPtr = std::unique_ptr<uint8_t, SMallocFree>;

}  // namespace platform
