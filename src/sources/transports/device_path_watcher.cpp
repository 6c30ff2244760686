#include "sources/transports/device_path_watcher.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/inotify.h>
#endif

namespace geomuxer {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxLinks = 16;

bool isFolder(const fs::path& path) {
  std::error_code ignored;
  return fs::is_directory(path, ignored);
}

}  // namespace

DevicePathWatcher::DevicePathWatcher(std::string path, QObject* parent)
    : DeviceWatch(parent), m_path(std::move(path)) {
#ifdef __linux__
  m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_fd < 0) return;
  m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
  connect(m_notifier.get(), &QSocketNotifier::activated, this, &DevicePathWatcher::readEvents);
  rearm();
#endif
}

DevicePathWatcher::~DevicePathWatcher() {
  m_notifier.reset();
  if (m_fd >= 0) ::close(m_fd);
}

bool DevicePathWatcher::present() const {
  struct stat info {};
  return ::stat(m_path.c_str(), &info) == 0;
}

std::map<std::string, std::set<std::string>> DevicePathWatcher::foldersFor(const std::string& path) {
  std::map<std::string, std::set<std::string>> folders;
  if (path.empty()) return folders;
  std::error_code ignored;
  fs::path current = fs::absolute(fs::path(path), ignored).lexically_normal();
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    fs::path child = current;
    fs::path folder = current.parent_path();
    while (folder != folder.root_path() && !isFolder(folder)) {
      child = folder;
      folder = folder.parent_path();
    }
    folders[folder.string()].insert(child.filename().string());

    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
    const fs::path target = fs::read_symlink(current, ignored);
    if (ignored) break;
    current = (target.is_absolute() ? target : current.parent_path() / target).lexically_normal();
  }
  return folders;
}

void DevicePathWatcher::rearm() {
#ifdef __linux__
  // Links may have been re-pointed and folders made or removed: start from the path again.
  for (const auto& entry : m_watches) ::inotify_rm_watch(m_fd, entry.first);
  m_watches.clear();
  constexpr std::uint32_t kMask = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM |
                                  IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  for (auto& [folder, names] : foldersFor(m_path)) {
    const int wd = ::inotify_add_watch(m_fd, folder.c_str(), kMask);
    if (wd < 0) continue;  // not readable: the listener's timer still covers it
    Watched& watched = m_watches[wd];
    watched.folder = folder;
    watched.names.insert(names.begin(), names.end());
  }
#endif
}

void DevicePathWatcher::readEvents() {
#ifdef __linux__
  alignas(inotify_event) std::array<char, 4096> buffer{};
  bool relevant = false;
  for (;;) {
    const ssize_t got = ::read(m_fd, buffer.data(), buffer.size());
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        relevant = true;
        continue;
      }
      const auto it = m_watches.find(event->wd);
      if (it == m_watches.end()) continue;  // a watch removed by the last re-arm
      const std::string name = event->len > 0 ? std::string(event->name) : std::string();
      if (name.empty() || it->second.names.count(name) > 0) relevant = true;
    }
  }
  if (!relevant) return;
  rearm();
  if (present()) emit appeared();
#endif
}

}  // namespace geomuxer
