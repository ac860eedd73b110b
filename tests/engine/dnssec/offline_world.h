// DNSSEC zones signed by ldns in the test, at a pinned time, and a responder
// that answers chain queries from them as an authoritative server would:
//   test.          NSEC; DS for secure., secure3., expired.; insecure. unsigned
//   secure.test.   NSEC; www A, alias CNAME www, a wildcard-free chain
//   secure3.test.  NSEC3; www A
//   expired.test.  NSEC; signatures expired an hour before kNow
//   insecure.test. not signed
// The trust anchor is test.'s DS.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Quorvane/engine/dnssec/dnssec_resolver.h"

namespace dnssectest {

using Bytes = std::vector<uint8_t>;

constexpr int64_t kNow = 1'800'000'000;  // the pinned wall time
constexpr uint32_t kDay = 86400;

inline ldns_rr* Rr(const std::string& text) {
  ldns_rr* rr = nullptr;
  EXPECT_EQ(ldns_rr_new_frm_str(&rr, text.c_str(), 3600, nullptr, nullptr), LDNS_STATUS_OK) << text;
  return rr;
}

inline ldns_rdf* Name(const std::string& text) { return ldns_dname_new_frm_str(text.c_str()); }

inline std::string RrText(const ldns_rr* rr) {
  char* text = ldns_rr2str(rr);
  std::string out = text ? text : "";
  std::free(text);
  while (!out.empty() && (out.back() == '\n')) out.pop_back();
  return out;
}

inline Bytes ToWire(const ldns_pkt* pkt) {
  uint8_t* wire = nullptr;
  size_t size = 0;
  EXPECT_EQ(ldns_pkt2wire(&wire, pkt, &size), LDNS_STATUS_OK);
  Bytes out(wire, wire + size);
  std::free(wire);
  return out;
}

class CZone {
 public:
  CZone(std::string origin, bool sign, bool nsec3, uint32_t inception, uint32_t expiration)
      : m_origin(std::move(origin)), m_signed(sign), m_nsec3(nsec3) {
    if (!sign) return;
    m_keys = ldns_key_list_new();
    ldns_key* key = ldns_key_new_frm_algorithm(LDNS_SIGN_ECDSAP256SHA256, 256);
    EXPECT_NE(key, nullptr);
    ldns_key_set_pubkey_owner(key, Name(m_origin));
    ldns_key_set_flags(key, LDNS_KEY_ZONE_KEY | LDNS_KEY_SEP_KEY);
    ldns_key_set_inception(key, inception);
    ldns_key_set_expiration(key, expiration);
    m_dnskey = ldns_key2rr(key);
    ldns_key_set_keytag(key, ldns_calc_keytag(m_dnskey));
    ldns_key_list_push_key(m_keys, key);
  }
  ~CZone() {
    if (m_keys) ldns_key_list_free(m_keys);
    if (m_dnskey) ldns_rr_free(m_dnskey);
    if (m_zone) ldns_zone_deep_free(m_zone);
    for (ldns_rr* rr : m_pending) ldns_rr_free(rr);
  }
  CZone(const CZone&) = delete;
  CZone& operator=(const CZone&) = delete;

  const std::string& Origin() const { return m_origin; }
  bool Signed() const { return m_signed; }
  const ldns_rr* Dnskey() const { return m_dnskey; }
  // "origin IN DS ..." for the parent zone or a trust anchor.
  std::string DsText() const {
    ldns_rr* ds = ldns_key_rr2ds(m_dnskey, LDNS_SHA256);
    std::string text = RrText(ds);
    ldns_rr_free(ds);
    return text;
  }
  void Add(const std::string& text) { m_pending.push_back(Rr(text)); }

  // Signs (or, unsigned, just keeps) what was added.
  void Finish() {
    ldns_zone* zone = ldns_zone_new();
    ldns_zone_set_soa(zone, Rr(m_origin + " 3600 IN SOA ns." + m_origin + " admin." + m_origin + " 1 3600 600 86400 300"));
    ldns_zone_push_rr(zone, Rr(m_origin + " 3600 IN NS ns." + m_origin));
    if (m_dnskey) ldns_zone_push_rr(zone, ldns_rr_clone(m_dnskey));
    for (ldns_rr* rr : m_pending) ldns_zone_push_rr(zone, rr);
    m_pending.clear();
    if (!m_signed) {
      m_zone = zone;
      return;
    }
    m_zone = m_nsec3 ? ldns_zone_sign_nsec3(zone, m_keys, LDNS_SHA1, 0, 0, 0, nullptr) : ldns_zone_sign(zone, m_keys);
    EXPECT_NE(m_zone, nullptr);
    ldns_zone_deep_free(zone);
  }

  // Every record, the SOA first.
  std::vector<const ldns_rr*> Records() const {
    std::vector<const ldns_rr*> out{ldns_zone_soa(m_zone)};
    const ldns_rr_list* rrs = ldns_zone_rrs(m_zone);
    for (size_t i = 0; i < ldns_rr_list_rr_count(rrs); ++i) out.push_back(ldns_rr_list_rr(rrs, i));
    return out;
  }

 private:
  std::string m_origin;
  bool m_signed, m_nsec3;
  ldns_key_list* m_keys = nullptr;
  ldns_rr* m_dnskey = nullptr;
  ldns_zone* m_zone = nullptr;
  std::vector<ldns_rr*> m_pending;
};

inline bool SameName(const ldns_rdf* a, const std::string& b) {
  ldns_rdf* name = Name(b);
  const bool same = ldns_dname_compare(a, name) == 0;
  ldns_rdf_deep_free(name);
  return same;
}

inline uint16_t CoveredType(const ldns_rr* rrsig) { return ldns_rdf2rr_type(ldns_rr_rrsig_typecovered(rrsig)); }

// What the responder puts into an answer; tests change one thing.
struct SResponseShape {
  bool denialSignatures = true;  // RRSIGs of the NSEC/NSEC3 records
  int forceRcode = -1;           // another RCODE than the data gives
  bool forceEmpty = false;       // no answer records, as a denial
};

class CWorld {
 public:
  CWorld()
      : m_test("test.", true, false, kNow - kDay, kNow + 30 * kDay),
        m_secure("secure.test.", true, false, kNow - kDay, kNow + 30 * kDay),
        m_secure3("secure3.test.", true, true, kNow - kDay, kNow + 30 * kDay),
        m_expired("expired.test.", true, false, kNow - 30 * kDay, kNow - 3600),
        m_insecure("insecure.test.", false, false, 0, 0) {
    for (CZone* child : {&m_secure, &m_secure3, &m_expired, &m_insecure}) {
      m_test.Add(child->Origin() + " 3600 IN NS ns." + child->Origin());
      if (child->Signed()) m_test.Add(child->DsText());
    }
    m_secure.Add("www.secure.test. 300 IN A 192.0.2.1");
    m_secure.Add("alias.secure.test. 300 IN CNAME www.secure.test.");
    m_secure.Add("mail.secure.test. 300 IN MX 10 www.secure.test.");
    m_secure3.Add("www.secure3.test. 300 IN A 192.0.2.3");
    m_expired.Add("www.expired.test. 300 IN A 192.0.2.4");
    m_insecure.Add("www.insecure.test. 300 IN A 192.0.2.5");
    for (CZone* zone : Zones()) zone->Finish();
  }

  std::vector<CZone*> Zones() { return {&m_test, &m_secure, &m_secure3, &m_expired, &m_insecure}; }
  std::string AnchorText() const { return m_test.DsText(); }

  // The authoritative answer to name/type, with the given DNS id.
  Bytes Respond(const std::string& qname, uint16_t qtype, uint16_t id, const SResponseShape& shape = {}) const {
    ldns_pkt* pkt = ldns_pkt_query_new(Name(qname), static_cast<ldns_rr_type>(qtype), LDNS_RR_CLASS_IN, LDNS_RD);
    ldns_pkt_set_id(pkt, id);
    ldns_pkt_set_qr(pkt, true);
    ldns_pkt_set_ra(pkt, true);
    const CZone* zone = ZoneFor(qname, qtype);
    if (!zone) {
      ldns_pkt_set_rcode(pkt, LDNS_RCODE_REFUSED);
    } else {
      ldns_pkt_set_aa(pkt, true);
      bool nameExists = false, found = false;
      for (const ldns_rr* rr : zone->Records()) {
        if (!SameName(ldns_rr_owner(rr), qname)) continue;
        nameExists = true;
        const uint16_t type = ldns_rr_get_type(rr);
        const bool wanted = type == qtype || (type == LDNS_RR_TYPE_RRSIG && CoveredType(rr) == qtype);
        if (wanted && !shape.forceEmpty) {
          found = found || type == qtype;
          ldns_pkt_push_rr(pkt, LDNS_SECTION_ANSWER, ldns_rr_clone(rr));
        }
      }
      if (!found) {
        // A denial: the SOA, and every NSEC or NSEC3 of the zone with their signatures.
        ldns_pkt_set_rcode(pkt, nameExists ? LDNS_RCODE_NOERROR : LDNS_RCODE_NXDOMAIN);
        for (const ldns_rr* rr : zone->Records()) {
          const uint16_t type = ldns_rr_get_type(rr);
          const uint16_t covered = type == LDNS_RR_TYPE_RRSIG ? CoveredType(rr) : 0;
          const bool denial = type == LDNS_RR_TYPE_NSEC || type == LDNS_RR_TYPE_NSEC3;
          const bool denialSig = covered == LDNS_RR_TYPE_NSEC || covered == LDNS_RR_TYPE_NSEC3;
          const bool soa = type == LDNS_RR_TYPE_SOA || covered == LDNS_RR_TYPE_SOA;
          if (soa || denial || (denialSig && shape.denialSignatures)) {
            ldns_pkt_push_rr(pkt, LDNS_SECTION_AUTHORITY, ldns_rr_clone(rr));
          }
        }
      }
    }
    if (shape.forceRcode >= 0) ldns_pkt_set_rcode(pkt, static_cast<uint8_t>(shape.forceRcode));
    Bytes out = ToWire(pkt);
    ldns_pkt_free(pkt);
    return out;
  }

 private:
  // The zone that answers: the longest origin the name is in; a DS of a
  // zone's own origin comes from its parent.
  const CZone* ZoneFor(const std::string& qname, uint16_t qtype) const {
    const CZone* best = nullptr;
    size_t bestLength = 0;
    ldns_rdf* name = Name(qname);
    for (const CZone* zone : {&m_test, &m_secure, &m_secure3, &m_expired, &m_insecure}) {
      ldns_rdf* origin = Name(zone->Origin());
      const bool equal = ldns_dname_compare(name, origin) == 0;
      const bool inside = equal || ldns_dname_is_subdomain(name, origin);
      if (inside && !(equal && qtype == LDNS_RR_TYPE_DS) && zone->Origin().size() > bestLength) {
        best = zone;
        bestLength = zone->Origin().size();
      }
      ldns_rdf_deep_free(origin);
    }
    ldns_rdf_deep_free(name);
    return best;
  }

  CZone m_test, m_secure, m_secure3, m_expired, m_insecure;
};

// The engine's side for a check in a test: every sub-query is answered by
// the world, at once or when released; what was asked is recorded.
class CFakeUpstream {
 public:
  explicit CFakeUpstream(const CWorld& world) : m_world(world) {}

  bool hold = false;      // answers wait for Release
  bool failSend = false;  // every send fails
  std::vector<std::string> asked;  // "name type" per sub-query
  int polls = 0;

  dnssec::DnssecSendFn Send() {
    return [this](uint8_t* query, uint32_t length, timeval, uint32_t& sequence) {
      if (failSend) return false;
      ldns_pkt* pkt = nullptr;
      if (ldns_wire2pkt(&pkt, query, length) != LDNS_STATUS_OK) return false;
      const ldns_rr* question = ldns_rr_list_rr(ldns_pkt_question(pkt), 0);
      char* name = ldns_rdf2str(ldns_rr_owner(question));
      const uint16_t type = ldns_rr_get_type(question);
      asked.push_back(std::string(name) + " " + std::to_string(type));
      sequence = m_next++;
      Bytes answer = m_world.Respond(name, type, ldns_pkt_id(pkt));
      std::free(name);
      ldns_pkt_free(pkt);
      (hold ? m_held : m_ready)[sequence] = std::move(answer);
      return true;
    };
  }
  dnssec::DnssecPollFn Poll() {
    return [this](uint32_t sequence, uint8_t** answer, timeval, uint32_t* length) {
      ++polls;
      auto it = m_ready.find(sequence);
      if (it == m_ready.end()) return false;
      *answer = static_cast<uint8_t*>(std::malloc(it->second.size()));
      std::memcpy(*answer, it->second.data(), it->second.size());
      *length = static_cast<uint32_t>(it->second.size());
      m_ready.erase(it);
      return true;
    };
  }
  // Makes every held answer pollable; false when none was held.
  bool Release() {
    if (m_held.empty()) return false;
    m_ready.merge(m_held);
    m_held.clear();
    return true;
  }

 private:
  const CWorld& m_world;
  uint32_t m_next = 1;
  std::map<uint32_t, Bytes> m_ready, m_held;
};

// Advances a check until it finishes (bounded), releasing held answers in
// between; the status, or -1 when it never finished.
inline int RunToEnd(dnssec::ldns_awaiter<ldns_enum_status>& check, CFakeUpstream& upstream, int* steps = nullptr) {
  for (int i = 0; i < 200; ++i) {
    dnssec::AdvanceAwaiter(check);
    if (check.Done()) {
      if (steps) *steps = i + 1;
      return check.Result();
    }
    upstream.Release();
  }
  return -1;
}

}  // namespace dnssectest
