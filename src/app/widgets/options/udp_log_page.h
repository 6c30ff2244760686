#pragma once
// "UDP Log": NMEA datagrams to an address or host, a broadcast address or a multicast group.

#include "app/widgets/options/options_page.h"

class QCheckBox;
class QComboBox;

namespace geomuxer {

class UdpLogPage : public OptionsPage {
 public:
  explicit UdpLogPage(QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void validate(FieldCheck& check) const override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  QLineEdit* m_address;
  QLineEdit* m_port;
  QLineEdit* m_ttl;
  QComboBox* m_interface;  // the first item, with no data, is the system's choice
  QComboBox* m_sentences;
  QComboBox* m_talker;
  QCheckBox* m_active;
};

}  // namespace geomuxer
