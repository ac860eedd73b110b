// What the DNSSEC tests share: the pinned clock, a current folder of the
// test's own (so that no "root.key" of the build is read) and a program
// folder that holds nothing unless a test writes there.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "Quorvane/engine/dnssec/dnssec_validation.h"
#include "Quorvane/platform/clock.h"
#include "tests/engine/dnssec/offline_world.h"
#include "tests/support/temp_folder.h"

namespace dnssectest {

class CDnssecScene {
 public:
  CDnssecScene() : m_clock(1'000'000, kNow) {
    platform::SetClockSourceForTesting(&m_clock);
    m_oldFolder = std::filesystem::current_path();
    std::filesystem::current_path(m_current.Path());
    dnssec::SetProgramFolderForTesting(m_program.Path());
  }
  ~CDnssecScene() {
    std::filesystem::current_path(m_oldFolder);
    dnssec::SetProgramFolderForTesting(std::nullopt);
    platform::SetClockSourceForTesting(nullptr);
  }
  CDnssecScene(const CDnssecScene&) = delete;
  CDnssecScene& operator=(const CDnssecScene&) = delete;

  // Writes "root.key" into the current folder (or the program's).
  void WriteRootKey(const std::string& text, bool programFolder = false) {
    testsupport::WriteBytes((programFolder ? m_program.Path() : m_current.Path()) / "root.key", text);
  }
  platform::FakeClock& Clock() { return m_clock; }
  const std::filesystem::path& ProgramFolder() const { return m_program.Path(); }

  // The world is made once: key generation and signing are the slow part.
  static const CWorld& World() {
    static CWorld* world = new CWorld();
    return *world;
  }

 private:
  platform::FakeClock m_clock;
  testsupport::TempFolder m_current, m_program;
  std::filesystem::path m_oldFolder;
};

}  // namespace dnssectest
