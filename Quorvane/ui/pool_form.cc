#include "Quorvane/ui/pool_form.h"

#include <climits>

#include "Quorvane/app/message_box.h"

int ReadRecheckText(const std::string& text) {
  size_t i = text.find_first_not_of(" \t\n\v\f\r");
  if (i == std::string::npos) return 0;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;  // clamped below; stop before it can wrap
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

CPoolRedundancyForm::CPoolRedundancyForm(std::string host, int recheck)
    : testHost(std::move(host)), recheckTime(recheck), recheckText(std::to_string(recheck)) {}

bool CPoolRedundancyForm::Ok() {
  const CDnsPool defaults;
  if (testHost.empty()) testHost = defaults.testHost;
  if (recheckText.empty()) {
    recheckTime = defaults.recheckDelaySec;
  } else {
    const int value = ReadRecheckText(recheckText);
    if (value < 1) {
      ShowMessageBox(L"Recheck time should be greater than 0.", L"Redundancy Pool Options",
                     MB_OK | MB_ICONEXCLAMATION);
      return false;
    }
    recheckTime = value;
  }
  recheckText = std::to_string(recheckTime);
  return true;
}

CPoolForm::CPoolForm(CDnsPool& pool)
    : choice(pool.type == EPoolType::Redundancy ? 0 : 1), name(pool.name), m_pool(pool) {}

void CPoolForm::Options(const RedundancyDialogRunner& run) {
  CPoolRedundancyForm form(m_pool.testHost, m_pool.recheckDelaySec);
  if (!run(form)) return;
  m_pool.testHost = form.testHost;
  m_pool.recheckDelaySec = form.recheckTime;
}

bool CPoolForm::Ok() {
  if (name.empty()) {
    ShowMessageBox(L"Pool name cannot be empty.", L"Pool Type", MB_OK | MB_ICONINFORMATION);
    return false;
  }
  m_pool.name = name;
  m_pool.type = choice == 1 ? EPoolType::Balancing : EPoolType::Redundancy;
  return true;
}
