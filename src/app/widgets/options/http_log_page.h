#pragma once
// "HTTP Log": the upload of positions to an HTTP server.

#include "app/widgets/options/options_page.h"

class QCheckBox;
class QComboBox;

namespace geomuxer {

class HttpLogPage : public OptionsPage {
 public:
  explicit HttpLogPage(QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void validate(FieldCheck& check) const override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  QComboBox* m_protocol;
  QLineEdit* m_host;
  QLineEdit* m_port;
  QLineEdit* m_file;
  QLineEdit* m_timeout;
  QLineEdit* m_queueSize;
  QLineEdit* m_caFile;
  QCheckBox* m_auth;
  QLineEdit* m_user;
  QLineEdit* m_password;
  QCheckBox* m_active;
};

}  // namespace geomuxer
