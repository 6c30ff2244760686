#pragma once
// Watches a device path such as /dev/ttyUSB0 or /dev/serial/by-id/usb-...-port0 for its return.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sources/transports/device_watch.h"

class QSocketNotifier;

namespace geomuxer {

/// Fires `appeared` whenever something changes along `path` and the path then leads to an existing
/// file. On Linux it watches, with inotify, the folder of the path and of every symbolic link on
/// the way to the device (so both a re-created /dev/serial/by-id link and a device node that
/// comes back behind an unchanged link are seen), or the nearest folder above that still exists
/// (udev removes /dev/serial/by-id with the last adapter). Costs nothing while nothing changes.
/// Elsewhere, or when inotify is not available, `watching` is false and it never fires.
class DevicePathWatcher : public DeviceWatch {
  Q_OBJECT

 public:
  explicit DevicePathWatcher(std::string path, QObject* parent = nullptr);
  ~DevicePathWatcher() override;

  [[nodiscard]] bool watching() const override { return m_fd >= 0; }
  [[nodiscard]] const std::string& path() const { return m_path; }
  /// True when the path leads to an existing file now.
  [[nodiscard]] bool present() const;

  /// The folders watched for `path` and, for each, the names in it that matter: the folder of the
  /// path and of each link target on the way, each replaced by its nearest existing ancestor
  /// (then the name that matters is the missing child). At most 16 links are followed.
  [[nodiscard]] static std::map<std::string, std::set<std::string>> foldersFor(const std::string& path);

 private:
  void rearm();
  void readEvents();

  std::string m_path;
  int m_fd = -1;
  std::unique_ptr<QSocketNotifier> m_notifier;
  struct Watched {
    std::string folder;
    std::set<std::string> names;
  };
  std::map<int, Watched> m_watches;  // by inotify watch descriptor
};

}  // namespace geomuxer
