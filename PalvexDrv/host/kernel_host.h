// The real backend of the kernel facade's framework side, for palvexdrv:
// the driver is loaded in-process, its control device is the control
// socket, and each connected client is one handle on the device. Requests
// reach the device-control callback one at a time, on the socket server's
// thread; a parked request is completed by whichever thread completes it,
// and its reply is queued to the client's writer thread. The client's
// disconnect cancels its parked requests, then runs the file-close
// callback.
// The filtering side turns the driver's filters into the netfilter chain
// and its queue, classifies each queued packet at the driver's layers, and
// injects through raw sockets; see fwp_host.cc.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "PalvexDrv/host/control_socket_server.h"
#include "PalvexDrv/host/nfqueue_reader.h"
#include "PalvexDrv/kernel/wdf.h"

namespace khost {

struct SFilteringConfig {
  std::string chain = "PALVEXDRV";
  uint16_t queueNumber = 5353;
  uint32_t ownMark = 0x70640001;    // SO_MARK of what the host injects
  uint32_t blockMark = 0x70640002;  // a blocked TCP connect: rejected with a reset
  uint32_t foreignMark = 0;         // marks another injector's packets; 0: none
  // False: filters install no chain, bind no queue and open no raw socket,
  // so classification runs without root on packets a test hands over
  // through ClassifyQueuedPacket (injections then fail).
  bool netfilter = true;
};
// Before LoadDriver.
void ConfigureFiltering(const SFilteringConfig& config);
// Runs the injection completions that are due, on the calling thread; the
// control socket's thread calls it after each request, so an injection's
// memory is freed without waking the worker.
void RunInjectionCompletions();
// Why the last FwpmFilterAdd0 could not set up the packet path, or empty.
std::string FilteringError();
// The classification of one queued packet and its verdict, as the queue
// reader's thread runs it (without setting the verdict).
EQueueVerdict ClassifyQueuedPacket(const SQueuedPacket& queued);
// The process looked at first for a socket's owner: the connected client
// (the program opens one upstream socket per query).
void SetOwnerHint(pid_t pid);

// What the packet path has held and done since the host started.
struct SHostCounters {
  size_t flows = 0;      // held in the flow table now
  size_t flowLimit = 0;  // held at most
  uint64_t flowsEvicted = 0;      // ended to make room for a new one
  uint64_t untrackedInbound = 0;  // inbound datagrams of no flow, passed
  uint64_t ownerLookups = 0;      // sock_diag searches for a new flow's socket
  uint64_t queuedPackets = 0;     // packets the reader was handed
};
SHostCounters HostCounters();

// Runs the entry point with a fresh driver object; the driver stays loaded
// when it returns success.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry);
// Runs the unload and cleanup callbacks and frees the device. The control
// socket server must be stopped first, so no client holds the device.
void UnloadDriver();
// The sessions of the control socket: one handle on the device each.
ControlSessionFactory DeviceSessionFactory();

}  // namespace khost
