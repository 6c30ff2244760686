#pragma once
// A field holding one coordinate, shown with its hemisphere letter in the program's position
// format ("N047° 16.177′"), with fixed-width degrees and decimals so that values line up.

#include <QLineEdit>
#include <QString>

#include <optional>

#include "core/units.h"

class QMenu;

namespace geomuxer {

enum class CoordKind { longitude, latitude };

/// The text a coordinate field shows for `degrees` (which must be finite): "N"/"S" or "E"/"W"
/// (zero counts as north and east), degrees padded to three digits, and the last number padded
/// with zeros to 5 decimals (decimal degrees), 3 (decimal minutes) or 1 (decimal seconds).
[[nodiscard]] std::string coordinateText(double degrees, CoordKind kind, PosUnit unit, const NumberFormat& nf);

/// Reads a field's own text or any coordinate text; nothing when it is not one of this kind
/// (a latitude with "E") or lies outside -90..90 / -180..180.
[[nodiscard]] std::optional<double> parseCoordinateText(const QString& text, CoordKind kind, const NumberFormat& nf);

/// What a paste into a field of `kind` would set, trying in turn a plain number, a coordinate pair
/// (the half of this kind), and a single coordinate; nothing when none of them reads.
[[nodiscard]] std::optional<double> coordinateFromClipboardText(const QString& text, CoordKind kind,
                                                               const NumberFormat& nf);

/// Clipboard data in this format belongs to the program itself; a paste leaves it alone.
inline constexpr const char* kPrivateClipboardFormat = "application/x-geomuxer-private";

/// Main thread only. Typing edits the text freely; each edit that reads as a coordinate of this
/// kind becomes the value at once, and leaving the field shows the value in its own form again.
class CoordinateEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit CoordinateEdit(CoordKind kind, QWidget* parent = nullptr);

  [[nodiscard]] CoordKind kind() const { return m_kind; }
  void setKind(CoordKind kind);
  /// Degrees, east and north positive.
  [[nodiscard]] double value() const { return m_value; }
  /// Values outside the range of the kind (or not finite) are ignored. A change is shown and
  /// announced with `changed`.
  void setValue(double degrees);
  /// The position format and number separators of the display.
  void setDisplayFormat(PosUnit unit, const NumberFormat& nf);
  [[nodiscard]] PosUnit posUnit() const { return m_unit; }

  /// The value as a plain number ("8.5").
  void copyValue() const;
  /// The displayed text.
  void copyText() const;
  /// Sets the value from the clipboard's text (see coordinateFromClipboardText). Nothing happens
  /// when the field is read-only or the clipboard holds no text or the program's private format.
  void pasteValue();
  [[nodiscard]] bool canPaste() const;

  /// The context menu with "Copy", "Copy Text" and "Paste".
  [[nodiscard]] QMenu* createCoordinateMenu(QWidget* parent);

  [[nodiscard]] QSize sizeHint() const override;

 signals:
  void changed(double degrees);

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void showValue();
  void onTextEdited(const QString& text);

  CoordKind m_kind;
  double m_value = 0.0;
  PosUnit m_unit = PosUnit::decimalMinute;
  NumberFormat m_number = NumberFormat::user();
};

}  // namespace geomuxer
