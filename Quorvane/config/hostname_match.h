// Host-name sets of a rule: hosts-style files and wildcard masks.
#pragma once

#include <cstdint>
#include <set>
#include <string>

using HostnameSet = std::set<std::string>;

// Reads a hosts-style file: one name per line, optionally after an IPv4 or
// IPv6 address and one blank; "#" starts a comment line. Names with "*" or
// "?" go to masks, the others to exact, lower-cased. Fails with "Could not
// open file for reading " + path (missing, unreadable or a folder) or "No
// hostnames loaded from file " + path when both sets are still empty.
bool LoadHostsFile(const std::wstring& path, HostnameSet& exact, HostnameSet& masks, std::wstring& error);

// The whole text against the whole pattern: "*" any run, "?" one byte, every
// other byte itself (no case folding).
bool WildcardMatch(const std::string& pattern, const std::string& text);

namespace hostname_match_detail {
// WildcardMatch that also counts its loop steps, for the benchmark. The
// matcher only ever backtracks to the last "*", so steps stay within
// (text length + 1) x (pattern length + 1).
bool WildcardMatchCounted(const std::string& pattern, const std::string& text, uint64_t& steps);
}  // namespace hostname_match_detail
