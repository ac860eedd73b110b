// The bridge to the outside DNSCrypt library, which carries the DNSCrypt, DoH
// and NextDNS protocols. This build has no library: Init logs that the
// protocols are unavailable and every query fails at its remote, as the bridge
// does when the library is missing. The remote maps stay, so the engine's
// releases walk them as they will when remotes exist.
//
// Threads: SendRequest on any dispatching thread; releases from the UI thread,
// resolution threads and the captive-portal detector; m_mutex guards the maps.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/foundation/dns_codec.h"

class CDnsCryptProcessor {
 public:
  // server id, relay id (0 without), local address text, test flag.
  using RemoteKey = std::tuple<uint64_t, uint64_t, std::optional<std::string>, bool>;

  virtual ~CDnsCryptProcessor() = default;

  void SetLibraryName(std::wstring name) { m_libraryName = std::move(name); }
  const std::wstring& LibraryName() const { return m_libraryName; }

  // Loads the library; without it logs why the three protocols are off.
  virtual void Init();
  // True when the query was handed to the library; false after logging
  // display name + " - Cannot init server: " + server name (or the local
  // address failure).
  virtual bool SendRequest(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info,
                           const CDnsServer& server, const std::vector<sockaddr_storage>& localAddresses,
                           bool isTest, uint64_t requestId, std::optional<CDnsServer> relay);
  // Releases every remote of (server id, relay id, test flag), whatever its
  // local address; returns the last handle released, 0 when none.
  virtual uint64_t ReleaseRemotes(uint32_t serverId, uint32_t relayId, bool isTest);
  // Releases every remote.
  virtual void ReleaseAllRemotes();

 protected:
  // Calls the library's Clean; nothing without the library.
  virtual void CleanRemote(uint64_t handle);

  std::wstring m_libraryName;
  bool m_loaded = false;
  std::mutex m_mutex;
  std::map<RemoteKey, uint64_t> m_remotes;  // under m_mutex
};
