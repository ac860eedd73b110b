// Local DNSSEC validation of answers, as far as this build has it: none. An
// answer whose request asks for validation is never injected unvalidated;
// it is dropped with an error line that names the query.
#pragma once

#include "Quorvane/foundation/dns_codec.h"

// Logs the drop of the answer to info's query.
void DropUnvalidatedAnswer(const SDnsMessageInfo& info);
