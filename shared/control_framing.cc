#include "shared/control_framing.h"

#include <cerrno>
#include <cstring>

namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutU64(std::vector<uint8_t>& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t GetU64(const uint8_t* p) { return uint64_t(GetU32(p)) | uint64_t(GetU32(p + 4)) << 32; }

}  // namespace

std::vector<uint8_t> EncodeOpenReply(uint32_t win32Status) {
  std::vector<uint8_t> out;
  PutU32(out, win32Status);
  return out;
}

void EncodeRequest(const SControlRequest& request, std::vector<uint8_t>& out) {
  PutU64(out, request.tag);
  PutU32(out, request.code);
  PutU32(out, static_cast<uint32_t>(request.input.size()));
  PutU32(out, request.outputCapacity);
  out.insert(out.end(), request.input.begin(), request.input.end());
}

void EncodeReply(const SControlReply& reply, std::vector<uint8_t>& out) {
  PutU64(out, reply.tag);
  PutU32(out, static_cast<uint32_t>(reply.status));
  PutU64(out, reply.information);
  out.push_back(reply.parked ? 1 : 0);
  out.insert(out.end(), 3, 0);
  PutU32(out, static_cast<uint32_t>(reply.output.size()));
  out.insert(out.end(), reply.output.begin(), reply.output.end());
}

uint32_t Win32ErrorForConnectErrno(int error) {
  if (error == EACCES || error == EPERM) return ERROR_ACCESS_DENIED;
  return ERROR_FILE_NOT_FOUND;
}

void CControlFrameReader::Append(const uint8_t* bytes, size_t length) {
  // Drop what was taken before growing, so a long-lived connection's buffer
  // holds at most one frame and the piece being added.
  if (m_start > 0) {
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<ptrdiff_t>(m_start));
    m_start = 0;
  }
  m_buffer.insert(m_buffer.end(), bytes, bytes + length);
}

const uint8_t* CControlFrameReader::Peek(size_t length) const {
  if (m_buffer.size() - m_start < length) return nullptr;
  return m_buffer.data() + m_start;
}

void CControlFrameReader::Consume(size_t length) { m_start += length; }

EFrameStatus CControlFrameReader::NextRequest(SControlRequest& request) {
  if (m_invalid) return EFrameStatus::Invalid;
  const uint8_t* header = Peek(kRequestHeaderSize);
  if (!header) return EFrameStatus::NeedMore;
  uint32_t inputLength = GetU32(header + 12);
  uint32_t outputCapacity = GetU32(header + 16);
  if (inputLength > kMaxRequestInput || outputCapacity > kMaxRequestOutput) {
    m_invalid = true;
    return EFrameStatus::Invalid;
  }
  const uint8_t* frame = Peek(kRequestHeaderSize + inputLength);
  if (!frame) return EFrameStatus::NeedMore;
  request.tag = GetU64(frame);
  request.code = GetU32(frame + 8);
  request.outputCapacity = outputCapacity;
  request.input.assign(frame + kRequestHeaderSize, frame + kRequestHeaderSize + inputLength);
  Consume(kRequestHeaderSize + inputLength);
  return EFrameStatus::Frame;
}

EFrameStatus CControlFrameReader::NextReply(SControlReply& reply) {
  if (m_invalid) return EFrameStatus::Invalid;
  const uint8_t* header = Peek(kReplyHeaderSize);
  if (!header) return EFrameStatus::NeedMore;
  uint32_t outputLength = GetU32(header + 24);
  if (outputLength > kMaxRequestOutput || header[20] > 1) {
    m_invalid = true;
    return EFrameStatus::Invalid;
  }
  const uint8_t* frame = Peek(kReplyHeaderSize + outputLength);
  if (!frame) return EFrameStatus::NeedMore;
  reply.tag = GetU64(frame);
  reply.status = static_cast<NTSTATUS>(GetU32(frame + 8));
  reply.information = GetU64(frame + 12);
  reply.parked = frame[20] != 0;
  reply.output.assign(frame + kReplyHeaderSize, frame + kReplyHeaderSize + outputLength);
  Consume(kReplyHeaderSize + outputLength);
  return EFrameStatus::Frame;
}
