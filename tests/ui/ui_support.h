// What the offscreen tests share: a bounded pump of the UI loop and
// screenshots into build/artifacts/screenshots/.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QWidget>
#include <filesystem>

namespace uitest {

inline void Save(QWidget& widget, const char* name) {
  const std::filesystem::path folder = std::filesystem::path(TARNWICK_BUILD_DIR) / "artifacts" / "screenshots";
  std::filesystem::create_directories(folder);
  const std::string file = (folder / name).string();
  EXPECT_TRUE(widget.grab().save(QString::fromStdString(file))) << file;
}

// Runs the UI loop until done or a bounded number of rounds.
template <class Done>
bool Pump(Done done) {
  for (int i = 0; i < 200 && !done(); ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    usleep(5000);
  }
  return done();
}

}  // namespace uitest
