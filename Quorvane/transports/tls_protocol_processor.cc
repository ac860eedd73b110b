#include "Quorvane/transports/tls_protocol_processor.h"

#include <cstring>
#include <thread>

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/system_errors.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/transports/certificate_cache.h"
#include "Quorvane/transports/der_reader.h"

std::atomic<int> CTlsProtocolProcessor::s_runningRechecks{0};

namespace {

CProcessingResultCode& Set(CProcessingResultCode& result, CProcessingResultCode value) {
  result = std::move(value);
  return result;
}

}  // namespace

CTlsProtocolProcessor::CTlsProtocolProcessor(const std::wstring& serverName)
    : m_serverName(serverName), m_channel(std::make_unique<platform::TlsChannel>()) {}

CTlsProtocolProcessor::CTlsProtocolProcessor(const CTlsProtocolProcessor& other)
    : CProtocolDataProcessor(other),
      m_serverName(other.m_serverName),
      m_channel(std::make_unique<platform::TlsChannel>()),
      m_prepared(other.m_prepared),
      m_targetName(other.m_targetName),
      m_serverAddress(other.m_serverAddress),
      m_pins(other.m_pins),
      m_stamp(other.m_stamp) {}

CTlsProtocolProcessor::~CTlsProtocolProcessor() = default;

CProcessingResultCode& CTlsProtocolProcessor::Start(CProcessingResultCode& result, const std::wstring& targetName,
                                                    const sockaddr_storage& serverAddress,
                                                    const std::vector<std::string>& pins,
                                                    std::vector<uint8_t>& toSend, const std::string& stamp) {
  m_prepared = true;
  m_targetName = targetName;
  const auto* address = reinterpret_cast<const uint8_t*>(&serverAddress);
  m_serverAddress.assign(address, address + sizeof(sockaddr_storage));
  m_pins = pins;
  m_stamp = stamp;
  if (!m_channel->HasContext()) {
    uint32_t status = platform::AcquireTlsCredentials();
    if (status != platform::SEC_E_OK) return Set(result, MakeSystemErrorResult(L"SSL cannot be initialized, error: ", status));
  }
  std::vector<uint8_t> first;
  uint32_t status = m_channel->Start(WideToUtf8(targetName), first);
  if (status != platform::SEC_I_CONTINUE_NEEDED) {
    return Set(result, MakeSystemErrorResult(
                           L"SSL handshake cannot be started, InitializeSecurityContext failed with error: ", status));
  }
  toSend.insert(toSend.end(), first.begin(), first.end());
  return Set(result, CProcessingResultCode());
}

CProcessingResultCode& CTlsProtocolProcessor::ProcessOutgoingData(CProcessingResultCode& result,
                                                                  const std::vector<uint8_t>& input,
                                                                  std::vector<uint8_t>& output) {
  if (!m_handshakeComplete) {
    return Set(result, MakeErrorResult(L"The upstream data cannot be send because handshake is not coplete"));
  }
  if (input.empty()) return Set(result, CProcessingResultCode());
  uint32_t status = m_channel->Encrypt(input.data(), input.size(), output);
  if (status != platform::SEC_E_OK) {
    return Set(result, MakeSystemErrorResult(L"SSL send failed, EncryptMessage return error: ", status));
  }
  return Set(result, CProcessingResultCode());
}

CProcessingResultCode& CTlsProtocolProcessor::ProcessIncomingData(CProcessingResultCode& result,
                                                                  std::vector<uint8_t>& input,
                                                                  std::vector<uint8_t>& toSend,
                                                                  std::vector<uint8_t>& answer) {
  if (!m_handshakeComplete) return ContinueHandshake(result, input, toSend, answer);
  return Decrypt(result, input, toSend, answer);
}

CProcessingResultCode& CTlsProtocolProcessor::ContinueHandshake(CProcessingResultCode& result,
                                                                std::vector<uint8_t>& input,
                                                                std::vector<uint8_t>& toSend,
                                                                std::vector<uint8_t>& answer) {
  std::vector<uint8_t> output;
  uint32_t status = m_channel->Handshake(input.data(), input.size(), output);
  input.clear();
  toSend.insert(toSend.end(), output.begin(), output.end());
  if (status == platform::SEC_E_INCOMPLETE_MESSAGE) {
    return Set(result, CProcessingResultCode(CProcessingResultCode::NeedMoreData, L""));
  }
  if (status == platform::SEC_I_CONTINUE_NEEDED) return Set(result, CProcessingResultCode());
  if (status != platform::SEC_E_OK) {
    return Set(result, MakeSystemErrorResult(
                           L"SSL handshake cannot be processed, InitializeSecurityContext failed with error: ", status));
  }
  m_handshakeComplete = true;
  Set(result, CheckServerCertificate(m_targetName, m_serverAddress, m_pins, m_stamp));
  // Records that came with the handshake's end (tickets, a key update) are
  // read now: no further receive may bring them up.
  if (result.code == CProcessingResultCode::Ok && m_channel->PendingInput() > 0) {
    std::vector<uint8_t> none;
    Decrypt(result, none, toSend, answer);
    if (result.code == CProcessingResultCode::NeedMoreData) Set(result, CProcessingResultCode());
  }
  return result;
}

CProcessingResultCode& CTlsProtocolProcessor::Decrypt(CProcessingResultCode& result, std::vector<uint8_t>& input,
                                                      std::vector<uint8_t>& toSend, std::vector<uint8_t>& plaintext) {
  std::vector<uint8_t> output;
  uint32_t status = m_channel->Decrypt(input.data(), input.size(), plaintext, output);
  input.clear();
  toSend.insert(toSend.end(), output.begin(), output.end());
  switch (status) {
    case platform::SEC_E_OK:
    case platform::SEC_I_CONTEXT_EXPIRED:
      return Set(result, CProcessingResultCode());
    case platform::SEC_I_RENEGOTIATE: {
      m_handshakeComplete = false;
      std::vector<uint8_t> none;
      return ContinueHandshake(result, none, toSend, plaintext);
    }
    case platform::SEC_E_CONTEXT_EXPIRED:
      return Set(result, MakeErrorResult(L"SSL receive failed - context expired"));
    case platform::SEC_E_INCOMPLETE_MESSAGE:
      return Set(result, CProcessingResultCode(CProcessingResultCode::NeedMoreData, L""));
    default:
      return Set(result, MakeSystemErrorResult(L"SSL receive failed, DecryptMessage return error: ", status));
  }
}

CProcessingResultCode& CTlsProtocolProcessor::ProcessAnswer(CProcessingResultCode& result, const uint8_t*, size_t,
                                                            bool, bool) {
  return Set(result, MakeErrorResult(L"Not implemented in CTlsProtocolProcessor"));
}

CProcessingResultCode CTlsProtocolProcessor::CheckServerCertificate(const std::wstring& targetName,
                                                                    const std::vector<uint8_t>& serverAddress,
                                                                    const std::vector<std::string>& pins,
                                                                    const std::string& stamp) {
  std::vector<platform::DerCertificate> sent;
  PCertificateContext certificate;
  if (m_channel->RemoteCertificates(sent)) certificate = LoadPeerCertificates(sent);
  if (!certificate) {
    return MakeErrorResult(L"Certificate cannot be checked - QueryContextAttributes failed with error " +
                           std::to_wstring(static_cast<int32_t>(kNoCertificateStatus)));
  }
  std::vector<uint8_t> publicKey;
  SubjectPublicKeyBytes(certificate->der, publicKey);
  const int64_t verified = GetCertificateCache().GetVerifiedTime(targetName, publicKey, serverAddress, stamp);
  const int64_t now = platform::TickSeconds();
  if (verified != 0 && verified >= now - kCacheAcceptSeconds) return CProcessingResultCode();
  if (verified == 0) {
    auto task = std::make_shared<CProcessingResultCode::Task>(
        [certificate, publicKey, targetName, serverAddress, pins, stamp] {
          return CheckCertificate(certificate, publicKey, targetName, serverAddress, pins, stamp);
        });
    return CProcessingResultCode(CProcessingResultCode::LongTask, L"Check certificate data", std::move(task));
  }
  ++s_runningRechecks;
  std::thread([certificate, publicKey, targetName, serverAddress, pins, stamp] {
    CProcessingResultCode checked = CheckCertificate(certificate, publicKey, targetName, serverAddress, pins, stamp);
    if (checked.code == CProcessingResultCode::Error) {
      CLogMessage().SetError().Append(LogError, targetName + L" - " + checked.message);
      GetCertificateCache().Remove(targetName, publicKey, serverAddress, stamp);
    }
    --s_runningRechecks;
  }).detach();
  return CProcessingResultCode();
}

CProcessingResultCode CTlsProtocolProcessor::CheckCertificate(const PCertificateContext& certificate,
                                                              const std::vector<uint8_t>& publicKey,
                                                              const std::wstring& targetName,
                                                              const std::vector<uint8_t>& serverAddress,
                                                              const std::vector<std::string>& pins,
                                                              const std::string& stamp) {
  if (!pins.empty()) {
    std::vector<platform::DerCertificate> chain;
    bool matched = false;
    if (certificate && platform::BuildCertificateChain(*certificate, chain)) {
      for (const platform::DerCertificate& element : chain) {
        if ((matched = HashTbsCertificate(element, pins))) break;
      }
    }
    if (!matched) return MakeErrorResult(L"TLS certificate does not match provided hash");
  }
  if (VerifyServerCertificate(certificate, targetName) != 0) return MakeErrorResult(L"TLS certificate verification failed");
  GetCertificateCache().SetVerified(targetName, publicKey, serverAddress, stamp);
  return CProcessingResultCode();
}

bool CTlsProtocolProcessor::HashTbsCertificate(const std::vector<uint8_t>& der, const std::vector<std::string>& pins) {
  SDerElement tbs;
  if (!FindTbsCertificate(der, tbs)) return false;
  std::vector<uint8_t> digest = platform::Sha256(der.data() + tbs.start, tbs.end - tbs.start);
  if (digest.size() != 32) return false;
  for (const std::string& pin : pins) {
    if (pin.size() == 32 && std::memcmp(pin.data(), digest.data(), 32) == 0) return true;
  }
  return false;
}
