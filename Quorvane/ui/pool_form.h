// The pool dialogs apart from Qt: "Pool Type" (name, type, whether Options
// is enabled, OK) and "Redundancy Pool Options" (test host and recheck time).
// Refusals are boxes through the prompt. UI thread.
#pragma once

#include <functional>
#include <string>

#include "Quorvane/config/dns_pool.h"

// The recheck text read as atoi reads it (leading blanks, a sign, digits up
// to the first other character; none gives 0), clamped to the int range.
int ReadRecheckText(const std::string& text);

class CPoolRedundancyForm {
 public:
  CPoolRedundancyForm(std::string testHost, int recheckTime);
  // False after the box; else testHost and recheckTime hold the values.
  bool Ok();

  std::string testHost;
  int recheckTime;
  std::string recheckText;
};

// Runs the options dialog on its form; true on OK.
using RedundancyDialogRunner = std::function<bool(CPoolRedundancyForm& form)>;

class CPoolForm {
 public:
  explicit CPoolForm(CDnsPool& pool);

  bool OptionsEnabled() const { return choice == 0; }
  // The options go into the pool at once, whatever OK or Cancel follows.
  void Options(const RedundancyDialogRunner& run);
  // False after the box; else the name and type are written.
  bool Ok();

  int choice;  // 0 Redundancy, 1 Load Balancing
  std::wstring name;

 private:
  CDnsPool& m_pool;
};
