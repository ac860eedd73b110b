// The TLS client layer under DNS over TLS: the handshake, records both
// ways, and the server-certificate check when the handshake completes:
// pins (SHA-256 of a chain element's tbsCertificate), then the trust and
// name policy, with the verified-certificate cache letting a success stand
// for 600 s. A certificate never checked makes the handshake's result a long
// task ("Check certificate data") that the TCP transport runs off the
// worker; one checked longer ago passes and is re-checked on a thread of its
// own, whose failure only drops the cache entry.
// The TLS work is platform::TlsChannel's; a copy of the layer carries the
// connection's parameters and starts without a session.
// Threads: one thread at a time drives a layer; the long task and the
// re-check work on copies and touch only the cache.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Quorvane/platform/tls_channel.h"
#include "Quorvane/transports/multilayer_protocol_processor.h"
#include "Quorvane/transports/protocol_data_processor.h"
#include "Quorvane/transports/server_certificate.h"

class CTlsProtocolProcessor final : public CProtocolDataProcessor {
 public:
  static constexpr int64_t kCacheAcceptSeconds = 600;
  // QueryContextAttributes' failure when the server sent no certificate.
  static constexpr uint32_t kNoCertificateStatus = 0x8009030E;

  explicit CTlsProtocolProcessor(const std::wstring& serverName);
  CTlsProtocolProcessor(const CTlsProtocolProcessor& other);
  CTlsProtocolProcessor& operator=(const CTlsProtocolProcessor&) = delete;
  ~CTlsProtocolProcessor();

  // Stores the parameters and appends the client's first flight to toSend.
  // Error "SSL cannot be initialized, error: " or "SSL handshake cannot be
  // started, InitializeSecurityContext failed with error: " + system text.
  CProcessingResultCode& Start(CProcessingResultCode& result, const std::wstring& targetName,
                               const sockaddr_storage& serverAddress, const std::vector<std::string>& pins,
                               std::vector<uint8_t>& toSend, const std::string& stamp) override;
  bool IsReady() override { return m_handshakeComplete; }
  // Error "The upstream data cannot be send because handshake is not
  // coplete" before the handshake; else every byte in as many records as
  // needed, or "SSL send failed, EncryptMessage return error: " + text.
  CProcessingResultCode& ProcessOutgoingData(CProcessingResultCode& result, const std::vector<uint8_t>& input,
                                             std::vector<uint8_t>& output) override;
  // Takes all of input. Before the handshake completes: one handshake step
  // (NeedMoreData while it waits with nothing to send; at its end the
  // certificate check's result, and every record that came with it is
  // decrypted). Afterwards: every complete record is decrypted into answer;
  // NeedMoreData when none is complete; "SSL receive failed, DecryptMessage
  // return error: " + text for a record that fails.
  CProcessingResultCode& ProcessIncomingData(CProcessingResultCode& result, std::vector<uint8_t>& input,
                                             std::vector<uint8_t>& toSend, std::vector<uint8_t>& answer) override;
  // Always Error "Not implemented in CTlsProtocolProcessor".
  CProcessingResultCode& ProcessAnswer(CProcessingResultCode& result, const uint8_t* data, size_t length, bool end,
                                       bool finished) override;

  // Called when a handshake completes.
  CProcessingResultCode CheckServerCertificate(const std::wstring& targetName,
                                               const std::vector<uint8_t>& serverAddress,
                                               const std::vector<std::string>& pins, const std::string& stamp);
  // The full check: pins, then trust and name; a success is cached.
  // Error "TLS certificate does not match provided hash" or "TLS
  // certificate verification failed".
  static CProcessingResultCode CheckCertificate(const PCertificateContext& certificate,
                                                const std::vector<uint8_t>& publicKey,
                                                const std::wstring& targetName,
                                                const std::vector<uint8_t>& serverAddress,
                                                const std::vector<std::string>& pins, const std::string& stamp);
  // True when the SHA-256 of the certificate's tbsCertificate equals a
  // 32-byte pin. False for a certificate whose DER cannot be read.
  static bool HashTbsCertificate(const std::vector<uint8_t>& der, const std::vector<std::string>& pins);

  // Background re-checks still running: for tests, which must not end
  // while one works on the cache.
  static int RunningRechecks() { return s_runningRechecks.load(); }

  std::wstring m_serverName;

 private:
  CProcessingResultCode& ContinueHandshake(CProcessingResultCode& result, std::vector<uint8_t>& input,
                                           std::vector<uint8_t>& toSend, std::vector<uint8_t>& answer);
  CProcessingResultCode& Decrypt(CProcessingResultCode& result, std::vector<uint8_t>& input,
                                 std::vector<uint8_t>& toSend, std::vector<uint8_t>& plaintext);

  std::unique_ptr<platform::TlsChannel> m_channel;  // never copied
  bool m_handshakeComplete = false;
  bool m_prepared = false;
  std::wstring m_targetName;
  std::vector<uint8_t> m_serverAddress;  // the 128-byte socket address
  std::vector<std::string> m_pins;
  std::string m_stamp;

  // Written by each re-check thread at its start and end.
  static std::atomic<int> s_runningRechecks;
};

// DNS over TLS: the framed plain layer inside the TLS layer.
using CDnsTlsProtocolProcessor = CMultilayerProtocolProcessor<CTlsProtocolProcessor>;
