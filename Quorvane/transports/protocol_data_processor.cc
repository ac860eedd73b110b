#include "Quorvane/transports/protocol_data_processor.h"

#include "Quorvane/transports/engine_sink.h"

void CProtocolDataProcessor::OnError(const std::wstring& text) {
  FailRequest(m_requestId, m_name, text);
}
