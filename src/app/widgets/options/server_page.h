#pragma once
// "HTTP Server": the embedded position server, its access and its TLS files.

#include <QString>

#include "app/widgets/options/options_page.h"

class QCheckBox;

namespace geomuxer {

/// The position server's page on this machine as others reach it: the first IPv4 address of the
/// host name ("localhost" when the name cannot be read, empty when it does not resolve).
[[nodiscard]] QString serverPageUrl(bool https, const QString& port, bool admin);

class ServerPage : public OptionsPage {
 public:
  ServerPage(PageHost& host, QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void validate(FieldCheck& check) const override;
  void store(Settings& settings) const override;
  /// Stops the server, sets its access and starts it again when it is to be active. The TLS files
  /// take effect at the next start of the program.
  void apply(AppController& controller) override;

 private:
  enum class TlsFile { cert, key, rootCert };

  void onUseSslClicked(bool checked);
  [[nodiscard]] FileRequest certificateRequest(TlsFile which) const;
  void takeCertificate(TlsFile which, const QString& file);

  PageHost& m_host;
  QLineEdit* m_port;
  QLineEdit* m_bindAddress;
  QCheckBox* m_active;
  QCheckBox* m_auth;
  QLineEdit* m_user;
  QLineEdit* m_password;
  QCheckBox* m_useSsl;
  QLineEdit* m_certFile;
  QLineEdit* m_keyFile;
  QLineEdit* m_rootCertFile;
  QLineEdit* m_database;
  QLineEdit* m_dbPool;
  QLineEdit* m_dbTimeout;
};

}  // namespace geomuxer
