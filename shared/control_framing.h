// The byte protocol of the driver's control socket, which stands in for
// DeviceIoControl on "\\.\PalvexDrv". Both ends use it: the driver host and
// the program's device stand-in. All integers are little-endian.
//
//   connect     the driver answers one open reply: a u32 Win32 status, 0 or
//               ERROR_ACCESS_DENIED while another client holds the device.
//   request     {u64 tag, u32 code, u32 inputLength, u32 outputCapacity}
//               then inputLength bytes.
//   reply       {u64 tag, u32 status, u64 information, u8 parked, 3 bytes 0,
//               u32 outputLength} then outputLength bytes.
//
// Several requests may be outstanding on one connection; replies come in
// completion order and name their request by tag. information travels with
// failures too (the size a too-small GetEvent buffer needs). A frame above
// the limits below, or one cut short by the end of the stream, ends the
// connection. The readers are I/O-free: bytes in, frames out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "shared/ntstatus.h"

constexpr size_t kOpenReplySize = 4;
constexpr size_t kRequestHeaderSize = 20;
constexpr size_t kReplyHeaderSize = 28;
constexpr uint32_t kMaxRequestInput = 1 << 20;           // 1 MiB
constexpr uint32_t kMaxRequestOutput = 304 + 1000000;    // one event of the largest size

struct SControlRequest {
  uint64_t tag = 0;
  uint32_t code = 0;
  uint32_t outputCapacity = 0;
  std::vector<uint8_t> input;
};

struct SControlReply {
  uint64_t tag = 0;
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t information = 0;  // output bytes, or a size hint with a failure
  bool parked = false;       // the request had waited in the driver
  std::vector<uint8_t> output;
};

std::vector<uint8_t> EncodeOpenReply(uint32_t win32Status);
// Appends the frame to out.
void EncodeRequest(const SControlRequest& request, std::vector<uint8_t>& out);
void EncodeReply(const SControlReply& reply, std::vector<uint8_t>& out);

// The Win32 error a client reports when it cannot reach the socket (errno of
// connect): ERROR_FILE_NOT_FOUND for a missing socket or one with no
// listener, ERROR_ACCESS_DENIED for a refused permission, else
// ERROR_FILE_NOT_FOUND too (the device is not there for this client).
uint32_t Win32ErrorForConnectErrno(int error);

enum class EFrameStatus {
  Frame,     // one frame was taken out
  NeedMore,  // no whole frame buffered yet
  Invalid,   // a header above the limits: end the connection
};

// Frames of one direction, read from a byte stream in any pieces. A header
// is checked against the limits as soon as it is complete, before its body
// is stored anywhere but the stream buffer.
class CControlFrameReader {
 public:
  void Append(const uint8_t* bytes, size_t length);
  EFrameStatus NextRequest(SControlRequest& request);
  EFrameStatus NextReply(SControlReply& reply);
  // Bytes of an unfinished frame: at the end of the stream, a truncated frame.
  bool HasPartialFrame() const { return m_buffer.size() > m_start; }

 private:
  const uint8_t* Peek(size_t length) const;
  void Consume(size_t length);

  std::vector<uint8_t> m_buffer;
  size_t m_start = 0;  // first byte not yet taken
  bool m_invalid = false;
};
