// A fresh folder under the temporary folder, removed with everything in it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "Quorvane/platform/paths.h"

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (platform::TempFolder() / "tarnwick-config-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    m_path = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  const std::filesystem::path& Path() const { return m_path; }
  // Writes bytes exactly as given; returns the file's path.
  std::filesystem::path Write(const std::string& name, const std::string& bytes) const {
    auto path = m_path / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

 private:
  std::filesystem::path m_path;
};
