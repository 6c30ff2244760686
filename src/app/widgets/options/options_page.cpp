#include "app/widgets/options/options_page.h"

#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <exception>
#include <stdexcept>

#include "app/widgets/options/fields.h"
#include "loggers/nmea_tcp_logger.h"
#include "loggers/nmea_udp_logger.h"

namespace geomuxer {

// --- checks ---------------------------------------------------------------------------------------

void FieldCheck::run(QLineEdit* field, bool emptyAllowed, const std::function<void()>& parse) {
  if (emptyAllowed && field->text().isEmpty()) return;
  try {
    parse();
  } catch (const std::exception& e) {
    m_problems.push_back({m_page, field,
                          QStringLiteral("%1, %2: %3").arg(m_page, fieldCaption(field), qs(e.what()))});
  }
}

void FieldCheck::integer(QLineEdit* field, bool emptyAllowed) {
  run(field, emptyAllowed, [field] { (void)integerOf(field); });
}

void FieldCheck::integerIn(QLineEdit* field, int lowest, int highest) {
  run(field, false, [field, lowest, highest] {
    const int value = integerOf(field);
    if (value < lowest || value > highest)
      throw std::runtime_error("'" + str(field->text()) + "' is not between " + std::to_string(lowest) + " and " +
                               std::to_string(highest));
  });
}

void FieldCheck::port(QLineEdit* field, bool emptyAllowed) {
  run(field, emptyAllowed, [field] { (void)portOf(field); });
}

void FieldCheck::address(QLineEdit* field) {
  run(field, true, [field] {
    const QString text = field->text().trimmed();
    if (QHostAddress().setAddress(text)) return;
    throw std::runtime_error("'" + text.toStdString() + "' is not an IP address");
  });
}

void FieldCheck::host(QLineEdit* field) {
  run(field, false, [field] {
    if (!NmeaUdpLogger::validHost(field->text().trimmed()))
      throw std::runtime_error("'" + str(field->text()) + "' is neither an IP address nor a host name");
  });
}

void FieldCheck::byte(QLineEdit* field) {
  run(field, false, [field] { (void)byteOf(field); });
}

void FieldCheck::listenAddress(QLineEdit* field) {
  run(field, false, [field] {
    if (!NmeaTcpLogger::parseListenAddress(field->text())) {
      throw std::invalid_argument("'" + str(field->text()) + "' is not an IP address");
    }
  });
}

void FieldCheck::number(QLineEdit* field) {
  run(field, false, [field] { (void)numberOf(field); });
}

QString fieldCaption(const QWidget* field) {
  for (const QLabel* label : field->window()->findChildren<QLabel*>()) {
    if (label->buddy() != field) continue;
    QString caption = label->text();
    caption.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    caption.remove(QLatin1Char('&'));
    caption.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    if (caption.endsWith(QLatin1Char(':'))) caption.chop(1);
    return caption;
  }
  if (const auto* edit = qobject_cast<const QLineEdit*>(field); edit != nullptr && !edit->placeholderText().isEmpty())
    return edit->placeholderText();
  return field->objectName();
}

// --- page -----------------------------------------------------------------------------------------

OptionsPage::OptionsPage(const QString& title, QWidget* parent) : QWidget(parent) {
  setObjectName(title);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("<b>%1</b>").arg(title.toHtmlEscaped()), this));
}

void OptionsPage::validate(FieldCheck& /*check*/) const {}

QVBoxLayout* OptionsPage::column() const { return static_cast<QVBoxLayout*>(layout()); }

}  // namespace geomuxer
