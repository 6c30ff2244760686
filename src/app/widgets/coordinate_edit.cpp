#include "app/widgets/coordinate_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>

#include <cmath>
#include <string_view>

#include "core/number_text.h"

namespace geomuxer {

namespace {

double limitOf(CoordKind kind) { return kind == CoordKind::latitude ? 90.0 : 180.0; }

bool inRange(double degrees, CoordKind kind) {
  return std::isfinite(degrees) && std::fabs(degrees) <= limitOf(kind);
}

int decimalsOf(PosUnit unit) {
  switch (unit) {
    case PosUnit::decimalDegree: return 5;
    case PosUnit::decimalMinute: return 3;
    case PosUnit::decimalSecond: return 1;
  }
  return 0;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string toUtf8(const QString& text) { return text.toStdString(); }

}  // namespace

std::string coordinateText(double degrees, CoordKind kind, PosUnit unit, const NumberFormat& nf) {
  const bool positive = degrees >= 0.0;
  const char hemisphere = kind == CoordKind::latitude ? (positive ? 'N' : 'S') : (positive ? 'E' : 'W');
  std::string text = formatCoord(std::fabs(degrees), unit, nf);

  // Degrees to three digits.
  std::size_t digits = 0;
  while (digits < text.size() && isDigit(text[digits])) ++digits;
  if (digits < 3) text.insert(0, 3 - digits, '0');

  // The last number to a fixed count of decimals; the unit symbol after it stays at the end.
  std::size_t end = text.size();
  while (end > 0 && !isDigit(text[end - 1])) --end;
  std::size_t begin = end;
  const std::string_view point = nf.decimalPoint;
  std::size_t pointAt = std::string::npos;
  while (begin > 0) {
    if (isDigit(text[begin - 1])) {
      --begin;
    } else if (pointAt == std::string::npos && !point.empty() && begin >= point.size() &&
               std::string_view(text).substr(begin - point.size(), point.size()) == point) {
      begin -= point.size();
      pointAt = begin;
    } else {
      break;
    }
  }
  const auto wanted = static_cast<std::size_t>(decimalsOf(unit));
  if (pointAt == std::string::npos) {
    text.insert(end, std::string(point) + std::string(wanted, '0'));
  } else {
    const std::size_t have = end - (pointAt + point.size());
    if (have < wanted) text.insert(end, wanted - have, '0');
  }
  return hemisphere + text;
}

std::optional<double> parseCoordinateText(const QString& text, CoordKind kind, const NumberFormat& nf) {
  const auto parsed = parseCoord(toUtf8(text), nf);
  if (!parsed) return std::nullopt;
  const char h = parsed->hemisphere;
  if (kind == CoordKind::latitude && (h == 'E' || h == 'W')) return std::nullopt;
  if (kind == CoordKind::longitude && (h == 'N' || h == 'S')) return std::nullopt;
  if (!inRange(parsed->degrees, kind)) return std::nullopt;
  return parsed->degrees;
}

std::optional<double> coordinateFromClipboardText(const QString& text, CoordKind kind, const NumberFormat& nf) {
  std::string plain = toUtf8(text.trimmed());
  if (auto number = parseDouble(plain)) return number;
  if (nf.decimalPoint != ".") {
    for (auto at = plain.find(nf.decimalPoint); at != std::string::npos; at = plain.find(nf.decimalPoint))
      plain.replace(at, nf.decimalPoint.size(), ".");
    if (auto number = parseDouble(plain)) return number;
  }
  if (const auto pair = parseLatLon(toUtf8(text), nf))
    return kind == CoordKind::latitude ? static_cast<double>(pair->y) : static_cast<double>(pair->x);
  return parseCoordinateText(text, kind, nf);
}

CoordinateEdit::CoordinateEdit(CoordKind kind, QWidget* parent) : QLineEdit(parent), m_kind(kind) {
  connect(this, &QLineEdit::textEdited, this, &CoordinateEdit::onTextEdited);
  connect(this, &QLineEdit::editingFinished, this, &CoordinateEdit::showValue);
  showValue();
}

void CoordinateEdit::setKind(CoordKind kind) {
  if (kind == m_kind) return;
  m_kind = kind;
  if (!inRange(m_value, kind)) {
    m_value = 0.0;
    emit changed(m_value);
  }
  showValue();
}

void CoordinateEdit::setValue(double degrees) {
  if (!inRange(degrees, m_kind) || degrees == m_value) return;
  m_value = degrees;
  showValue();
  emit changed(m_value);
}

void CoordinateEdit::setDisplayFormat(PosUnit unit, const NumberFormat& nf) {
  m_unit = unit;
  m_number = nf;
  showValue();
}

void CoordinateEdit::showValue() {
  const QString text = QString::fromStdString(coordinateText(m_value, m_kind, m_unit, m_number));
  if (text != QLineEdit::text()) setText(text);
}

void CoordinateEdit::onTextEdited(const QString& text) {
  // Half-typed text simply does not read yet; the value waits for text that does.
  if (const auto degrees = parseCoordinateText(text, m_kind, m_number); degrees && *degrees != m_value) {
    m_value = *degrees;
    emit changed(m_value);
  }
}

void CoordinateEdit::copyValue() const {
  QApplication::clipboard()->setText(QString::fromStdString(formatGeneral(m_value)));
}

void CoordinateEdit::copyText() const { QApplication::clipboard()->setText(text()); }

bool CoordinateEdit::canPaste() const {
  if (isReadOnly()) return false;
  const QMimeData* mime = QApplication::clipboard()->mimeData();
  return mime != nullptr && mime->hasText() && !mime->hasFormat(QLatin1String(kPrivateClipboardFormat));
}

void CoordinateEdit::pasteValue() {
  if (!canPaste()) return;
  if (const auto degrees = coordinateFromClipboardText(QApplication::clipboard()->text(), m_kind, m_number))
    setValue(*degrees);
  showValue();
}

QMenu* CoordinateEdit::createCoordinateMenu(QWidget* parent) {
  auto* menu = new QMenu(parent);
  QAction* copy = menu->addAction(tr("Copy"), this, &CoordinateEdit::copyValue);
  copy->setShortcut(QKeySequence::Copy);
  copy->setStatusTip(tr("Copy as floating point value"));
  copy->setToolTip(copy->statusTip());
  QAction* copyAsText = menu->addAction(tr("Copy Text"), this, &CoordinateEdit::copyText);
  copyAsText->setStatusTip(tr("Copy as string value"));
  copyAsText->setToolTip(copyAsText->statusTip());
  QAction* paste = menu->addAction(tr("Paste"), this, &CoordinateEdit::pasteValue);
  paste->setShortcut(QKeySequence::Paste);
  paste->setStatusTip(tr("Paste from clipboard"));
  paste->setToolTip(paste->statusTip());
  paste->setEnabled(canPaste());
  menu->setToolTipsVisible(true);
  return menu;
}

void CoordinateEdit::contextMenuEvent(QContextMenuEvent* event) {
  QMenu* menu = createCoordinateMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
  event->accept();
}

void CoordinateEdit::keyPressEvent(QKeyEvent* event) {
  // Copy and paste carry the value, as in the menu, rather than a piece of the text.
  if (event->matches(QKeySequence::Copy)) {
    copyValue();
    event->accept();
    return;
  }
  if (event->matches(QKeySequence::Paste)) {
    pasteValue();
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

QSize CoordinateEdit::sizeHint() const {
  const QSize base = QLineEdit::sizeHint();
  const int textWidth = fontMetrics().horizontalAdvance(QStringLiteral("W000\u00B0 00\u2032 00.0\u2033")) + 16;
  return {std::max(base.width(), std::max(121, textWidth)), base.height()};
}

}  // namespace geomuxer
