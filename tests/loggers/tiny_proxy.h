#pragma once
// A tinyproxy process on a free loopback port with a configuration of the test's own, so uploads
// can be sent through a real HTTP proxy.

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <string>

#include "support/qt_event_loop.h"

namespace geomuxer::test {

/// A loopback port that was free a moment ago; 0 when none could be found.
inline quint16 freeLoopbackPort() {
  QTcpServer probe;
  if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
  const quint16 port = probe.serverPort();
  probe.close();
  return port;
}

class TinyProxy {
 public:
  /// Path of the tinyproxy program, empty when it is not installed.
  static QString program() {
    QString path = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"));
    if (path.isEmpty()) path = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"), {"/usr/sbin", "/usr/bin"});
    return path;
  }

  ~TinyProxy() {
    if (m_process.state() != QProcess::NotRunning) {
      m_process.kill();
      m_process.waitForFinished(5000);
    }
  }

  /// Starts the proxy, asking for Basic credentials when `user` is not empty. An empty result
  /// means it runs; otherwise the text says why not.
  std::string start(const std::string& user = {}, const std::string& password = {}) {
    const QString exe = program();
    if (exe.isEmpty()) return "tinyproxy is not installed";
    if (!m_dir.isValid()) return "no temporary folder";
    m_port = freeLoopbackPort();
    if (m_port == 0) return "no free port";
    std::string config = "Port " + std::to_string(m_port) +
                         "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Warning\n"
                         "ViaProxyName \"tinyproxy\"\nLogFile \"" +
                         m_dir.filePath("tinyproxy.log").toStdString() + "\"\n";
    if (!user.empty()) config += "BasicAuth " + user + " " + password + "\n";
    QFile file(m_dir.filePath("tinyproxy.conf"));
    if (!file.open(QIODevice::WriteOnly)) return "cannot write the configuration";
    file.write(config.data(), static_cast<qint64>(config.size()));
    file.close();

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(exe, {QStringLiteral("-d"), QStringLiteral("-c"), file.fileName()});
    if (!m_process.waitForStarted(5000)) return "tinyproxy did not start";
    const bool listening = waitUntil([this] {
      if (m_process.state() == QProcess::NotRunning) return true;
      QTcpSocket probe;
      probe.connectToHost(QHostAddress::LocalHost, m_port);
      return probe.waitForConnected(200);
    });
    if (!listening || m_process.state() == QProcess::NotRunning)
      return "tinyproxy is not listening: " + m_process.readAll().toStdString();
    return {};
  }

  [[nodiscard]] quint16 port() const { return m_port; }

 private:
  QTemporaryDir m_dir;
  QProcess m_process;
  quint16 m_port = 0;
};

}  // namespace geomuxer::test
