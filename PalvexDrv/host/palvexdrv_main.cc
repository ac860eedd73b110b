// palvexdrv: the driver's own code hosted in a privileged process. It
// loads the driver, serves its control device on the control socket and
// runs until SIGTERM or SIGINT, then unloads the driver, which removes its
// netfilter rules. Usage: palvexdrv [--socket-folder DIR] [--group NAME]
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "PalvexDrv/device.h"
#include "PalvexDrv/host/control_socket_server.h"
#include "PalvexDrv/host/kernel_host.h"
#include "PalvexDrv/host/rule_chain.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: palvexdrv [--socket-folder DIR] [--group NAME]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  SControlSocketOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--socket-folder" && i + 1 < argc)
      options.folder = argv[++i];
    else if (arg == "--group" && i + 1 < argc)
      options.groupName = argv[++i];
    else
      return Usage();
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "palvexdrv: must run as root (netfilter rules, NFQUEUE, raw sockets, /proc)\n");
    return 1;
  }
  // Every thread started from here on inherits the blocked signals; only
  // sigwait below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // A host that was killed left its chain: traffic bypasses it, but it goes
  // before anything new is installed.
  CRuleChain(SRuleChainConfig{}).RemoveLeftovers();

  NTSTATUS status = khost::LoadDriver(DriverEntry);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "palvexdrv: the driver failed to load (0x%08X)\n", static_cast<unsigned>(status));
    return 1;
  }
  CControlSocketServer server;
  std::string error;
  if (!server.Start(options, khost::DeviceSessionFactory(), error)) {
    std::fprintf(stderr, "palvexdrv: %s\n", error.c_str());
    khost::UnloadDriver();
    return 1;
  }
  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  server.Stop();
  khost::UnloadDriver();
  return 0;
}
