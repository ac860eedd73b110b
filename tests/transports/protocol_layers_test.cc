#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "Quorvane/foundation/log.h"
#include "Quorvane/transports/dns_plain_protocol_processor.h"
#include "Quorvane/transports/dns_tcp_plain_protocol_processor.h"
#include "Quorvane/transports/multilayer_protocol_processor.h"
#include "Quorvane/transports/processing_result.h"
#include "tests/transports/capture_sink.h"

namespace {

using Bytes = std::vector<uint8_t>;
using R = CProcessingResultCode;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Framed(const Bytes& message) {
  Bytes out{static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())};
  out.insert(out.end(), message.begin(), message.end());
  return out;
}
Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(FormatSystemError, HexThenTheSystemsMessage) {
  EXPECT_EQ(FormatSystemError(10061), L"274d (Connection refused)");
  EXPECT_EQ(FormatSystemError(0xdeadbeef), L"deadbeef");
  R r = MakeSystemErrorResult(L"connect failed: ", 1225);
  EXPECT_EQ(r.code, R::Error);
  EXPECT_EQ(r.message, L"connect failed: 4c9 (Connection refused)");
  EXPECT_EQ(MakeErrorResult(L"x").message, L"x");
  R fresh;
  EXPECT_EQ(fresh.code, R::Ok);
  EXPECT_EQ(fresh.task, nullptr);
}

TEST(DnsPlainProtocolProcessor, OutgoingSizeLimitAndFraming) {
  struct Case { const char* name; bool framing; size_t size; R::Code code; size_t outSize; };
  const Case cases[] = {
      {"framed_max", true, 65535, R::Ok, 65537},
      {"framed_too_big", true, 65536, R::Error, 0},
      {"bare_max", false, 65535, R::Ok, 65535},
      {"bare_too_big", false, 65536, R::Error, 0},
      {"framed_empty", true, 0, R::Ok, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CDnsPlainProtocolProcessor layer(c.framing);
    Bytes input(c.size, 0xab), output;
    R r;
    layer.ProcessOutgoingData(r, input, output);
    EXPECT_EQ(r.code, c.code);
    ASSERT_EQ(output.size(), c.outSize);
    if (c.code == R::Error) {
      EXPECT_EQ(r.message, L"DNS request cannot be processed: size is too big");
    }
    if (c.framing && c.code == R::Ok) {
      EXPECT_EQ(output[0], static_cast<uint8_t>(c.size >> 8));
      EXPECT_EQ(output[1], static_cast<uint8_t>(c.size));
    }
    EXPECT_EQ(input.size(), c.size);  // left as it was
  }
}

TEST(DnsPlainProtocolProcessor, IncomingAnswerInOneBytePieces) {
  CDnsTcpPlainProtocolProcessor layer(L"srv");
  Bytes message = Text("answer-bytes"), wire = Framed(message), toSend, answer;
  R r;
  for (size_t i = 0; i + 1 < wire.size(); ++i) {
    Bytes piece{wire[i]};
    layer.ProcessIncomingData(r, piece, toSend, answer);
    ASSERT_EQ(r.code, R::NeedMoreData) << i;
    EXPECT_TRUE(piece.empty());
  }
  Bytes last{wire.back()};
  layer.ProcessIncomingData(r, last, toSend, answer);
  EXPECT_EQ(r.code, R::Ok);
  EXPECT_EQ(answer, message);
  EXPECT_TRUE(toSend.empty());
}

TEST(DnsPlainProtocolProcessor, TwoAnswersInOneInputComeOneAtATime) {
  CDnsTcpPlainProtocolProcessor layer(L"srv");
  Bytes input = Concat(Framed(Text("first")), Framed(Text("second"))), toSend, answer;
  R r;
  layer.ProcessIncomingData(r, input, toSend, answer);
  EXPECT_EQ(r.code, R::Ok);
  EXPECT_EQ(answer, Text("first"));
  Bytes empty;
  layer.ProcessIncomingData(r, empty, toSend, answer);
  EXPECT_EQ(r.code, R::NeedMoreData);  // an empty input never reads the buffer
  Bytes more = Framed(Text("x"));
  layer.ProcessIncomingData(r, more, toSend, answer);
  EXPECT_EQ(r.code, R::Ok);
  EXPECT_EQ(answer, Text("second"));
}

TEST(DnsPlainProtocolProcessor, ZeroLengthPrefixGivesAnEmptyAnswer) {
  CDnsTcpPlainProtocolProcessor layer(L"srv");
  Bytes input{0, 0}, toSend, answer = Text("old");
  R r;
  layer.ProcessIncomingData(r, input, toSend, answer);
  EXPECT_EQ(r.code, R::Ok);
  EXPECT_TRUE(answer.empty());
}

class PushedAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    std::list<SLogLine> drop;
    SwapLogQueue(drop, true);
    g_LogLevelScreen = LogNormal;
  }
  std::list<SLogLine> ScreenLines() {
    std::list<SLogLine> lines;
    SwapLogQueue(lines, true);
    return lines;
  }
  CCaptureSink m_sink;
};

TEST_F(PushedAnswers, BareStreamIsHandedOverWholeAtTheEnd) {
  CDnsPlainProtocolProcessor layer(false);
  layer.m_requestId = 42;
  Bytes a = Text("part one,"), b = Text("part two");
  R r;
  layer.ProcessAnswer(r, a.data(), a.size(), false, false);
  EXPECT_EQ(r.code, R::Ok);
  layer.ProcessAnswer(r, b.data(), b.size(), false, false);
  EXPECT_TRUE(m_sink.Calls().empty());
  layer.ProcessAnswer(r, nullptr, 0, true, true);
  EXPECT_EQ(r.code, R::Ok);
  auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].requestId, 42u);
  EXPECT_EQ(calls[0].bytes, Concat(a, b));
}

TEST_F(PushedAnswers, RefusedAnswersBecomeErrors) {
  m_sink.accept = [](const Bytes&) { return false; };
  CDnsPlainProtocolProcessor bare(false);
  Bytes a = Text("x");
  R r;
  bare.ProcessAnswer(r, a.data(), a.size(), true, true);
  EXPECT_EQ(r.code, R::Error);
  EXPECT_EQ(r.message, L"dns answer was not processed properly");
  CDnsPlainProtocolProcessor framed(true);
  Bytes wire = Framed(a);
  framed.ProcessAnswer(r, wire.data(), wire.size(), false, false);
  EXPECT_EQ(r.code, R::Error);
  EXPECT_EQ(r.message, L"Answer was not processed properly");
}

TEST_F(PushedAnswers, EmptyStreamIsLoggedAndOk) {
  CDnsPlainProtocolProcessor layer(false);
  layer.m_name = L"example.org";
  R r;
  layer.ProcessAnswer(r, nullptr, 0, true, true);
  EXPECT_EQ(r.code, R::Ok);
  EXPECT_TRUE(m_sink.Calls().empty());
  auto lines = ScreenLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines.front().text, L"example.org - empty DNS response");
}

// A framed stream that has ended (a DoQ stream at its FIN) cannot wait for
// more bytes: it is empty, incomplete, or one message.
TEST_F(PushedAnswers, FramedStreamAtItsEnd) {
  struct SCase {
    const char* name;
    Bytes wire;
    R::Code code;
    const wchar_t* message;
    size_t answers;
  };
  Bytes whole = Framed(Text("answer"));
  const SCase cases[] = {
      {"empty", {}, R::Ok, L"", 0},
      {"one_byte", {0}, R::Error, L"DNS answer is incomplete", 0},
      {"short_by_one", Bytes(whole.begin(), whole.end() - 1), R::Error, L"DNS answer is incomplete", 0},
      {"whole", whole, R::Ok, L"", 1},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    CCaptureSink sink;
    CDnsPlainProtocolProcessor layer(true);
    layer.m_name = L"example.org";
    R r;
    layer.ProcessAnswer(r, c.wire.data(), c.wire.size(), true, true);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.message, c.message);
    ASSERT_EQ(sink.Calls().size(), c.answers);
    if (c.answers) {
      EXPECT_EQ(sink.Calls()[0].bytes, Text("answer"));
    }
    auto lines = ScreenLines();
    EXPECT_EQ(lines.size(), c.wire.empty() ? 1u : 0u);
    if (c.wire.empty() && !lines.empty()) {
      EXPECT_EQ(lines.front().text, L"example.org - empty DNS response");
    }
  }
}

TEST_F(PushedAnswers, FramedHandsOverExactlyEachMessage) {
  CDnsPlainProtocolProcessor layer(true);
  Bytes wire = Concat(Framed(Text("first")), Framed(Text("second")));
  R r;
  layer.ProcessAnswer(r, wire.data(), 3, false, false);
  EXPECT_EQ(r.code, R::NeedMoreData);
  layer.ProcessAnswer(r, wire.data() + 3, wire.size() - 3, false, false);
  EXPECT_EQ(r.code, R::Ok);
  layer.ProcessAnswer(r, nullptr, 0, false, false);
  EXPECT_EQ(r.code, R::Ok);
  auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].bytes, Text("first"));  // no trailing bytes of the next message
  EXPECT_EQ(calls[1].bytes, Text("second"));
}

TEST_F(PushedAnswers, OnErrorRemovesTransportStateThenFailsTheRequest) {
  CDnsPlainProtocolProcessor layer(false);
  layer.m_requestId = 7;
  layer.m_name = L"a.example";
  layer.OnError(L"boom");
  auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].entry, "remove");
  EXPECT_EQ(calls[0].requestId, 7u);
  EXPECT_EQ(calls[1].entry, "pending-error");
  EXPECT_EQ(calls[1].name, L"a.example");
  EXPECT_EQ(calls[1].text, L"boom");
}

// An outer layer with a scripted handshake: Start sends "HELLO"; the peer's
// "CERT" asks for a long task, its "DONE" finishes the handshake with the
// reply "FIN". Once ready, bytes are "encrypted" by xor with 0x55.
class CScriptedOuter final : public CProtocolDataProcessor {
 public:
  explicit CScriptedOuter(const std::wstring& name) { m_name = name; }
  bool sendOnStart = true;
  bool ready = false;

  static Bytes Xor(Bytes b) {
    for (auto& c : b) c ^= 0x55;
    return b;
  }
  R& Start(R& result, const std::wstring&, const sockaddr_storage&, const std::vector<std::string>&, Bytes& toSend,
           const std::string&) override {
    if (sendOnStart) toSend = Concat(toSend, Text("HELLO"));
    result = R();
    return result;
  }
  bool IsReady() override { return ready; }
  R& ProcessOutgoingData(R& result, const Bytes& input, Bytes& output) override {
    output = Concat(output, Xor(input));
    result = R();
    return result;
  }
  R& ProcessIncomingData(R& result, Bytes& input, Bytes& toSend, Bytes& answer) override {
    Bytes in;
    in.swap(input);
    result = R();
    if (!ready) {
      if (in == Text("CERT")) {
        result = R(R::LongTask, L"check", std::make_shared<R::Task>([] { return R(); }));
      } else if (in == Text("DONE")) {
        ready = true;
        toSend = Concat(toSend, Text("FIN"));
      } else {
        result = R(R::NeedMoreData, L"");
      }
      return result;
    }
    answer = Concat(answer, Xor(in));
    return result;
  }
  R& ProcessAnswer(R& result, const uint8_t*, size_t, bool, bool) override { return result = R(); }
};

using CScriptedStack = CMultilayerProtocolProcessor<CScriptedOuter>;

TEST(MultilayerProtocolProcessor, HandshakeThenEncryptedMessages) {
  CScriptedStack stack(L"dot.example");
  EXPECT_EQ(stack.m_inner.m_serverName, L"dot.example");
  EXPECT_EQ(stack.m_outer.m_name, L"dot.example");
  R r;
  Bytes toSend, answer;
  stack.Start(r, L"dot.example", sockaddr_storage{}, {}, toSend, "");
  EXPECT_EQ(r.code, R::Ok);
  EXPECT_EQ(toSend, Text("HELLO"));
  EXPECT_FALSE(stack.IsReady());  // the inner layer is always ready; the outer decides

  toSend.clear();
  Bytes cert = Text("CERT");
  stack.ProcessIncomingData(r, cert, toSend, answer);
  EXPECT_EQ(r.code, R::LongTask);
  EXPECT_EQ(r.message, L"check");
  ASSERT_NE(r.task, nullptr);
  EXPECT_EQ((*r.task)().code, R::Ok);

  Bytes done = Text("DONE");
  stack.ProcessIncomingData(r, done, toSend, answer);
  EXPECT_EQ(r.code, R::Ok);
  EXPECT_EQ(toSend, Text("FIN"));  // handshake bytes forwarded
  EXPECT_TRUE(answer.empty());
  EXPECT_TRUE(stack.IsReady());

  Bytes query = Text("query"), wire;
  stack.ProcessOutgoingData(r, query, wire);
  EXPECT_EQ(r.code, R::Ok);
  EXPECT_EQ(wire, CScriptedOuter::Xor(Framed(query)));

  Bytes reply = CScriptedOuter::Xor(Framed(Text("the answer")));
  Bytes head(reply.begin(), reply.begin() + 4), tail(reply.begin() + 4, reply.end());
  toSend.clear();
  stack.ProcessIncomingData(r, head, toSend, answer);
  EXPECT_EQ(r.code, R::NeedMoreData);
  stack.ProcessIncomingData(r, tail, toSend, answer);
  EXPECT_EQ(r.code, R::Ok);
  EXPECT_EQ(answer, Text("the answer"));
  EXPECT_TRUE(toSend.empty());

  stack.ProcessOutgoingData(r, Bytes(65536, 1), wire);
  EXPECT_EQ(r.code, R::Error);
  EXPECT_EQ(r.message, L"DNS request cannot be processed: size is too big");
}

TEST(MultilayerProtocolProcessor, StartWithoutBytesNeedsAReadyOuterLayer) {
  CScriptedStack silent(L"s");
  silent.m_outer.sendOnStart = false;
  R r;
  Bytes toSend;
  silent.Start(r, L"s", sockaddr_storage{}, {}, toSend, "");
  EXPECT_EQ(r.code, R::Error);
  EXPECT_EQ(r.message, L"The data processor do not ready but no data send during hanshake");

  CScriptedStack ready(L"s");
  ready.m_outer.sendOnStart = false;
  ready.m_outer.ready = true;
  ready.Start(r, L"s", sockaddr_storage{}, {}, toSend, "");
  EXPECT_EQ(r.code, R::Ok);
  EXPECT_TRUE(toSend.empty());
}

TEST(MultilayerProtocolProcessor, ProcessAnswerIsNotImplemented) {
  CScriptedStack stack(L"s");
  R r;
  uint8_t b = 0;
  stack.ProcessAnswer(r, &b, 1, true, true);
  EXPECT_EQ(r.code, R::Error);
  EXPECT_EQ(r.message, L"Not implemented in CMultilayerProtocolProcessor");
}

}  // namespace
