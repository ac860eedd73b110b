#include "Quorvane/engine/dnssec_check.h"

#include "Quorvane/foundation/log.h"

void DropUnvalidatedAnswer(const SDnsMessageInfo& info) {
  CLogMessage().SetError().Append(LogError, DnsNameToDisplayText(info.name.name) +
                                                L" - reply : type=" + DnsTypeName(info.qtype) +
                                                L" dropped: DNSSEC validation is not available");
}
