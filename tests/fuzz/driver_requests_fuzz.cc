// Arbitrary bytes on the control socket of a driver loaded on the simulated
// kernel: every frame reaches the request dispatcher, and the connection
// ends with the input. Nothing may crash, leak or break a facade rule.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "PalvexDrv/device.h"
#include "PalvexDrv/kernel/kernel_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool loaded = ksim::LoadDriver(DriverEntry) == STATUS_SUCCESS;
  if (!loaded) __builtin_trap();
  ksim::CConnection connection;
  connection.Receive(std::vector<uint8_t>(data, data + size));
  connection.EndOfStream();
  ksim::CompleteInjections();
  ksim::ClearInjections();
  ksim::ClearTrace();
  return 0;
}
