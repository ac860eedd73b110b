// palvexdrv: the driver's own code hosted in a privileged process. It
// loads the driver, serves its control device on the control socket and
// runs until SIGTERM or SIGINT, then unloads the driver, which removes its
// netfilter rules. SIGUSR1 writes the packet path's counters to standard
// error. Usage:
//   palvexdrv [--socket-folder DIR] [--group NAME] [--queue N] [--foreign-mark M]
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "PalvexDrv/device.h"
#include "PalvexDrv/host/control_socket_server.h"
#include "PalvexDrv/host/kernel_host.h"
#include "PalvexDrv/host/rule_chain.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: palvexdrv [--socket-folder DIR] [--group NAME] [--queue N] [--foreign-mark M]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  SControlSocketOptions options;
  khost::SFilteringConfig filtering;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    char* end = nullptr;
    if (arg == "--socket-folder" && i + 1 < argc) {
      options.folder = argv[++i];
    } else if (arg == "--group" && i + 1 < argc) {
      options.groupName = argv[++i];
    } else if (arg == "--queue" && i + 1 < argc) {
      unsigned long queue = std::strtoul(argv[++i], &end, 0);
      if (*end != 0 || queue > 0xFFFF) return Usage();
      filtering.queueNumber = static_cast<uint16_t>(queue);
    } else if (arg == "--foreign-mark" && i + 1 < argc) {
      unsigned long mark = std::strtoul(argv[++i], &end, 0);
      if (*end != 0 || mark > 0xFFFFFFFF || mark == filtering.ownMark || mark == filtering.blockMark) return Usage();
      filtering.foreignMark = static_cast<uint32_t>(mark);
    } else {
      return Usage();
    }
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
  sigaddset(&stopSignals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // A host that was killed left its chain: traffic bypasses it, but it goes
  // before anything new is installed.
  CRuleChain(SRuleChainConfig{filtering.chain, filtering.queueNumber, filtering.blockMark, filtering.ownMark})
      .RemoveLeftovers();

  khost::ConfigureFiltering(filtering);
  NTSTATUS status = khost::LoadDriver(DriverEntry);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "palvexdrv: the driver failed to load (0x%08X) %s\n", static_cast<unsigned>(status),
                 khost::FilteringError().c_str());
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
  while (sigwait(&stopSignals, &signalNumber) == 0 && signalNumber == SIGUSR1) {
    khost::SHostCounters c = khost::HostCounters();
    std::fprintf(stderr,
                 "palvexdrv: flows %zu of %zu, %llu evicted, %llu inbound of no flow passed, %llu owner lookups, "
                 "%llu packets queued\n",
                 c.flows, c.flowLimit, static_cast<unsigned long long>(c.flowsEvicted),
                 static_cast<unsigned long long>(c.untrackedInbound), static_cast<unsigned long long>(c.ownerLookups),
                 static_cast<unsigned long long>(c.queuedPackets));
  }
  server.Stop();
  khost::UnloadDriver();
  return 0;
}
