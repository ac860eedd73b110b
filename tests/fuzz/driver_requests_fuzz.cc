// Arbitrary bytes on the control socket of a driver loaded on the simulated
// kernel: every frame reaches the request dispatcher, and the connection
// ends with the input. Nothing may crash, leak or break a facade rule.
//
// Frames are re-encoded with their output capacity cut to kOutputCap: the
// simulated request fills its whole output buffer, and a megabyte per frame
// would spend the run in memset rather than in the driver. The framing
// itself has control_framing_fuzz. At most kMaxFrames frames are sent: each
// one is a request with its own allocations, and a long run of them only
// repeats what a short one reached.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "PalvexDrv/device.h"
#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/kernel/kernel_sim.h"
#include "shared/control_framing.h"

namespace {

// Bytes; far above a log event, the only kind a session without traffic queues.
constexpr uint32_t kOutputCap = 64 * 1024;
constexpr int kMaxFrames = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool loaded = ksim::LoadDriver(DriverEntry) == STATUS_SUCCESS;
  if (!loaded) __builtin_trap();

  std::vector<uint8_t> stream;
  CControlFrameReader reader;
  reader.Append(data, size);
  size_t used = 0;  // input bytes taken as whole frames
  EFrameStatus status = EFrameStatus::Frame;
  for (int frames = 0; frames < kMaxFrames; ++frames) {
    SControlRequest request;
    status = reader.NextRequest(request);
    if (status != EFrameStatus::Frame) break;
    used += kRequestHeaderSize + request.input.size();
    request.outputCapacity = std::min(request.outputCapacity, kOutputCap);
    EncodeRequest(request, stream);
  }
  // A cut or invalid frame goes as it came and ends the connection.
  if (status != EFrameStatus::Frame) stream.insert(stream.end(), data + used, data + size);

  ksim::CConnection connection;
  connection.Receive(stream);
  connection.EndOfStream();
  ksim::CompleteInjections();
  ksim::ClearInjections();
  ksim::ClearTrace();
  // Events the input left queued would carry into the next one, and their
  // memory would make the fuzzer search for a leak after every input.
  TvnEventListPurge(false);
  return 0;
}
