// One NFQUEUE queue read with libnetfilter_queue on a thread of its own.
// The queue is bound in copy-packet mode with the fail-open flag, so a full
// queue accepts packets instead of dropping them. Every packet handed to
// the handler must get exactly one verdict (SetVerdict, from any thread);
// one left without keeps its sender waiting. Verdicts the handler gives on
// the reader thread wait for the end of the reader's round and go out in
// batches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct nfq_handle;
struct nfq_q_handle;

struct SQueuedPacket {
  uint32_t id = 0;
  bool inbound = false;  // queued at INPUT, else at OUTPUT
  uint32_t mark = 0;
  uint32_t inInterface = 0, outInterface = 0;  // interface indexes, 0 when none
  const uint8_t* data = nullptr;  // from the IP header on; valid during the handler only
  size_t length = 0;
};

enum class EQueueVerdict { Accept, Drop, Repeat };

class CNfQueueReader {
 public:
  using Handler = std::function<void(const SQueuedPacket&)>;

  ~CNfQueueReader() { Close(); }
  // Binds the queue. False with error set (another process holds the
  // queue, no permission...).
  bool Open(uint16_t queueNumber, std::string& error);
  // Starts the reader thread; the handler runs on it.
  void Start(Handler handler);
  // mark, when given, is set on the packet (with Repeat: the block mark).
  void SetVerdict(uint32_t id, EQueueVerdict verdict, std::optional<uint32_t> mark = std::nullopt);
  // Stops the thread and unbinds; the kernel drops queued packets that have
  // no verdict yet when the queue goes (their senders retry).
  void Close();

 private:
  static int OnPacket(nfq_q_handle* queue, struct nfgenmsg* message, struct nfq_data* data, void* self);
  void Run();
  void FlushRound();

  static constexpr int kRoundPackets = 64;  // read before the verdicts go out

  nfq_handle* m_handle = nullptr;
  nfq_q_handle* m_queue = nullptr;
  int m_wake = -1;
  Handler m_handler;
  std::thread m_thread;
  std::mutex m_sendMutex;  // verdicts come from several threads; m_round
  bool m_inRound = false;  // reader thread only
  std::vector<std::pair<uint32_t, uint32_t>> m_round;  // id, verdict code, in id order
  uint64_t m_handed = 0, m_settled = 0;  // packets given to the handler, verdicts given
};
