// What the host keeps in a net-buffer list's BackendReserved: how the
// packet it carries was injected, read from the packet's mark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct NET_BUFFER_LIST;

enum class EHostInjectedBy : uint8_t { None, Host, Other };

struct SHostNblInfo {
  EHostInjectedBy injectedBy = EHostInjectedBy::None;
};

// The data bytes of a list's first net buffer; empty when it holds fewer
// bytes than its data length says.
std::vector<uint8_t> HostListBytes(const NET_BUFFER_LIST* list);
