#include "Quorvane/platform/system_dns.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "Quorvane/platform/ldns_glue.h"

namespace platform {
namespace {

// Two tries per server, so one lost datagram does not fail the lookup.
constexpr uint8_t kTriesPerServer = 2;
constexpr int kMinTryMs = 50;

std::mutex g_configMutex;
SSystemDnsConfig g_config;

uint32_t StatusOfSendFailure(ldns_status status) {
  switch (status) {
    case LDNS_STATUS_NETWORK_ERR:
    case LDNS_STATUS_SOCKET_ERROR:
    case LDNS_STATUS_RES_NO_NS:
    case LDNS_STATUS_ERR:
      return ERROR_TIMEOUT;
    default:
      return DNS_ERROR_BAD_PACKET;
  }
}

// The answer must be the reply to this very query.
bool AnswersQuery(const ldns_pkt* answer, const ldns_pkt* query, const ldns_rdf* name, ldns_rr_type type) {
  if (!ldns_pkt_qr(answer) || ldns_pkt_id(answer) != ldns_pkt_id(query)) return false;
  const ldns_rr_list* question = ldns_pkt_question(answer);
  if (!question || ldns_rr_list_rr_count(question) != 1) return false;
  const ldns_rr* asked = ldns_rr_list_rr(question, 0);
  return ldns_rr_get_type(asked) == type && ldns_rr_get_class(asked) == LDNS_RR_CLASS_IN &&
         ldns_dname_compare(ldns_rr_owner(asked), name) == 0;
}

SSystemDnsResult LookupOneType(const SSystemDnsConfig& config, const ldns_rdf* name, ldns_rr_type type,
                               int budgetMs) {
  SSystemDnsResult result;
  ldns_resolver* made = nullptr;
  std::string path = config.resolvConf.string();
  if (ldns_resolver_new_frm_file(&made, path.c_str()) != LDNS_STATUS_OK || !made) {
    result.status = DNS_ERROR_NO_DNS_SERVERS;
    return result;
  }
  ResolverPtr resolver(made);
  size_t servers = ldns_resolver_nameserver_count(resolver.get());
  if (servers == 0) {
    result.status = DNS_ERROR_NO_DNS_SERVERS;
    return result;
  }
  ldns_resolver_set_port(resolver.get(), config.port);
  ldns_resolver_set_recursive(resolver.get(), true);
  ldns_resolver_set_random(resolver.get(), false);  // resolv.conf's order, as the system resolver keeps it
  ldns_resolver_set_retry(resolver.get(), kTriesPerServer);
  ldns_resolver_set_retrans(resolver.get(), 0);     // else ldns sleeps seconds after each silent server
  ldns_resolver_set_fail(resolver.get(), false);
  ldns_resolver_set_dnssec(resolver.get(), false);
  ldns_resolver_set_defnames(resolver.get(), false);
  ldns_resolver_set_dnsrch(resolver.get(), false);
  int tryMs = std::max(kMinTryMs, budgetMs / static_cast<int>(servers * kTriesPerServer));
  ldns_resolver_set_timeout(resolver.get(), timeval{tryMs / 1000, (tryMs % 1000) * 1000});

  ldns_pkt* queryMade = nullptr;
  if (ldns_resolver_prepare_query_pkt(&queryMade, resolver.get(), name, type, LDNS_RR_CLASS_IN, LDNS_RD) !=
          LDNS_STATUS_OK ||
      !queryMade) {
    result.status = ERROR_INVALID_NAME;
    return result;
  }
  PktPtr query(queryMade);
  if (ldns_pkt_id(query.get()) == 0) ldns_pkt_set_random_id(query.get());

  ldns_pkt* answerMade = nullptr;
  ldns_status sent = ldns_resolver_send_pkt(&answerMade, resolver.get(), query.get());
  PktPtr answer(answerMade);
  if (sent != LDNS_STATUS_OK || !answer) {
    result.status = StatusOfSendFailure(sent);
    return result;
  }
  if (!AnswersQuery(answer.get(), query.get(), name, type)) {
    result.status = DNS_ERROR_BAD_PACKET;
    return result;
  }
  if (ldns_pkt_get_rcode(answer.get()) != LDNS_RCODE_NOERROR) {
    result.status = 9000 + (ldns_pkt_get_rcode(answer.get()) & 0x0F);
    return result;
  }
  const ldns_rr_list* records = ldns_pkt_answer(answer.get());
  size_t wantSize = type == LDNS_RR_TYPE_A ? 4 : 16;
  for (size_t i = 0; records && i < ldns_rr_list_rr_count(records); ++i) {
    const ldns_rr* rr = ldns_rr_list_rr(records, i);
    // A CNAME's target comes with it; only the address records count.
    if (ldns_rr_get_type(rr) != type || ldns_rr_get_class(rr) != LDNS_RR_CLASS_IN || ldns_rr_rd_count(rr) != 1)
      continue;
    const ldns_rdf* data = ldns_rr_rdf(rr, 0);
    if (ldns_rdf_size(data) != wantSize) continue;
    SSystemDnsRecord record;
    record.type = static_cast<uint16_t>(type);
    record.ttl = ldns_rr_ttl(rr);
    record.address.assign(ldns_rdf_data(data), ldns_rdf_data(data) + wantSize);
    result.records.push_back(std::move(record));
  }
  if (result.records.empty()) result.status = DNS_INFO_NO_RECORDS;
  return result;
}

SSystemDnsRecord MappedToIpv6(const SSystemDnsRecord& a) {
  SSystemDnsRecord mapped;
  mapped.type = DNS_TYPE_AAAA;
  mapped.ttl = a.ttl;
  mapped.address.assign(10, 0);
  mapped.address.push_back(0xFF);
  mapped.address.push_back(0xFF);
  mapped.address.insert(mapped.address.end(), a.address.begin(), a.address.end());
  return mapped;
}

}  // namespace

void SetSystemDnsConfig(const SSystemDnsConfig& config) {
  std::lock_guard lock(g_configMutex);
  g_config = config;
}

SSystemDnsConfig SystemDnsConfig() {
  std::lock_guard lock(g_configMutex);
  return g_config;
}

SSystemDnsResult SystemDnsQuery(std::string_view host, uint16_t type, uint32_t options) {
  return SystemDnsQuery(SystemDnsConfig(), host, type, options);
}

SSystemDnsResult SystemDnsQuery(const SSystemDnsConfig& config, std::string_view host, uint16_t type,
                                uint32_t options) {
  SSystemDnsResult result;
  if (type != DNS_TYPE_A && type != DNS_TYPE_AAAA) {
    result.status = DNS_ERROR_INVALID_TYPE;
    return result;
  }
  std::string text(host);
  RdfPtr name(text.empty() || text.find('\0') != std::string::npos ? nullptr : ldns_dname_new_frm_str(text.c_str()));
  if (!name || ldns_dname_label_count(name.get()) == 0) {
    result.status = ERROR_INVALID_NAME;
    return result;
  }
  bool dual = type == DNS_TYPE_AAAA && (options & DNS_QUERY_DUAL_ADDR);
  if (!dual) return LookupOneType(config, name.get(), static_cast<ldns_rr_type>(type), config.timeoutMs);

  // Half the time each, so a silent AAAA lookup leaves the A lookup its chance.
  SSystemDnsResult six = LookupOneType(config, name.get(), LDNS_RR_TYPE_AAAA, config.timeoutMs / 2);
  SSystemDnsResult four = LookupOneType(config, name.get(), LDNS_RR_TYPE_A, config.timeoutMs / 2);
  result.records = std::move(six.records);
  for (const SSystemDnsRecord& a : four.records) result.records.push_back(MappedToIpv6(a));
  if (!result.records.empty()) return result;
  if (six.status == DNS_ERROR_RCODE_NAME_ERROR || four.status == DNS_ERROR_RCODE_NAME_ERROR)
    result.status = DNS_ERROR_RCODE_NAME_ERROR;
  else if (six.status != DNS_INFO_NO_RECORDS)
    result.status = six.status;
  else
    result.status = four.status;
  return result;
}

std::string SystemDnsErrorText(uint32_t status) {
  switch (status) {
    case ERROR_INVALID_NAME: return "The host name is not valid.";
    case ERROR_TIMEOUT: return "No DNS server answered in time.";
    case DNS_ERROR_RCODE_FORMAT_ERROR: return "The DNS server could not read the query.";
    case DNS_ERROR_RCODE_SERVER_FAILURE: return "The DNS server failed.";
    case DNS_ERROR_RCODE_NAME_ERROR: return "The DNS name does not exist.";
    case DNS_ERROR_RCODE_NOT_IMPLEMENTED: return "The DNS server does not support this query.";
    case DNS_ERROR_RCODE_REFUSED: return "The DNS server refused the query.";
    case DNS_INFO_NO_RECORDS: return "The DNS name has no records of the type asked for.";
    case DNS_ERROR_BAD_PACKET: return "The DNS reply was unreadable or answered another query.";
    case DNS_ERROR_INVALID_TYPE: return "The DNS record type is not supported.";
    case DNS_ERROR_NO_DNS_SERVERS: return "No DNS servers are configured.";
    default: return {};
  }
}

}  // namespace platform
