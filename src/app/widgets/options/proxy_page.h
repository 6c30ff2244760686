#pragma once
// "HTTP Proxy": the proxy the upload goes through, and taking the system's proxy.

#include <optional>
#include <string>
#include <string_view>

#include "app/widgets/options/options_page.h"

namespace geomuxer {

/// Host and port of an HTTP proxy.
struct ProxyAddress {
  std::string host;
  int port = 0;
  friend bool operator==(const ProxyAddress&, const ProxyAddress&) = default;
};

/// Reads a proxy list, either one address ("host:3128") or entries per protocol
/// ("http=host:8080;https=other:443", of which the http entry counts). A scheme in front
/// ("http://host:8080/") is dropped; a port that is not a number gives 0 and a missing one 80.
/// Nothing when the list is empty or has entries but none for http.
[[nodiscard]] std::optional<ProxyAddress> parseProxyList(std::string_view list);

/// The system's proxies for HTTP and HTTPS in the form parseProxyList reads (desktop settings and
/// the *_proxy environment variables); nothing when connections go direct.
[[nodiscard]] std::optional<std::string> systemProxyList();

class ProxyPage : public OptionsPage {
 public:
  ProxyPage(PageHost& host, QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void validate(FieldCheck& check) const override;
  void store(Settings& settings) const override;
  /// The proxy is read again at its next use.
  void apply(AppController& controller) override;

  /// "System Proxy Settings": the system's HTTP proxy into the fields, when there is one.
  void takeSystemProxy();

 private:
  PageHost& m_host;
  QLineEdit* m_server;
  QLineEdit* m_port;
  QLineEdit* m_user;
  QLineEdit* m_password;
};

}  // namespace geomuxer
