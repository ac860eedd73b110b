#include "PalvexDrv/host/nfqueue_reader.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

bool CNfQueueReader::Open(uint16_t queueNumber, std::string& error) {
  m_handle = nfq_open();
  if (!m_handle) {
    error = std::string("nfq_open: ") + std::strerror(errno);
    return false;
  }
  m_queue = nfq_create_queue(m_handle, queueNumber, &CNfQueueReader::OnPacket, this);
  if (!m_queue) {
    error = "cannot bind NFQUEUE " + std::to_string(queueNumber) + ": " + std::strerror(errno);
    Close();
    return false;
  }
  if (nfq_set_mode(m_queue, NFQNL_COPY_PACKET, 0xffff) < 0 ||
      nfq_set_queue_flags(m_queue, NFQA_CFG_F_FAIL_OPEN, NFQA_CFG_F_FAIL_OPEN) < 0) {
    error = std::string("configuring NFQUEUE: ") + std::strerror(errno);
    Close();
    return false;
  }
  nfq_set_queue_maxlen(m_queue, 4096);
  int fd = nfq_fd(m_handle);
  int on = 1;
  // A burst that overflows the socket buffer costs packets (they fail open),
  // not the reader.
  setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof(on));
  m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return true;
}

void CNfQueueReader::Start(Handler handler) {
  m_handler = std::move(handler);
  m_thread = std::thread([this] { Run(); });
}

void CNfQueueReader::Run() {
  int fd = nfq_fd(m_handle);
  std::vector<char> buffer(0x10000 + 4096);
  for (;;) {
    pollfd fds[2] = {{m_wake, POLLIN, 0}, {fd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) return;
    // What is already waiting is read in one round, and the round's verdicts
    // go out together: a run of equal verdicts is one message.
    m_inRound = true;
    for (int i = 0; i < kRoundPackets; ++i) {
      ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n <= 0) break;
      nfq_handle_packet(m_handle, buffer.data(), static_cast<int>(n));
    }
    m_inRound = false;
    FlushRound();
  }
}

void CNfQueueReader::FlushRound() {
  std::lock_guard lock(m_sendMutex);
  // Ids grow in queue order. While every packet handed out has its verdict,
  // a batch verdict up to a run's last id covers exactly that run; one
  // still waiting for its verdict elsewhere would be swept along, so then
  // each goes alone.
  const bool settled = m_handed == m_settled;
  for (size_t i = 0; i < m_round.size() && m_queue; ++i) {
    if (!settled) {
      nfq_set_verdict(m_queue, m_round[i].first, m_round[i].second, 0, nullptr);
      continue;
    }
    if (i + 1 < m_round.size() && m_round[i + 1].second == m_round[i].second) continue;
    nfq_set_verdict_batch(m_queue, m_round[i].first, m_round[i].second);
  }
  m_round.clear();
}

int CNfQueueReader::OnPacket(nfq_q_handle*, struct nfgenmsg*, struct nfq_data* data, void* self) {
  auto* reader = static_cast<CNfQueueReader*>(self);
  nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
  if (!header) return 0;
  {
    std::lock_guard lock(reader->m_sendMutex);
    ++reader->m_handed;
  }
  SQueuedPacket packet;
  packet.id = ntohl(header->packet_id);
  packet.inbound = header->hook == NF_INET_LOCAL_IN;
  packet.mark = nfq_get_nfmark(data);
  packet.inInterface = nfq_get_indev(data);
  packet.outInterface = nfq_get_outdev(data);
  unsigned char* payload = nullptr;
  int length = nfq_get_payload(data, &payload);
  if (length < 0) {
    reader->SetVerdict(packet.id, EQueueVerdict::Accept);
    return 0;
  }
  packet.data = payload;
  packet.length = static_cast<size_t>(length);
  reader->m_handler(packet);
  return 0;
}

void CNfQueueReader::SetVerdict(uint32_t id, EQueueVerdict verdict, std::optional<uint32_t> mark) {
  std::lock_guard lock(m_sendMutex);
  if (!m_queue) return;
  ++m_settled;
  uint32_t code = verdict == EQueueVerdict::Accept ? NF_ACCEPT : verdict == EQueueVerdict::Drop ? NF_DROP : NF_REPEAT;
  if (!mark && m_inRound && std::this_thread::get_id() == m_thread.get_id()) {
    m_round.emplace_back(id, code);
    return;
  }
  if (mark)
    nfq_set_verdict2(m_queue, id, code, *mark, 0, nullptr);
  else
    nfq_set_verdict(m_queue, id, code, 0, nullptr);
}

void CNfQueueReader::Close() {
  if (m_thread.joinable()) {
    uint64_t one = 1;
    (void)!write(m_wake, &one, sizeof(one));
    m_thread.join();
  }
  std::lock_guard lock(m_sendMutex);
  if (m_queue) nfq_destroy_queue(m_queue);
  m_queue = nullptr;
  if (m_handle) nfq_close(m_handle);
  m_handle = nullptr;
  if (m_wake >= 0) close(m_wake);
  m_wake = -1;
}
