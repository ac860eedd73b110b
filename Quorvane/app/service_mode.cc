#include "Quorvane/app/service_mode.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "Quorvane/foundation/log.h"

namespace {

std::atomic<int> g_stopPipe[2] = {-1, -1};
// Written by ServiceCtrlHandler (service thread), read on the UI thread.
std::atomic<bool> g_stopRequested{false};

void OnStopSignal(int signal) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(signal);
  int fd = g_stopPipe[1].load();
  if (fd >= 0) (void)!write(fd, &byte, 1);
  errno = saved;
}

}  // namespace

int InstallStopSignals() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  g_stopPipe[0] = fds[0];
  g_stopPipe[1] = fds[1];
  struct sigaction action {};
  action.sa_handler = &OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  return fds[0];
}

int StopSignalDescriptor() { return g_stopPipe[0].load(); }

bool NotifyServiceManager(const std::string& state) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (!path || !*path) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t length = strlen(path);
  if (length >= sizeof(address.sun_path)) return false;
  memcpy(address.sun_path, path, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract name
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  bool sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), size) ==
              static_cast<ssize_t>(state.size());
  close(fd);
  return sent;
}

void ServiceMain() {
  if (!NotifyServiceManager("READY=1") && getenv("NOTIFY_SOCKET"))
    CLogMessage().SetError().Append(LogError, L"SetServiceStatus(SERVICE_RUNNING) failed with error ").Append(LogError, errno);
}

void ServiceMainThread() {
  ServiceMain();
  const int fd = StopSignalDescriptor();
  if (fd < 0) {
    CLogMessage().SetError().Append(LogError, L"StartServiceCtrlDispatcher failed with error ").Append(LogError, EBADF);
    return;
  }
  for (;;) {
    unsigned char byte = 0;
    ssize_t got = read(fd, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
  }
}

uint32_t ServiceCtrlHandler(uint32_t control) {
  CLogMessage().Append(LogVerbose, L"ServiceCtrlHandler ").Append(LogVerbose, control);
  if (control == SERVICE_CONTROL_STOP) {
    CLogMessage().Append(LogNormal, L"Service stop");
    // Remembered first, so that a window stored meanwhile still gets it.
    g_stopRequested = true;
    if (platform::HWND window = g_hMainWnd.load()) platform::PostWindowMessage(window, WM_CLOSE, 0, 0);
    if (!NotifyServiceManager("STOPPING=1") && getenv("NOTIFY_SOCKET"))
      CLogMessage().SetError().Append(LogError, L"SetServiceStatus(SERVICE_STOPPED) failed with error ").Append(LogError, errno);
    return 0;
  }
  if (control == SERVICE_CONTROL_INTERROGATE) return 0;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

void OnMainWindowCreated(platform::HWND window) {
  g_hMainWnd = window;
  if (g_stopRequested.load()) platform::PostWindowMessage(window, WM_CLOSE, 0, 0);
}

void ResetServiceStateForTesting() {
  g_stopRequested = false;
  g_hMainWnd = 0;
}
