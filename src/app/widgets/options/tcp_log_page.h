#pragma once
// "TCP/IP Log": the NMEA broadcast to TCP clients.

#include "app/widgets/options/options_page.h"

class QCheckBox;
class QComboBox;

namespace geomuxer {

class TcpLogPage : public OptionsPage {
 public:
  explicit TcpLogPage(QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void validate(FieldCheck& check) const override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  QLineEdit* m_port;
  QLineEdit* m_bindAddress;
  QLineEdit* m_maxClients;
  QComboBox* m_sentences;
  QComboBox* m_talker;
  QCheckBox* m_everyPosition;
  QCheckBox* m_active;
};

}  // namespace geomuxer
