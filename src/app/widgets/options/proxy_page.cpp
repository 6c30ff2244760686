#include "app/widgets/options/proxy_page.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QNetworkProxyFactory>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>

#include "app/app_controller.h"
#include "app/widgets/options/fields.h"
#include "core/number_text.h"
#include "settings/settings.h"

namespace geomuxer {

namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::optional<ProxyAddress> parseProxyList(std::string_view list) {
  list = trimmed(list);
  if (list.empty()) return std::nullopt;
  std::string_view value = list;
  if (list.find('=') != std::string_view::npos) {
    bool found = false;
    while (!list.empty() && !found) {
      const auto end = list.find(';');
      const std::string_view entry = list.substr(0, end);
      list = end == std::string_view::npos ? std::string_view{} : list.substr(end + 1);
      const auto equals = entry.find('=');
      if (equals != std::string_view::npos && equalsIgnoringCase(trimmed(entry.substr(0, equals)), "http")) {
        value = trimmed(entry.substr(equals + 1));
        found = true;
      }
    }
    if (!found) return std::nullopt;
  }
  if (const auto scheme = value.find("://"); scheme != std::string_view::npos) value.remove_prefix(scheme + 3);
  if (const auto slash = value.find('/'); slash != std::string_view::npos) value = value.substr(0, slash);
  if (value.empty()) return std::nullopt;

  ProxyAddress address;
  std::string_view port;
  bool hasPort = false;
  if (value.front() == '[') {  // [IPv6]:port
    const auto close = value.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    address.host = std::string(value.substr(1, close - 1));
    hasPort = close + 1 < value.size() && value[close + 1] == ':';
    if (hasPort) port = value.substr(close + 2);
  } else {
    const auto colon = value.find(':');
    address.host = std::string(value.substr(0, colon));
    hasPort = colon != std::string_view::npos;
    if (hasPort) port = value.substr(colon + 1);
  }
  // An address without a port is a URL's host, which means port 80.
  address.port = hasPort ? parseInt(trimmed(port)).value_or(0) : 80;
  return address;
}

std::optional<std::string> systemProxyList() {
  std::string list;
  for (const char* scheme : {"http", "https"}) {
    const QNetworkProxyQuery query(QUrl(QStringLiteral("%1://geomuxer.invalid/").arg(QLatin1String(scheme))));
    for (const QNetworkProxy& proxy : QNetworkProxyFactory::systemProxyForQuery(query)) {
      if (proxy.type() != QNetworkProxy::HttpProxy && proxy.type() != QNetworkProxy::HttpCachingProxy) continue;
      if (proxy.hostName().isEmpty()) continue;
      if (!list.empty()) list += ';';
      QString host = proxy.hostName();
      if (host.contains(QLatin1Char(':'))) host = QStringLiteral("[%1]").arg(host);
      list += std::string(scheme) + "=" + str(host) + ":" + std::to_string(proxy.port());
      break;
    }
  }
  if (list.empty()) return std::nullopt;
  return list;
}

ProxyPage::ProxyPage(PageHost& host, QWidget* parent) : OptionsPage(tr("HTTP Proxy"), parent), m_host(host) {
  auto* form = new QFormLayout;
  m_server = textField(this, keys::proxyHost);
  addRow(form, tr("&Server:"), m_server);
  m_port = digitField(this, keys::proxyPort);
  addRow(form, tr("&Port:"), m_port);
  m_user = textField(this, keys::proxyUserName);
  addRow(form, tr("&Username:"), m_user);
  m_password = passwordField(this, keys::proxyPassword);
  addRow(form, tr("P&assword:"), m_password);
  column()->addLayout(form);
  auto* system = new QPushButton(tr("System Proxy Settings"), this);
  system->setObjectName(QStringLiteral("systemProxy"));
  connect(system, &QPushButton::clicked, this, &ProxyPage::takeSystemProxy);
  auto* buttonRow = new QHBoxLayout;
  buttonRow->addWidget(system);
  buttonRow->addStretch(1);
  column()->addLayout(buttonRow);
}

void ProxyPage::load(const Settings& settings, const AppController& /*controller*/) {
  m_server->setText(storedText(settings, keys::proxyHost));
  m_port->setText(storedText(settings, keys::proxyPort));
  m_user->setText(storedText(settings, keys::proxyUserName));
  m_password->setText(qs(settings.readString(keys::proxyPassword)));
}

void ProxyPage::validate(FieldCheck& check) const {
  check.port(m_port, true);  // empty: no proxy
}

void ProxyPage::store(Settings& settings) const {
  storeText(settings, keys::proxyHost, m_server);
  storeText(settings, keys::proxyPort, m_port);
  storeText(settings, keys::proxyUserName, m_user);
  settings.writeString(keys::proxyPassword, str(m_password->text()));
}

void ProxyPage::apply(AppController& controller) { controller.reloadProxySettings(); }

void ProxyPage::takeSystemProxy() {
  const std::optional<std::string> list = m_host.systemProxy();
  if (!list) return;
  const auto address = parseProxyList(*list);
  if (!address) return;
  m_server->setText(qs(address->host));
  m_port->setText(QString::number(address->port));
}

}  // namespace geomuxer
