#include "Quorvane/engine/dnssec/dnssec_validation.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "Quorvane/engine/dnssec/dnssec_chain.h"
#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/paths.h"

namespace dnssec {

namespace {

constexpr ldns_enum_status kNameUnreadable = LDNS_STATUS_EMPTY_LABEL;     // 1
constexpr ldns_enum_status kAnswerUnreadable = LDNS_STATUS_NO_DATA;       // 51
static_assert(kNameUnreadable == 1 && kAnswerUnreadable == 51 && LDNS_STATUS_INTERNAL_ERR == 9 &&
              LDNS_STATUS_CRYPTO_NO_RRSIG == 28 && LDNS_STATUS_CRYPTO_NO_DNSKEY == 29 &&
              LDNS_STATUS_DNSSEC_EXISTENCE_DENIED == 72 && LDNS_STATUS_ERR == 11);

constexpr uint8_t kRcodeNoError = 0;
constexpr uint8_t kRcodeNxDomain = 3;

std::mutex g_folderMutex;
std::optional<std::filesystem::path> g_programFolder;  // under g_folderMutex

std::filesystem::path ProgramFolder() {
  {
    std::lock_guard lock(g_folderMutex);
    if (g_programFolder) return *g_programFolder;
  }
  return platform::ModuleFilePath().parent_path();
}

std::string OwnerText(const ldns_rdf* owner) {
  char* text = ldns_rdf2str(owner);
  std::string out = text ? text : "";
  std::free(text);
  return out;
}

// The set to validate: the question's own, or its CNAME, in the answer or
// authority section.
RrListPtr FindValidatedSet(const ldns_pkt* pkt, const ldns_rdf* name, ldns_rr_type type) {
  const struct {
    ldns_rr_type type;
    ldns_pkt_section section;
  } places[] = {{type, LDNS_SECTION_ANSWER},
                {type, LDNS_SECTION_AUTHORITY},
                {LDNS_RR_TYPE_CNAME, LDNS_SECTION_ANSWER},
                {LDNS_RR_TYPE_CNAME, LDNS_SECTION_AUTHORITY}};
  for (const auto& place : places) {
    RrListPtr set(ldns_pkt_rr_list_by_name_and_type(pkt, name, place.type, place.section));
    if (set && ldns_rr_list_rr_count(set.get()) > 0) return set;
  }
  // A signed denial holds no set of the question, only SOA and NSEC or NSEC3
  // records: the NSEC records prove it (the SOA set would pass a forged one).
  if (ldns_pkt_ancount(pkt) == 0) {
    for (ldns_rr_type denial : {LDNS_RR_TYPE_NSEC, LDNS_RR_TYPE_NSEC3}) {
      RrListPtr set(ldns_pkt_rr_list_by_type(pkt, denial, LDNS_SECTION_AUTHORITY));
      if (set && ldns_rr_list_rr_count(set.get()) > 0) return set;
    }
  }
  return nullptr;
}

}  // namespace

void SetProgramFolderForTesting(std::optional<std::filesystem::path> folder) {
  std::lock_guard lock(g_folderMutex);
  g_programFolder = std::move(folder);
}

ldns_enum_status ReadTrustAnchors(ldns_rr_list* anchors) {
  std::string tried;
  FILE* file = nullptr;
  int error = 0;
  for (const std::filesystem::path& path :
       {std::filesystem::path(kTrustAnchorFile), ProgramFolder() / kTrustAnchorFile}) {
    tried = path.string();
    file = std::fopen(tried.c_str(), "r");
    if (file) break;
    error = errno;
  }
  if (!file) {
    std::fprintf(stderr, "Error opening %s: %s\n", tried.c_str(), std::strerror(error));
    return LDNS_STATUS_ERR;
  }
  const ldns_enum_status status = ReadTrustAnchors(file, anchors);
  std::fclose(file);
  return status;
}

ldns_enum_status ReadTrustAnchors(FILE* file, ldns_rr_list* anchors) {
  std::vector<char> line(kTrustAnchorLineMax + 1);
  int lineNumber = 0;
  size_t kept = 0;
  while (std::fgets(line.data(), static_cast<int>(line.size()), file)) {
    ++lineNumber;
    size_t length = std::strlen(line.data());
    if (length > 0 && line[length - 1] == '\n') {
      line[--length] = '\0';
      // Written on Windows: CR LF.
      if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
    }
    if (length == 0 || line[0] == ';') continue;
    ldns_rr* rr = nullptr;
    const ldns_status status = ldns_rr_new_frm_str(&rr, line.data(), 0, nullptr, nullptr);
    if (status != LDNS_STATUS_OK) {
      std::fprintf(stderr, "Error parsing DNSKEY RR in line %d: %s\n", lineNumber, ldns_get_errorstr_by_id(status));
      continue;
    }
    // ldns reads "TYPEn" of any size into its enum: keep it as a number.
    const uint32_t type = ldns_rr_get_type(rr);
    if ((type == LDNS_RR_TYPE_DNSKEY || type == LDNS_RR_TYPE_DS) && ldns_rr_list_push_rr(anchors, rr)) {
      ++kept;
    } else {
      ldns_rr_free(rr);
    }
  }
  return kept > 0 ? LDNS_STATUS_OK : LDNS_STATUS_ERR;
}

ldns_awaiter<ldns_enum_status> ValidateDnssecAnswer(const uint8_t* answer, size_t length, DnssecSendFn send,
                                                    DnssecPollFn poll) {
  RrListPtr anchors(ldns_rr_list_new());
  DnssecResolverPtr resolver = NewDnssecResolver();
  if (!anchors || !resolver) {
    std::printf("Could not create a resolver structure\n");
    co_return LDNS_STATUS_INTERNAL_ERR;
  }
  SetupDnssecResolver(std::move(send), std::move(poll), *resolver, DnssecExchange);
  const ldns_status read = ReadTrustAnchors(anchors.get());
  if (read != LDNS_STATUS_OK) {
    std::printf("Could not parse the key file %s: %s\n", kTrustAnchorFile, ldns_get_errorstr_by_id(read));
  }
  ldns_resolver* r = resolver->resolver;
  ldns_resolver_set_port(r, LDNS_PORT);
  ldns_resolver_set_debug(r, false);
  ldns_resolver_set_fallback(r, false);
  ldns_resolver_set_dnssec(r, true);
  ldns_resolver_set_ip6(r, LDNS_RESOLV_INETANY);
  ldns_resolver_set_usevc(r, false);
  ldns_resolver_set_random(r, true);

  ldns_pkt* parsed = nullptr;
  if (ldns_wire2pkt(&parsed, answer, length) != LDNS_STATUS_OK) co_return kAnswerUnreadable;
  PktPtr original(parsed);
  if (!HasCheckableRecords(parsed)) co_return kAnswerUnreadable;
  PktPtr pkt(ldns_pkt_clone(parsed));
  if (!pkt) co_return kAnswerUnreadable;

  const ldns_rr_list* questions = ldns_pkt_question(pkt.get());
  const ldns_rr* question = questions && ldns_rr_list_rr_count(questions) > 0 ? ldns_rr_list_rr(questions, 0) : nullptr;
  if (!question || !ldns_rr_owner(question)) co_return kNameUnreadable;
  const ldns_rdf* name = ldns_rr_owner(question);
  const ldns_rr_type type = ldns_rr_get_type(question);

  if (ldns_rr_list_rr_count(anchors.get()) == 0) {
    std::fprintf(stderr, "Warning: No trusted keys specified\n");
    CLogMessage().SetError().Append(LogError, DnsNameToDisplayText(OwnerText(name)) +
                                                  L" - DNSSEC check: no usable DNSSEC trust anchor (root.key)");
  }
  if (!ldns_dnssec_pkt_has_rrsigs(pkt.get())) co_return LDNS_STATUS_CRYPTO_NO_RRSIG;
  RrListPtr rrset = FindValidatedSet(pkt.get(), name, type);
  if (!rrset) co_return kDnssecNoResults;

  RrPtr questionRecord(ldns_rr_new());
  if (!questionRecord) co_return LDNS_STATUS_INTERNAL_ERR;
  ldns_rr_set_owner(questionRecord.get(), ldns_rdf_clone(name));
  ldns_rr_set_type(questionRecord.get(), type);
  ChainPtr chain;
  if (ldns_pkt_ancount(pkt.get()) == 0) {
    // With the question record the library proves the denial of existence;
    // the chain owns it from here on.
    chain = co_await ldns_dnssec_build_data_chain_async(*resolver, kChainQueryFlags, rrset.get(), pkt.get(),
                                                       std::move(questionRecord));
  } else {
    chain = co_await ldns_dnssec_build_data_chain_async(*resolver, kChainQueryFlags, rrset.get(), pkt.get(), nullptr);
  }
  if (!chain) co_return LDNS_STATUS_INTERNAL_ERR;
  TreePtr tree(ldns_dnssec_derive_trust_tree_time(chain.get(), nullptr, static_cast<time_t>(platform::WallTime())));
  if (ldns_rr_list_rr_count(anchors.get()) == 0) co_return LDNS_STATUS_OK;
  if (!tree) co_return LDNS_STATUS_INTERNAL_ERR;
  const ldns_status verdict = ldns_dnssec_trust_tree_contains_keys(tree.get(), anchors.get());
  co_return verdict == LDNS_STATUS_DNSSEC_EXISTENCE_DENIED ? LDNS_STATUS_OK : static_cast<ldns_enum_status>(verdict);
}

ldns_awaiter<ldns_enum_status> DnssecCheckTask(std::vector<uint8_t> answer, DnssecSendFn send, DnssecPollFn poll) {
  co_return co_await ValidateDnssecAnswer(answer.data(), answer.size(), std::move(send), std::move(poll));
}

std::wstring DnssecStatusText(int status) {
  switch (status) {
    case LDNS_STATUS_OK: return L"passed";
    case kNameUnreadable: return L"failed (name cannot be parsed)";
    case LDNS_STATUS_INTERNAL_ERR: return L"failed (internal error)";
    case LDNS_STATUS_CRYPTO_NO_RRSIG: return L"failed (answer is not signed)";
    case LDNS_STATUS_CRYPTO_NO_DNSKEY: return L"failed (signature check failed)";
    case kAnswerUnreadable: return L"failed (answer cannot be parsed)";
    case kDnssecNoResults: return L"failed (answer does not contain results)";
    default: return L"failed";
  }
}

std::optional<uint32_t> DnssecCacheLifetime(const uint8_t* answer, size_t length) {
  ldns_pkt* parsed = nullptr;
  if (ldns_wire2pkt(&parsed, answer, length) != LDNS_STATUS_OK) return std::nullopt;
  PktPtr pkt(parsed);
  const uint8_t rcode = ldns_pkt_get_rcode(parsed);
  if (ldns_pkt_tc(parsed) || (rcode != kRcodeNoError && rcode != kRcodeNxDomain)) return std::nullopt;
  std::optional<uint32_t> smallest;
  for (const ldns_rr_list* section : {ldns_pkt_answer(parsed), ldns_pkt_authority(parsed)}) {
    for (size_t i = 0; section && i < ldns_rr_list_rr_count(section); ++i) {
      const uint32_t ttl = ldns_rr_ttl(ldns_rr_list_rr(section, i));
      if (!smallest || ttl < *smallest) smallest = ttl;
    }
  }
  return smallest;
}

}  // namespace dnssec
