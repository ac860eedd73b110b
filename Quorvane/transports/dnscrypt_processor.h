// The bridge to the outside DNSCrypt library (libdnscrypt.so), which carries
// the DNSCrypt, DoH and NextDNS protocols. Each configured server (with its
// relay, local address and test flag) becomes one library "remote"; queries
// wait in the remote's queue until the library reports it usable. A result
// thread takes the library's answers (to the engine sink), log lines and
// server-status reports. Without the library the three protocols are off and
// every query fails at its remote.
//
// On Linux dlopen does not search the program's folder: a library name
// without "/" is opened from the folder of /proc/self/exe by full path.
//
// Threads: SendRequest on any dispatching thread (the result thread
// included); releases from the configuration, server-check and captive-portal
// paths; the result thread and each certificate refresh run detached.
// m_mutex guards both maps; the library is called under it only by the flush
// of a ready remote and by Clean.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/foundation/dns_codec.h"

// The library's result kinds.
enum EDnsCryptResultKind : int {
  DnsCryptAnswer = 1,        // a DNS answer; id: the request id
  DnsCryptLogText = 2,       // UTF-8 text without terminator; id: 0 debug, 1-2 verbose, above error
  DnsCryptServerStatus = 3,  // an SDnsCryptServerStatus
};

// 24 bytes, little-endian; longer buffers are read up to here.
struct SDnsCryptServerStatus {
  uint64_t handle;
  uint64_t step;
  int64_t value;  // -1 (low 32 bits): not usable yet
};
static_assert(sizeof(SDnsCryptServerStatus) == 24);

struct SDnsCryptQueuedPacket {
  uint64_t requestId;
  std::vector<uint8_t> query;
};

struct SDnsCryptRemoteState {
  bool ready = false;
  std::list<SDnsCryptQueuedPacket> queue;  // in arrival order
};

// True while a certificate refresh runs; written by the refresh thread.
extern std::atomic<bool> g_bUpdatingCertificate;

// One GET of url (nothing read), logging "OpenURL success: " or
// "OpenURL error " + CURLcode + ": " + text + ", URL=" + url. Clears
// g_bUpdatingCertificate at the end.
void UpdateCertificateThread(std::wstring url);

class CDnsCryptProcessor {
 public:
  // server id, relay id (0 without), local address text, test flag.
  using SDnsCryptRemoteKey = std::tuple<uint64_t, uint64_t, std::optional<std::string>, bool>;
  using RemoteKey = SDnsCryptRemoteKey;

  static constexpr size_t kMaxQueuedPackets = 50;
  static constexpr uint32_t kRefreshTimeoutMs = 30000;

  CDnsCryptProcessor() = default;
  virtual ~CDnsCryptProcessor();
  CDnsCryptProcessor(const CDnsCryptProcessor&) = delete;
  CDnsCryptProcessor& operator=(const CDnsCryptProcessor&) = delete;

  void SetLibraryName(std::wstring name) { m_libraryName = std::move(name); }
  const std::wstring& LibraryName() const { return m_libraryName; }

  // Loads and binds the library, then starts the result thread. On failure
  // logs "DNS-crypt initialization failed with error: " + reason + ". All
  // DNSCrypt-related functions will be inaccessible".
  virtual void Init();
  // True when the query went to the library or waits in its remote's queue.
  // False after logging the display name + one of " - Could not find a
  // suitable interface IP to connect to the server ", " - Cannot create
  // sdns: ", " - Cannot create relay sdns: ", " - Cannot init server: ".
  virtual bool SendRequest(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info,
                           const CDnsServer& server, const std::vector<sockaddr_storage>& localAddresses,
                           bool isTest, uint64_t requestId, std::optional<CDnsServer> relay);
  // Releases every remote of (server id, relay id, test flag), whatever its
  // local address; returns the last handle released, 0 when none.
  virtual uint64_t ReleaseRemotes(uint32_t serverId, uint32_t relayId, bool isTest);
  // Releases every remote.
  virtual void ReleaseAllRemotes();

  bool Loaded() const { return m_loaded; }
  // Set after every result the library handed out; read by the main window.
  bool ResultSeen() const { return m_resultSeen.load(); }

  // Ends the result thread: sets the stop flag, calls wake (which must make
  // a waiting GetResultMessage_v2 return) and waits up to 5 s for the thread.
  // True when it ended. Tests only.
  bool StopForTesting(const std::function<void()>& wake);

 protected:
  // Calls the library's Clean when bound and loaded.
  virtual void CleanRemote(uint64_t handle);

  uint64_t FindRemote(const SDnsCryptRemoteKey& key);
  uint64_t CreateRemote(const SDnsCryptRemoteKey& key, const char* name, const char* second, const char* stamp,
                        const char* relayStamp, const char* local, bool disablePadding, int transport);
  void SendToRemote(uint64_t handle, const uint8_t* query, uint32_t length, uint64_t requestId);
  void RunWithData(uint64_t handle, const uint8_t* query, uint32_t length, uint64_t requestId);
  void OnRemoteStatus(uint64_t handle, int value);
  // One result of the library, as the result thread takes it.
  void OnResult(int kind, uint64_t id, const std::vector<uint8_t>& bytes);
  // Clean, then drop its state; under m_mutex.
  void ReleaseLocked(std::map<SDnsCryptRemoteKey, uint64_t>::iterator it);

  using InitLibFn = bool (*)();
  using GetResultFn = void (*)(int*, uint64_t*, uint8_t**, int*);
  using InitRemoteFn = uint64_t (*)(const char*, const char*, const char*, const char*, const char*, bool, int);
  using RunFn = int (*)(uint64_t, const uint8_t*, int, uint64_t);
  using MemFreeFn = void (*)(void*);
  using CleanFn = int (*)(uint64_t);

  std::wstring m_libraryName;
  void* m_module = nullptr;
  InitLibFn m_initLib = nullptr;
  GetResultFn m_getResult = nullptr;
  InitRemoteFn m_initRemote = nullptr;
  RunFn m_run = nullptr;
  MemFreeFn m_memFree = nullptr;
  CleanFn m_clean = nullptr;
  bool m_loaded = false;  // written by Init before the result thread starts
  // Written by the result thread; read by the main window without a lock.
  std::atomic<bool> m_resultSeen{false};
  std::mutex m_mutex;
  std::map<SDnsCryptRemoteKey, uint64_t> m_remotes;         // under m_mutex
  std::map<uint64_t, SDnsCryptRemoteState> m_remoteStates;  // under m_mutex

 private:
  // What the detached result thread shares with this object: the thread
  // outlives it when the library blocks, so it reaches the object only
  // through owner, which the destructor clears under mutex.
  struct SResultLink {
    std::mutex mutex;
    CDnsCryptProcessor* owner = nullptr;  // under mutex
    std::condition_variable ended;
    bool running = false;  // under mutex
  };
  static void RunResultThread(std::shared_ptr<SResultLink> link, GetResultFn getResult, MemFreeFn memFree);

  std::shared_ptr<SResultLink> m_link = std::make_shared<SResultLink>();
};
