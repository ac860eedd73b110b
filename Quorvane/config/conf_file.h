// The conf-file: the typed attribute layer over CXmlDoc, the number formats,
// and the readers and writers of its elements. CProfile::Load and
// CProfile::Save (defined in conf_file.cc) put them together.
//
// Start here: ReadDnsServer / ReadDnsPool / ReadRule read one element each
// and check it against what was read before it; WriteDnsServer /
// WriteDnsPool / WriteRule append one element to their owner. Readers throw
// CXmlDoc::XmlExc for a missing or unreadable mandatory attribute (Load turns
// it into "Xml error: " + message) and return false with the file's own
// message for every other refusal. Nothing here does I/O except the hosts
// files a rule's list names.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Quorvane/config/dns_pool.h"
#include "Quorvane/config/dns_server.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/config/rule.h"
#include "Quorvane/foundation/net_interface_id.h"
#include "Quorvane/foundation/xml_doc.h"

// Root element attributes as this program writes them; a file whose
// product_min_version is above kConfProgramVersion needs a newer program.
inline constexpr uint32_t kConfFileFormat = 1;
inline constexpr uint32_t kConfProductId = 1;
inline constexpr uint32_t kConfProgramVersion = 127000;

// --- Numbers: the longest run of leading decimal digits (at least one; the
// rest of the text is ignored), refused above the type's range. The signed
// form takes one leading "-". On failure value is unchanged.
bool ParseNumber(const std::string& text, uint32_t& value);
bool ParseNumber(const std::string& text, uint16_t& value);
bool ParseNumber(const std::string& text, int32_t& value);

// --- The conf-file's address family numbers (2 and 23) against the native
// ones (AF_INET, AF_INET6). The only place the two meet.
// False, native unchanged, for any number other than 2 and 23.
bool ConfFamilyToNative(int32_t confFamily, uint32_t& native);
// 0 for a family other than AF_INET and AF_INET6.
int32_t NativeFamilyToConf(uint32_t native);

// --- The typed attribute layer is CXmlDoc's (GetAttribute..., SetAttribute...,
// GetChildren); it is defined here, with the number formats above.

// --- Element readers and writers.

// Gives the current friendly name of the interface a rule names by
// (type, id); false when no such interface is present now.
using InterfaceNameLookup = std::function<bool(ENetInterfaceIdType type, const std::wstring& id, std::wstring& name)>;

// One DnsServer element; its id must be new among servers. A NextDns server
// comes back prepared (CDnsServer::PrepareNextDns).
bool ReadDnsServer(const CXmlDoc& element, const std::vector<CDnsServer>& servers, CDnsServer& server,
                   std::wstring& error);
// One DnsPool element; its id must be new among servers and pools, and its
// members must pass CDnsPool::Validate against servers.
bool ReadDnsPool(const CXmlDoc& element, const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools,
                 CDnsPool& pool, std::wstring& error);
// One Rule element; "file://" lists are looked up beside confPath, and the
// rule's target must be among servers or pools.
bool ReadRule(const CXmlDoc& element, const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools,
              const std::wstring& confPath, const InterfaceNameLookup& findInterface, CRule& rule,
              std::wstring& error);

// Each Settings attribute and each DnsChecker attribute present and valid
// replaces the value it names; a non-empty importUrls that is not a list of
// http(s) addresses fails with CServerImport::ParseUrlList's message.
bool ReadSettings(const CXmlDoc& element, SSettings& settings, SDnsCheckerSettings& checkerSettings,
                  std::wstring& error);

void WriteDnsServer(const CDnsServer& server, CXmlDoc& owner);
void WriteDnsPool(const CDnsPool& pool, CXmlDoc& owner);
void WriteRule(const CRule& rule, CXmlDoc& owner);
// One Settings element with its one DnsChecker child.
void WriteSettings(const SSettings& settings, const SDnsCheckerSettings& checkerSettings, CXmlDoc& owner);
