// The DoQ client fed server datagrams after its first flight. The input is a
// run of records (kind, 2-byte length, bytes); a kind picks how the bytes
// become a datagram: as they are, as a long or short header aimed at the
// client's own connection id, as a Version Negotiation listing versions from
// the input, or as a Retry whose integrity tag is right. The ids come from
// the client's Initial, so ngtcp2's id checks let the packets through to our
// callbacks. Nothing may crash, leak, or hang, and the query in flight is
// settled (answered or failed) at most once, whatever ended the connection.
//
// Not 10k a second: each input needs a new client, and a new client is a new
// TLS session whose ClientHello makes fresh key shares.
#include <arpa/inet.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "Quorvane/foundation/safe_socket.h"
#include "Quorvane/ngtcp2/quic_client.h"
#include "tests/fuzz/fuzz_log.h"

namespace {

class CFace : public CQuicClientShadowSocketInterface {
 public:
  int Receive() override { return kQuicSocketWouldBlock; }
  int Send(const uint8_t* data, int length) override {
    if (first.empty()) first.assign(data, data + length);
    return kQuicSocketOk;
  }
  void Shutdown() override {}
  std::vector<uint8_t> first;  // the client's first datagram: its Initial
};

// Counts how often the query was settled.
class CHandler final : public CProtocolDataProcessor {
 public:
  CProcessingResultCode& Start(CProcessingResultCode& r, const std::wstring&, const sockaddr_storage&,
                               const std::vector<std::string>&, std::vector<uint8_t>&, const std::string&) override {
    return r;
  }
  bool IsReady() override { return true; }
  CProcessingResultCode& ProcessOutgoingData(CProcessingResultCode& r, const std::vector<uint8_t>&,
                                             std::vector<uint8_t>&) override {
    return r;
  }
  CProcessingResultCode& ProcessIncomingData(CProcessingResultCode& r, std::vector<uint8_t>&, std::vector<uint8_t>&,
                                             std::vector<uint8_t>&) override {
    return r;
  }
  CProcessingResultCode& ProcessAnswer(CProcessingResultCode& r, const uint8_t*, size_t, bool end,
                                       bool finished) override {
    if (end && finished) ++settled;
    return r;
  }
  void OnError(const std::wstring&) override { ++settled; }
  int settled = 0;
};

// Connection ids of the client's Initial: destination, then source.
bool ReadIds(const std::vector<uint8_t>& p, ngtcp2_cid& dcid, ngtcp2_cid& scid) {
  if (p.size() < 7 || !(p[0] & 0x80)) return false;
  size_t at = 5;
  const size_t dlen = p[at++];
  if (dlen > NGTCP2_MAX_CIDLEN || at + dlen >= p.size()) return false;
  ngtcp2_cid_init(&dcid, &p[at], dlen);
  at += dlen;
  const size_t slen = p[at++];
  if (slen > NGTCP2_MAX_CIDLEN || at + slen > p.size()) return false;
  ngtcp2_cid_init(&scid, &p[at], slen);
  return true;
}

void Append(std::vector<uint8_t>& out, const ngtcp2_cid& cid) {
  out.push_back(static_cast<uint8_t>(cid.datalen));
  out.insert(out.end(), cid.data, cid.data + cid.datalen);
}

std::vector<uint8_t> Datagram(uint8_t kind, const uint8_t* b, size_t n, const ngtcp2_cid& clientDcid,
                              const ngtcp2_cid& clientScid) {
  std::vector<uint8_t> out;
  switch (kind % 5) {
    case 0:
      out.assign(b, b + n);
      break;
    case 1: {  // a long header to the client: type bits and version from the input
      if (n < 5) return out;
      out.push_back(static_cast<uint8_t>(0xc0 | (b[0] & 0x3f)));
      out.insert(out.end(), b + 1, b + 5);
      Append(out, clientScid);
      Append(out, clientDcid);
      out.insert(out.end(), b + 5, b + n);
      break;
    }
    case 2: {  // Version Negotiation
      out = {static_cast<uint8_t>(0x80 | (n ? b[0] : 0)), 0, 0, 0, 0};
      Append(out, clientScid);
      Append(out, clientDcid);
      out.insert(out.end(), b + std::min<size_t>(n, 1), b + n);
      break;
    }
    case 3: {  // Retry with a right tag: a new server id, then the token
      if (n < 2) return out;  // ngtcp2 writes no Retry without a token
      ngtcp2_cid serverId;
      const size_t idLength = std::min<size_t>(b[0] % (NGTCP2_MAX_CIDLEN + 1), n - 2);
      ngtcp2_cid_init(&serverId, b + 1, idLength);
      out.resize(n + 128);
      ngtcp2_ssize written = ngtcp2_crypto_write_retry(out.data(), out.size(), NGTCP2_PROTO_VER_V1, &clientScid,
                                                      &serverId, &clientDcid, b + 1 + idLength, n - 1 - idLength);
      out.resize(written > 0 ? static_cast<size_t>(written) : 0);
      break;
    }
    default:  // a short header to the client
      out.push_back(static_cast<uint8_t>(0x40 | (n ? b[0] & 0x3f : 0)));
      out.insert(out.end(), clientScid.data, clientScid.data + clientScid.datalen);
      out.insert(out.end(), b + std::min<size_t>(n, 1), b + n);
      break;
  }
  return out;
}

std::shared_ptr<CSafeSocket> Socket() {
  // Connected once to a loopback port; nothing is ever sent on it (the face
  // takes the datagrams).
  static std::shared_ptr<CSafeSocket> socket = CSafeSocket::Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  return socket;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sockaddr_storage server{};
  auto* in = reinterpret_cast<sockaddr_in*>(&server);
  in->sin_family = AF_INET;
  in->sin_port = htons(853);
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  auto face = std::make_shared<CFace>();
  auto handler = std::make_shared<CHandler>();
  {
    std::shared_ptr<CQuicClientShadow> client = CQuicClient::Create(Socket(), face, L"doq.fuzz.test", server);
    if (!client) __builtin_trap();
    const std::vector<uint8_t> query = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 0, 0, 1, 0, 1};
    client->SendRequest(query, handler);
    client->SendPending();
    ngtcp2_cid dcid, scid;
    if (!ReadIds(face->first, dcid, scid)) __builtin_trap();

    for (size_t at = 0; at + 3 <= size;) {
      const uint8_t kind = data[at];
      const size_t n = std::min<size_t>(size - at - 3, (data[at + 1] << 8) | data[at + 2]);
      const std::vector<uint8_t> datagram = Datagram(kind, data + at + 3, n, dcid, scid);
      at += 3 + n;
      if (datagram.empty()) continue;
      if (!client->OnDataReceived(nullptr, datagram.data(), datagram.size(), nullptr)) break;
      client->OnSendCompleted();
    }
    client->Abort(L"end of input");
  }
  if (handler->settled > 1) __builtin_trap();
  DropLogLines();
  return 0;
}
