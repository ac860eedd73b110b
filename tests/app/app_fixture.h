// What the application tests share: a scripted prompt that fails on a box
// nobody expected and on answers left over, and an environment whose
// configuration, temporary and service folders are a fresh folder of the
// test's own. Both restore what they change.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Quorvane/app/message_box.h"
#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/config/object_id.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/run_mode.h"
#include "Quorvane/foundation/text_utils.h"
#include "tests/support/temp_folder.h"

namespace testsupport {

class CScriptedPrompt : public CPrompt {
 public:
  struct SBox {
    std::wstring text, caption;
    unsigned type;
  };

  CScriptedPrompt() { SetPrompt(this); }
  ~CScriptedPrompt() override {
    SetPrompt(nullptr);
    EXPECT_TRUE(m_answers.empty()) << m_answers.size() << " scripted answers were never asked for";
  }

  void Answer(int answer) { m_answers.push_back(answer); }
  int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override {
    boxes.push_back({text, caption, type});
    if (m_answers.empty()) {
      ADD_FAILURE() << "unexpected box: " << WideToUtf8(text);
      return IDNO;
    }
    int answer = m_answers.front();
    m_answers.pop_front();
    return answer;
  }
  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> texts;
    for (const SBox& box : boxes) texts.push_back(box.text);
    return texts;
  }

  std::vector<SBox> boxes;

 private:
  std::deque<int> m_answers;
};

class CScopedEnvironment {
 public:
  ~CScopedEnvironment() {
    for (const auto& [name, value] : m_saved) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
      else unsetenv(name.c_str());
    }
  }
  void Set(const std::string& name, const std::string& value) {
    if (!m_saved.count(name)) {
      const char* old = getenv(name.c_str());
      m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    setenv(name.c_str(), value.c_str(), 1);
  }

 private:
  std::map<std::string, std::optional<std::string>> m_saved;
};

// The run mode, the configuration and the id counter as they were, and
// the user's folders in a temporary one.
class AppTest : public ::testing::Test {
 protected:
  AppTest() : m_savedNextId(g_NextObjectId), m_savedMode(theApp.RunMode()) {
    SetRunModeHook(&TheAppRunMode);
    for (const char* folder : {"config", "tmp", "state", "run"}) std::filesystem::create_directories(m_folder.Path() / folder);
    m_env.Set("XDG_CONFIG_HOME", (m_folder.Path() / "config").string());
    m_env.Set("TMPDIR", (m_folder.Path() / "tmp").string());
    m_env.Set("STATE_DIRECTORY", (m_folder.Path() / "state").string());
    m_env.Set("XDG_RUNTIME_DIR", (m_folder.Path() / "run").string());
    CProfile fresh;
    fresh.ResetToDefault();
    CProfile::SetRunning(fresh);
  }
  ~AppTest() override {
    theApp.SetRunModeForTesting(m_savedMode);
    theApp.SetConfigFromCommandLine(L"");
    SetRunModeHook(nullptr);
    g_NextObjectId = m_savedNextId;
    CProfile fresh;
    fresh.ResetToDefault();
    CProfile::SetRunning(fresh);
    g_Configuration.path.clear();
  }

  const std::filesystem::path& Folder() const { return m_folder.Path(); }
  CScopedEnvironment& Env() { return m_env; }

 private:
  TempFolder m_folder;
  CScopedEnvironment m_env;
  uint32_t m_savedNextId;
  ERunMode m_savedMode;
};

// A conf-file around body, with the given lowest program version.
inline std::string ConfFile(const std::string& body, const std::string& minVersion = "127000") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<TarnwickProfile file_format=\"1\" product_id=\"1\" product_min_version=\"" + minVersion + "\">\n" + body +
         "</TarnwickProfile>\n";
}

inline std::string ServerLine(uint32_t id, const std::string& name, const std::string& ip) {
  return "\t<DnsServer id=\"" + std::to_string(id) + "\" name=\"" + name +
         "\" port=\"53\" protocol=\"plain\" af=\"2\" ip=\"" + ip + "\" plain_use_tcp=\"0\" />\n";
}

inline std::string RuleLine(const std::string& name, uint32_t serverId) {
  return "\t<Rule name=\"" + name + "\" enabled=\"1\" dnssec_local_validation=\"0\" dnssec_reject_unsigned=\"0\" "
         "block_return_zero_ip=\"1\" hostnames=\"*\" action=\"process_server\" action_id=\"" + std::to_string(serverId) +
         "\" interface_id=\"\" />\n";
}

}  // namespace testsupport
