#include "Quorvane/app/instance_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Quorvane/foundation/log.h"
#include "Quorvane/platform/file_write.h"

namespace {

// The request header on the wire, little-endian as the host writes it.
struct SWireHeader {
  uint32_t message;
  uint32_t dwData;
  uint64_t wParam;
  uint32_t cbData;
  uint32_t reserved;
};

bool MakeAddress(const std::filesystem::path& path, sockaddr_un& address) {
  const std::string text = path.string();
  if (text.size() >= sizeof(address.sun_path)) return false;
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return true;
}

int Connect(const std::filesystem::path& path) {
  sockaddr_un address;
  if (!MakeAddress(path, address)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads exactly size bytes before deadline; false on end, error or time.
bool ReadFully(int fd, void* buffer, size_t size, std::chrono::steady_clock::time_point deadline) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t got = read(fd, out, size);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

CInstanceLock::~CInstanceLock() {
  if (m_fd >= 0) close(m_fd);
}

CInstanceLock::EResult CInstanceLock::Take(const std::filesystem::path& file) {
  int fd = open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) {
    fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) fchmod(fd, 0666);  // past the umask
    // Another copy created it in between.
    else if (errno == EEXIST) fd = open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  }
  // A file of another user that is not writable for us still locks read-only.
  if (fd < 0 && errno == EACCES) fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    m_error = errno;
    return EResult::Failed;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    m_error = errno;
    close(fd);
    return m_error == EWOULDBLOCK ? EResult::Held : EResult::Failed;
  }
  if (m_fd >= 0) close(m_fd);
  m_fd = fd;
  return EResult::Taken;
}

CInstanceChannel::~CInstanceChannel() { Close(); }

std::optional<int64_t> CInstanceChannel::Send(const std::filesystem::path& socket, const SInstanceRequest& request) {
  int fd = Connect(socket);
  if (fd < 0) return std::nullopt;
  if (request.payload.size() > kMaxPayload) {
    close(fd);
    return 0;
  }
  SWireHeader header{request.message, request.dwData, request.wParam, static_cast<uint32_t>(request.payload.size()), 0};
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof(header));
  bytes.append(reinterpret_cast<const char*>(request.payload.data()), request.payload.size());
  int64_t reply = 0;
  if (platform::WriteFully(fd, bytes) &&
      !ReadFully(fd, &reply, sizeof(reply), std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyWaitMs)))
    reply = 0;
  close(fd);
  return reply;
}

bool CInstanceChannel::Listen(const std::filesystem::path& socket) {
  Close();
  std::error_code ec;
  const std::filesystem::path folder = socket.parent_path();
  if (!std::filesystem::is_directory(folder, ec)) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  // Only the owner may reach the socket; the folder must be ours.
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    errno = EPERM;
    return false;
  }
  chmod(folder.c_str(), 0700);
  sockaddr_un address;
  if (!MakeAddress(socket, address)) {
    errno = ENAMETOOLONG;
    return false;
  }
  // Under the held lock no live copy listens here.
  unlink(socket.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  mode_t old = umask(0177);
  int rc = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  umask(old);
  if (rc != 0 || listen(fd, 8) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  m_listen = fd;
  m_path = socket;
  return true;
}

void CInstanceChannel::ServePending(const Handler& handler) {
  if (m_listen < 0) return;
  for (;;) {
    int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != geteuid()) {
      CLogMessage().SetError().Append(LogError, L"Instance request from another user refused.");
      close(fd);
      continue;
    }
    // A copy that connects and then says nothing must not hold the UI long.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    SWireHeader header{};
    SInstanceRequest request;
    bool ok = ReadFully(fd, &header, sizeof(header), deadline) && header.cbData <= kMaxPayload &&
              (header.message == WM_ACTIVATE_INSTANCE || header.message == WM_COPYDATA);
    if (ok) {
      request.message = header.message;
      request.wParam = header.wParam;
      request.dwData = header.dwData;
      request.payload.resize(header.cbData);
      ok = ReadFully(fd, request.payload.data(), request.payload.size(), deadline);
    }
    if (!ok) {
      CLogMessage().SetError().Append(LogError, L"Bad instance request ignored.");
      close(fd);
      continue;
    }
    int64_t reply = handler(request);
    platform::WriteFully(fd, std::string_view(reinterpret_cast<const char*>(&reply), sizeof(reply)));
    close(fd);
  }
}

void CInstanceChannel::Close() {
  if (m_listen < 0) return;
  close(m_listen);
  m_listen = -1;
  unlink(m_path.c_str());
}

std::vector<uint8_t> EncodeCopyDataPath(const std::wstring& path) {
  std::vector<uint8_t> out;
  auto put = [&out](uint32_t unit) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (wchar_t c : path) {
    auto code = static_cast<uint32_t>(c);
    if (code >= 0x10000) {
      code -= 0x10000;
      put(0xD800 + (code >> 10));
      put(0xDC00 + (code & 0x3FF));
    } else {
      put(code);
    }
  }
  put(0);
  return out;
}

std::wstring DecodeCopyDataPath(const std::vector<uint8_t>& payload) {
  std::wstring out;
  for (size_t i = 0; i + 1 < payload.size(); i += 2) {
    uint32_t unit = payload[i] | (payload[i + 1] << 8);
    if (unit == 0) break;
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < payload.size()) {
      uint32_t low = payload[i + 2] | (payload[i + 3] << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        out += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    out += static_cast<wchar_t>(unit);
  }
  return out;
}
