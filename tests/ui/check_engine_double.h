// A checker engine for the dialogs' tests: records each test the checker
// sends and answers nothing itself; a test posts the answers.
#pragma once

#include <vector>

#include "Quorvane/engine/server_check.h"

namespace uitest {

class CRecordingCheckEngine : public CServerCheckEngine {
 public:
  bool SendTestRequest(uint8_t*, uint32_t&, const SDnsMessageInfo&, const SServerCheck& check) override {
    sent.push_back(check);
    return true;
  }
  void OnServerChange(int, const CDnsServer&, const CDnsServer&, bool) override {}
  std::vector<SServerCheck> sent;
};

}  // namespace uitest
