// DNSSEC validation of one upstream answer: the chain of trust from the
// answer's signatures up to the anchors in "root.key", built through the
// coroutine resolver path, judged by ldns's trust tree.
//
// Linux: "root.key" is read from the current folder, else from the
// program's; diagnostics go to standard output and error as the library's
// tools do; only the engine logs the verdict.
//
// Threads: a validation runs on whichever thread advances its check.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Quorvane/engine/dnssec/dnssec_resolver.h"

namespace dnssec {

// The answer holds no set for its question (ldns has its own 99).
constexpr ldns_enum_status kDnssecNoResults = static_cast<ldns_enum_status>(99);
// The query flags of every chain query: recursion desired.
constexpr uint16_t kChainQueryFlags = LDNS_RD;
constexpr const char* kTrustAnchorFile = "root.key";
// Longest "root.key" line read at once; the rest is read as the next line.
constexpr size_t kTrustAnchorLineMax = 10229;

// The outermost coroutine of a check.
ldns_awaiter<ldns_enum_status> DnssecCheckTask(std::vector<uint8_t> answer, DnssecSendFn send, DnssecPollFn poll);

// The validation proper. Results: 0 passed (also a denial of existence
// proven by NSEC), 1 no question name, 9 no resolver, 28 no signature,
// 51 the answer cannot be read, kDnssecNoResults, or the trust tree's status
// (29 no key, 35 bogus, 36 expired, 73/74/43 a broken denial ...).
ldns_awaiter<ldns_enum_status> ValidateDnssecAnswer(const uint8_t* answer, size_t length, DnssecSendFn send,
                                                    DnssecPollFn poll);

// Fills anchors with the DNSKEY and DS records of "root.key": 0 when at
// least one was read, else 11 (LDNS_STATUS_ERR). Bad lines are reported on
// standard error with their number and skipped.
ldns_enum_status ReadTrustAnchors(ldns_rr_list* anchors);
// The same over an open file's lines (the caller closes it).
ldns_enum_status ReadTrustAnchors(FILE* file, ldns_rr_list* anchors);

// Where "root.key" is looked for after the current folder: the program's
// folder, or folder while a test sets one (nullopt restores it).
void SetProgramFolderForTesting(std::optional<std::filesystem::path> folder);

// The log text after " - DNSSEC check " for a status.
std::wstring DnssecStatusText(int status);

// How long an answer may serve later chain queries, in seconds: the smallest
// TTL of its answer and authority records. None for an answer without
// records, with TC, with an RCODE other than NOERROR or NXDOMAIN, or one that
// cannot be read.
std::optional<uint32_t> DnssecCacheLifetime(const uint8_t* answer, size_t length);

}  // namespace dnssec
