#pragma once
// Shared pieces of the application tests: an application object, event-loop waits with a deadline,
// and a settings file written by hand (temporary folders come from support/temp_dir.h).

#include <QApplication>
#include <QCoreApplication>
#include <QtCore/qtestsupport_core.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_controller.h"
#include "settings/settings.h"
#include "support/temp_dir.h"

namespace geomuxer::test {

/// A QApplication on the offscreen platform, so that the window tests run without a display.
inline QCoreApplication& qtApp() {
  static int argc = 1;
  static char name[] = "geomuxer-app-test";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);
  }
  return *QCoreApplication::instance();
}

template <typename Predicate>
[[nodiscard]] bool waitUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  qtApp();
  return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
}

inline void spin(std::chrono::milliseconds time) {
  qtApp();
  QTest::qWait(static_cast<int>(time.count()));
}

/// A settings document with `body` inside the root, as a user (or an older version) wrote it.
inline std::string settingsText(std::string_view body) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings version=\"1.0\">\n";
  text += body;
  text += "\n</settings>\n";
  return text;
}

/// A settings body with every key of the table, in table order: the text given in `texts`, else
/// the key's default.
inline std::string everyKeyBody(const std::map<const SettingKey*, std::string>& texts) {
  std::map<std::string, std::string> sections;
  std::vector<std::string> order;
  for (const SettingKey* key : kSettingKeys) {
    const std::string path(key->path);
    const std::string section = path.substr(0, path.find('\\'));
    const std::string name = path.substr(path.find('\\') + 1);
    const auto given = texts.find(key);
    const std::string text = given != texts.end() ? given->second : std::string(key->defaultText);
    if (!sections.contains(section)) order.push_back(section);
    sections[section] += "<" + name + ">" + text + "</" + name + ">";
  }
  std::string out;
  for (const std::string& section : order) out += "<" + section + ">" + sections[section] + "</" + section + ">";
  return out;
}

/// Keeps the tests off the broadcast's fixed port: it takes a free one. (A server that should run
/// is given port 0 by each test, in its own "http" node.)
inline constexpr std::string_view kQuietPorts = "<tcpiplog><port>0</port></tcpiplog>";

/// A settings file written from `body`, loaded, and a controller over it (not started).
struct ControllerFixture {
  explicit ControllerFixture(std::string_view body) {
    qtApp();
    writeFile(dir / "geomuxer.sml", settingsText(body));
    settings = std::make_unique<Settings>(dir / "geomuxer.sml", (dir.path() / "http/").string());
    const Settings::LoadResult loaded = settings->load();
    if (!loaded.ok()) throw std::runtime_error("settings did not load: " + loaded.message);
    AppController::Options options;
    options.dataDir = std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data";
    options.databaseFile = dir / "geomuxer.db";
    options.uploadQueueFile = dir / "upload-queue.db";
    controller = std::make_unique<AppController>(*settings, options);
  }
  ~ControllerFixture() {
    controller.reset();
  }

  [[nodiscard]] bool logHas(const QString& text) const {
    for (const QString& line : controller->log().lines())
      if (line.contains(text)) return true;
    return false;
  }

  TempDir dir;
  std::unique_ptr<Settings> settings;
  std::unique_ptr<AppController> controller;
};

}  // namespace geomuxer::test
