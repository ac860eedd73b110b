// The control device "\\.\PalvexDrv" as a Unix stream socket. One client at
// a time: a second one, or a peer that is neither root nor in the group, is
// told ERROR_ACCESS_DENIED in its open reply and closed. Bytes from the
// client go to its session on the server's own thread; the session's
// replies are written by the thread that completes them as far as the
// socket takes them without blocking, the rest queued for the connection's
// writer thread, so a classification that completes a request never blocks
// on the client's socket. A client that lets more than the queue's bound pile up is
// disconnected. Start here: CControlSocketServer::Start.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

constexpr const char* kControlSocketName = "PalvexDrv";

struct SControlSocketOptions {
  std::filesystem::path folder = "/run";  // the socket is folder / kControlSocketName
  std::string groupName = "tarnwick";     // missing group: root only, mode 0600
  size_t outputQueueLimit = 16u << 20;    // bytes waiting for one client
  // Runs right after the bind; tests change the folder there as another
  // user could.
  std::function<void()> afterBindForTesting;
};

// What the server learned of a connecting peer (SO_PEERCRED).
struct SPeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

// True for root, or when groupId is the peer's primary group or one of the
// supplementary groups of its process (read from /proc/<pid>/status).
bool PeerMayOpen(const SPeerCredentials& peer, std::optional<gid_t> groupId);

// The writing side of one connection, shared by the session and the server.
// Send is safe from any thread.
class CControlOutput {
 public:
  explicit CControlOutput(size_t limit) : m_limit(limit) {}
  // False once the connection is closing; queueing past the limit closes
  // it (the peer is dropped) and also returns false.
  bool Send(std::vector<uint8_t> bytes);
  bool Overflowed() const { return m_overflow.load(); }
  // Ends the connection from the session's side (a malformed frame); the
  // session's OnClose follows on the server's thread.
  void Disconnect();

 private:
  friend class CControlSocketServer;
  void Run(int fd);  // the writer thread
  void Close();

  const size_t m_limit;
  std::mutex m_mutex;  // everything below
  std::condition_variable m_wake;
  std::deque<std::vector<uint8_t>> m_queue;
  size_t m_queued = 0;
  bool m_writing = false;  // the writer has taken a frame and is sending it
  bool m_closed = false;
  int m_fd = -1;
  std::atomic<bool> m_overflow{false};  // written under m_mutex, read anywhere
};

// One connected client. OnReceive and OnClose run on the server's thread.
class IControlSession {
 public:
  virtual ~IControlSession() = default;
  virtual void OnReceive(const uint8_t* bytes, size_t length) = 0;
  // The connection ends: the peer closed it, it overflowed, or the server stops.
  virtual void OnClose() = 0;
};

// Makes the session of an accepted client (peer: who it is); sets
// *openStatus (a Win32 error, 0 by default) and may return null with a
// nonzero status to refuse. The
// session sends nothing before the open reply, which the server queues
// right after the factory returns.
using ControlSessionFactory =
    std::function<std::unique_ptr<IControlSession>(std::shared_ptr<CControlOutput> output,
                                                   const SPeerCredentials& peer, uint32_t* openStatus)>;

class CControlSocketServer {
 public:
  ~CControlSocketServer() { Stop(); }
  // Removes a socket file that no server answers on, binds in a folder of
  // its own that only root may enter, sets owner and mode there, renames
  // the socket into place and starts the server thread. False with error
  // set when another server answers on the path, the path is not a socket,
  // or a call fails.
  bool Start(const SControlSocketOptions& options, ControlSessionFactory factory, std::string& error);
  // Closes the client (its session's OnClose runs), the socket and its file.
  void Stop();
  std::filesystem::path SocketPath() const { return m_path; }
  bool HasClient() const { return m_hasClient.load(); }

 private:
  void Run();
  void Accept();
  void ReadClient();
  void DropClient();

  SControlSocketOptions m_options;
  ControlSessionFactory m_factory;
  std::filesystem::path m_path;
  int m_listen = -1;
  int m_wake = -1;  // eventfd: Stop
  std::thread m_thread;
  // The client, touched only by the server thread (and Stop after joining it).
  int m_client = -1;
  std::shared_ptr<CControlOutput> m_output;
  std::unique_ptr<IControlSession> m_session;
  std::thread m_writer;
  std::atomic<bool> m_hasClient{false};  // written by the server thread
};
