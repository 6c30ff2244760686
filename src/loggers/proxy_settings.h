#pragma once
// Where uploads go when they must pass an HTTP proxy. The values are loaded on first use by a
// loader that the owner supplies (the controller reads them from the settings file), so that a
// change in the options takes effect at the next run without reloading on every start.

#include <cstdint>
#include <functional>
#include <string>

namespace geomuxer {

/// Proxy host, port and credentials. Shared (std::shared_ptr) between the controller and the HTTP
/// upload logger. Main thread only.
class ProxySettings {
 public:
  /// Fills the values; called by `load` when they have not been loaded since the last `invalidate`.
  using Loader = std::function<void(ProxySettings&)>;

  ProxySettings() = default;
  explicit ProxySettings(Loader loader) : m_loader(std::move(loader)) {}

  void setLoader(Loader loader) { m_loader = std::move(loader); }

  /// Forgets that the values were loaded, so that the next `load` reads them again.
  void invalidate() { m_loaded = false; }
  /// Runs the loader unless the values are already loaded.
  void load();
  [[nodiscard]] bool loaded() const { return m_loaded; }

  /// The loader says the values are usable. Without a loader that sets it, nothing is uploaded.
  [[nodiscard]] bool enabled() const { return m_enabled; }
  void setEnabled(bool enabled) { m_enabled = enabled; }

  /// A proxy is used when its host and port are set; either left empty means: connect directly.
  [[nodiscard]] bool useProxy() const { return !m_host.empty() && m_port != 0; }
  /// Credentials are sent to the proxy when a user name is set.
  [[nodiscard]] bool useAuth() const { return !m_username.empty(); }

  [[nodiscard]] const std::string& host() const { return m_host; }
  void setHost(std::string host) { m_host = std::move(host); }
  [[nodiscard]] std::uint16_t port() const { return m_port; }
  void setPort(std::uint16_t port) { m_port = port; }
  [[nodiscard]] const std::string& username() const { return m_username; }
  void setUsername(std::string username) { m_username = std::move(username); }
  [[nodiscard]] const std::string& password() const { return m_password; }
  void setPassword(std::string password) { m_password = std::move(password); }

 private:
  Loader m_loader;
  bool m_loaded = false;
  bool m_enabled = false;
  std::string m_host;
  std::uint16_t m_port = 0;
  std::string m_username;
  std::string m_password;
};

}  // namespace geomuxer
