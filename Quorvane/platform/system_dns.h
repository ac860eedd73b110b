// The system resolver's lookup of a host's addresses: DnsQuery_A with
// DNS_TYPE_A or DNS_TYPE_AAAA (with DNS_QUERY_DUAL_ADDR: the A answers too,
// mapped as ::ffff:a.b.c.d), with every record's TTL, and the DNS status
// numbers and texts (FormatMessageW) a caller logs.
// On Linux: a fresh ldns resolver per lookup, built from a resolv.conf
// (/etc/resolv.conf unless told otherwise), so no cache is ever in the way
// (DNS_QUERY_BYPASS_CACHE always holds) and a changed file counts at once.
// Guards against: a lookup without end (one time-out bounds all tries of all
// servers; ldns's sleep between servers is off) and a reply to another query
// (its id and question must match). Any thread; lookups block.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "Quorvane/platform/system_errors.h"

namespace platform {

constexpr uint16_t DNS_TYPE_A = 1;
constexpr uint16_t DNS_TYPE_AAAA = 28;
constexpr uint32_t DNS_QUERY_BYPASS_CACHE = 0x00000008;
constexpr uint32_t DNS_QUERY_DUAL_ADDR = 0x00004000;

// Its statuses (ERROR_INVALID_NAME, ERROR_TIMEOUT, DNS_ERROR_*, DNS_INFO_NO_RECORDS)
// are named in system_errors.h.

struct SSystemDnsRecord {
  uint16_t type = 0;              // DNS_TYPE_A or DNS_TYPE_AAAA
  uint32_t ttl = 0;               // seconds, as the server gave it
  std::vector<uint8_t> address;   // 4 bytes for A, 16 for AAAA
};

struct SSystemDnsResult {
  uint32_t status = 0;  // 0, or one of the statuses above
  std::vector<SSystemDnsRecord> records;  // in answer order; AAAA before mapped A
};

struct SSystemDnsConfig {
  std::filesystem::path resolvConf = "/etc/resolv.conf";
  uint16_t port = 53;      // of every nameserver; resolv.conf cannot say it
  int timeoutMs = 4000;    // the whole lookup, every try and server
};

// The configuration of SystemDnsQuery without one; the demo and tests set
// their own so that only their resolvers are asked.
void SetSystemDnsConfig(const SSystemDnsConfig& config);
SSystemDnsConfig SystemDnsConfig();

// One lookup of host (a name with or without its final dot). options may hold
// DNS_QUERY_BYPASS_CACHE (always so here) and DNS_QUERY_DUAL_ADDR (with
// DNS_TYPE_AAAA). A name whose every lookup fails reports, in this order: no
// such name from either type, else the AAAA lookup's failure unless it only
// found no records, else the A lookup's.
SSystemDnsResult SystemDnsQuery(const SSystemDnsConfig& config, std::string_view host, uint16_t type,
                                uint32_t options);
SSystemDnsResult SystemDnsQuery(std::string_view host, uint16_t type, uint32_t options);

// The one-line text FormatMessageW gives for a status above; empty for others.
std::string SystemDnsErrorText(uint32_t status);

}  // namespace platform
