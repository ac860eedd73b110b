#include "PalvexDrv/host/control_socket_server.h"

#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "shared/control_framing.h"
#include "shared/ntstatus.h"

namespace {

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::optional<gid_t> LookupGroup(const std::string& name) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
  return found->gr_gid;
}

bool FillAddress(const std::filesystem::path& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return true;
}

// Whether a server answers on the socket file at path.
bool SomeoneListens(const sockaddr_un& address) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool answered = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return answered;
}

void SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

bool PeerMayOpen(const SPeerCredentials& peer, std::optional<gid_t> groupId) {
  if (peer.uid == 0) return true;
  if (!groupId) return false;
  if (peer.gid == *groupId) return true;
  std::ifstream status("/proc/" + std::to_string(peer.pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Groups:", 0) != 0) continue;
    std::istringstream groups(line.substr(7));
    unsigned long gid;
    while (groups >> gid)
      if (gid == *groupId) return true;
    return false;
  }
  return false;
}

bool CControlOutput::Send(std::vector<uint8_t> bytes) {
  std::lock_guard lock(m_mutex);
  if (m_closed) return false;
  // The completing thread writes at once what the socket takes without
  // blocking, when nothing is queued or being written ahead of it; only
  // the rest waits for the writer thread.
  if (m_queue.empty() && !m_writing && m_fd >= 0) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      return true;  // the connection is gone: the server's poll sees it end
    }
    if (done == bytes.size()) return true;
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(done));
  }
  if (m_queued + bytes.size() > m_limit) {
    // The client stopped reading: drop it rather than grow without end. The
    // shutdown wakes both the writer and the server's poll.
    m_overflow = true;
    m_closed = true;
    m_queue.clear();
    m_queued = 0;
    if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
    m_wake.notify_all();
    return false;
  }
  m_queued += bytes.size();
  m_queue.push_back(std::move(bytes));
  m_wake.notify_all();
  return true;
}

void CControlOutput::Disconnect() {
  std::lock_guard lock(m_mutex);
  m_closed = true;
  m_queue.clear();
  m_queued = 0;
  if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
  m_wake.notify_all();
}

void CControlOutput::Run(int fd) {
  for (;;) {
    std::vector<uint8_t> next;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait(lock, [&] { return m_closed || !m_queue.empty(); });
      if (m_queue.empty()) return;
      next = std::move(m_queue.front());
      m_queue.pop_front();
      m_queued -= next.size();
      m_writing = true;
    }
    SendAll(fd, next);
    std::lock_guard lock(m_mutex);
    m_writing = false;
  }
}

void CControlOutput::Close() {
  std::lock_guard lock(m_mutex);
  m_closed = true;
  m_queue.clear();
  m_queued = 0;
  m_wake.notify_all();
}

bool CControlSocketServer::Start(const SControlSocketOptions& options, ControlSessionFactory factory,
                                 std::string& error) {
  m_options = options;
  m_factory = std::move(factory);
  m_path = options.folder / kControlSocketName;
  sockaddr_un address;
  if (!FillAddress(m_path, address)) {
    error = "socket path too long: " + m_path.string();
    return false;
  }
  struct stat existing;
  if (lstat(m_path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error = m_path.string() + " exists and is not a socket";
      return false;
    }
    if (SomeoneListens(address)) {
      error = "another driver host answers on " + m_path.string();
      return false;
    }
    unlink(m_path.c_str());  // left by a host that died
  }
  // The socket is bound, given its owner and mode in a folder of its own
  // that only root may enter, then renamed into place: a chown or chmod by
  // a path in a folder others may write to could be sent through a
  // symlink to any file.
  std::string privateFolder = (options.folder / ".PalvexDrv.XXXXXX").string();
  if (!mkdtemp(privateFolder.data())) {
    error = ErrnoText("private folder in " + options.folder.string());
    return false;
  }
  std::filesystem::path bound = std::filesystem::path(privateFolder) / kControlSocketName;
  auto fail = [&](const std::string& what) {
    error = ErrnoText(what);
    unlink(bound.c_str());
    rmdir(privateFolder.c_str());
    Stop();
    return false;
  };
  sockaddr_un boundAddress;
  if (!FillAddress(bound, boundAddress)) {
    errno = ENAMETOOLONG;
    return fail("socket path " + bound.string());
  }
  m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listen < 0) return fail("socket");
  // The file is created with the socket inode's mode less the umask:
  // nobody else may open it before its group is set.
  fchmod(m_listen, 0600);
  mode_t umaskBefore = umask(0177);
  int bindResult = bind(m_listen, reinterpret_cast<const sockaddr*>(&boundAddress), sizeof(boundAddress));
  umask(umaskBefore);
  if (bindResult != 0) return fail("bind " + bound.string());
  if (options.afterBindForTesting) options.afterBindForTesting();
  std::optional<gid_t> group = LookupGroup(options.groupName);
  if (lchown(bound.c_str(), 0, group ? *group : 0) != 0 || chmod(bound.c_str(), group ? 0660 : 0600) != 0)
    return fail("owner and mode of " + bound.string());
  if (rename(bound.c_str(), m_path.c_str()) != 0) return fail("rename to " + m_path.string());
  rmdir(privateFolder.c_str());
  m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wake < 0 || listen(m_listen, 8) != 0) {
    error = ErrnoText("listen");
    Stop();
    return false;
  }
  m_thread = std::thread([this] { Run(); });
  return true;
}

void CControlSocketServer::Stop() {
  if (m_thread.joinable()) {
    uint64_t one = 1;
    (void)!write(m_wake, &one, sizeof(one));
    m_thread.join();
  }
  DropClient();
  if (m_listen >= 0) {
    close(m_listen);
    m_listen = -1;
    unlink(m_path.c_str());
  }
  if (m_wake >= 0) {
    close(m_wake);
    m_wake = -1;
  }
}

void CControlSocketServer::Run() {
  for (;;) {
    pollfd fds[3] = {{m_wake, POLLIN, 0}, {m_listen, POLLIN, 0}, {m_client, POLLIN, 0}};
    int count = m_client >= 0 ? 3 : 2;
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) return;
    if (count == 3 && fds[2].revents) ReadClient();
    if (fds[1].revents & POLLIN) Accept();
  }
}

void CControlSocketServer::Accept() {
  int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  ucred cred{};
  socklen_t length = sizeof(cred);
  bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0;
  SPeerCredentials peer{cred.pid, cred.uid, cred.gid};
  uint32_t status = 0;
  if (!known || !PeerMayOpen(peer, LookupGroup(m_options.groupName)) || m_client >= 0) status = ERROR_ACCESS_DENIED;
  std::unique_ptr<IControlSession> session;
  auto output = std::make_shared<CControlOutput>(m_options.outputQueueLimit);
  if (status == 0) {
    session = m_factory(output, peer, &status);
    if (!session && status == 0) status = ERROR_FILE_NOT_FOUND;  // no device
  }
  if (status != 0) {
    SendAll(fd, EncodeOpenReply(status));
    close(fd);
    return;
  }
  {
    std::lock_guard lock(output->m_mutex);
    output->m_fd = fd;
  }
  output->Send(EncodeOpenReply(0));
  m_client = fd;
  m_output = output;
  m_session = std::move(session);
  m_writer = std::thread([output, fd] { output->Run(fd); });
  m_hasClient = true;
}

void CControlSocketServer::ReadClient() {
  uint8_t buffer[65536];
  ssize_t n = recv(m_client, buffer, sizeof(buffer), 0);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0 || m_output->Overflowed()) {
    DropClient();
    return;
  }
  m_session->OnReceive(buffer, static_cast<size_t>(n));
  if (m_output->Overflowed()) DropClient();
}

void CControlSocketServer::DropClient() {
  if (m_client < 0) return;
  // The session closes first, so the replies its close produces (cancelled
  // reads) are dropped with the connection rather than written to a peer
  // that has gone.
  if (m_session) m_session->OnClose();
  m_session.reset();
  m_output->Close();
  shutdown(m_client, SHUT_RDWR);
  if (m_writer.joinable()) m_writer.join();
  {
    std::lock_guard lock(m_output->m_mutex);
    m_output->m_fd = -1;
  }
  close(m_client);
  m_client = -1;
  m_output.reset();
  m_hasClient = false;
}
