#include "sources/transports/locapi_library.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <dlfcn.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace geomuxer {

namespace {

struct Loaded {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<LocapiLibrary>, std::less<>> byPath;
};

// The one piece of process-wide state: which libraries have been loaded. Loading is for good, so
// the table only ever grows, by one entry per path.
Loaded& loaded() {
  static Loaded instance;
  return instance;
}

template <typename Function>
Function entry(void* handle, const char* name) {
  return reinterpret_cast<Function>(dlsym(handle, name));
}

}  // namespace

std::string LocapiLibrary::defaultPath() {
  std::vector<QString> candidates;
  if (QCoreApplication::instance() != nullptr) {
    const QString dir = QCoreApplication::applicationDirPath();
    candidates.push_back(dir + QLatin1Char('/') + QLatin1String(kFileName));
#ifdef GEOMUXER_INSTALL_LIBDIR
    candidates.push_back(dir + QLatin1String("/../" GEOMUXER_INSTALL_LIBDIR "/") + QLatin1String(kFileName));
#endif
    candidates.push_back(dir + QLatin1String("/../lib/") + QLatin1String(kFileName));
  }
#ifdef GEOMUXER_LOCAPI_BUILD_PATH
  candidates.push_back(QStringLiteral(GEOMUXER_LOCAPI_BUILD_PATH));
#endif
  if (candidates.empty()) return kFileName;
  for (const QString& candidate : candidates)
    if (QFileInfo::exists(candidate)) return QFileInfo(candidate).absoluteFilePath().toStdString();
  return candidates.front().toStdString();
}

LocapiLibrary* LocapiLibrary::load(const std::string& requested) {
  const std::string path = requested.empty() ? defaultPath() : requested;
  Loaded& table = loaded();
  std::lock_guard lock(table.mutex);
  if (const auto it = table.byPath.find(path); it != table.byPath.end()) return it->second.get();

  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  const auto init = entry<locapi_InitFunction>(handle, "locapi_Init");
  const auto query = entry<locapi_QueryFunction>(handle, "locapi_Query");
  const auto done = entry<locapi_DoneFunction>(handle, "locapi_Done");
  if (init == nullptr || query == nullptr || done == nullptr) {
    dlclose(handle);
    return nullptr;
  }
  const auto connected = entry<locapi_ConnectedFunction>(handle, "locapi_Connected");
  auto library = std::unique_ptr<LocapiLibrary>(new LocapiLibrary(path, init, query, done, connected));
  return table.byPath.emplace(path, std::move(library)).first->second.get();
}

}  // namespace geomuxer
