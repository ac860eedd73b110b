// Owning handles for the ldns objects of the DNSSEC road. A coroutine frame
// can be destroyed at any suspension (a check given up mid-chain), so every
// object a frame holds across an await sits in one of these.
#pragma once

#include "Quorvane/platform/ldns_glue.h"

namespace dnssec {

using platform::BufferPtr;
using platform::BytesPtr;
using platform::ChainPtr;
using platform::PktPtr;
using platform::RdfPtr;
using platform::RrListPtr;
using platform::RrPtr;
using platform::TreePtr;

}  // namespace dnssec
