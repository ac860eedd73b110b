// Conf-file fixtures: the data folder of these tests and loading a text as
// a conf-file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "Quorvane/config/object_id.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/text_utils.h"
#include "tests/support/temp_folder.h"

namespace testsupport {

// A load sets g_NextObjectId; each test puts it back for the tests after it.
class ConfFileTest : public ::testing::Test {
 protected:
  ConfFileTest() : m_savedNextObjectId(g_NextObjectId) {}
  ~ConfFileTest() override { g_NextObjectId = m_savedNextObjectId; }

 private:
  uint32_t m_savedNextObjectId;
};

inline std::filesystem::path ConfData(const std::string& name) {
  return std::filesystem::path(TARNWICK_CONFIG_TEST_DATA) / name;
}

inline std::wstring WidePath(const std::filesystem::path& path) { return Utf8ToWide(path.string()); }

// A conf-file with the current root element around body.
inline std::string ConfText(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<TarnwickProfile file_format=\"1\" product_id=\"1\" product_min_version=\"127000\">\n" +
         body + "</TarnwickProfile>\n";
}

// Writes text to "Configuration.xml" in folder and loads it into profile.
inline bool LoadConfText(const TempFolder& folder, const std::string& text, CProfile& profile, std::wstring& error) {
  const auto path = folder.Path() / "Configuration.xml";
  WriteBytes(path, text);
  bool openFailed = false;
  bool checkVersion = true;
  return profile.Load(error, openFailed, checkVersion, WidePath(path));
}

}  // namespace testsupport
