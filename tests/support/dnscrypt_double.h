// The tests' stand-in for libdnscrypt.so: the six exports the bridge binds,
// plus the control export DnsCryptDoubleControl, which a test reaches by
// dlopen of the same file the bridge opened (one copy per process). It
// records every call, hands out scripted handles and serves results from a
// blocking queue of malloc'd buffers; RunWithData_v2 and Clean never wait for
// the queue to drain. Unscripted (auto mode, the state after loading and
// after Reset(true)) each new remote is reported ready and each query gets an
// answer with one A record of kAutoAddress.
//
// Built as three libraries, none named libdnscrypt.so: complete, without
// Clean, and with InitLibForRunWithData answering false.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SDnsCryptDoubleCall {
  std::string name;               // the export's name
  std::vector<std::string> args;  // each argument as text; null texts as "(null)"
  std::vector<uint8_t> bytes;     // RunWithData_v2's query
};

class CDnsCryptDouble {
 public:
  static constexpr uint8_t kAutoAddress[4] = {192, 0, 2, 53};

  virtual ~CDnsCryptDouble() = default;
  // Forgets calls, handles, queued results and counts; auto mode or scripted.
  virtual void Reset(bool autoMode) = 0;
  // Scripted mode: the handles InitRemoteForRunWithData_v5 returns, in order;
  // 0 once they run out.
  virtual void ScriptHandles(const std::vector<uint64_t>& handles) = 0;
  // Queues one result. nullBuffer hands out NULL; length is reported as
  // given (the buffer holds bytes.size() bytes).
  virtual void PushResult(int kind, uint64_t id, const std::vector<uint8_t>& bytes, int length,
                          bool nullBuffer = false) = 0;
  virtual std::vector<SDnsCryptDoubleCall> Calls() = 0;
  // Bounded wait until count calls of name were made.
  virtual bool WaitForCalls(const std::string& name, size_t count, int timeoutMs) = 0;
  // Bounded wait until the queue is empty and every handed-out buffer freed.
  virtual bool WaitDrained(int timeoutMs) = 0;
  virtual int MemFrees() = 0;
  virtual int ResultsHandedOut() = 0;
};

extern "C" CDnsCryptDouble* DnsCryptDoubleControl();
