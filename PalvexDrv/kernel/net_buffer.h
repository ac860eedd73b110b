// What both backends of the facade read from a net-buffer list the driver
// handed them (an injection, a stream segment).
#pragma once

#include <cstdint>
#include <vector>

#include "PalvexDrv/kernel/ndis.h"

// The data bytes of the list's first net buffer into bytes (none for a list
// without one); false when its MDLs hold fewer bytes than its data length.
bool NetBufferListBytes(const NET_BUFFER_LIST* list, std::vector<uint8_t>* bytes);
