#pragma once
// The pieces the options pages are made of: fields named after their settings key, form rows,
// browse buttons, port lists with "Refresh", and the reading and writing of field values.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace geomuxer {

class PageHost;
class Settings;
struct SettingKey;

[[nodiscard]] QString qs(std::string_view text);
[[nodiscard]] std::string str(const QString& text);

/// What a browse button asks the user for.
struct FileRequest {
  enum class Kind { openFile, saveFile, folder };
  Kind kind = Kind::openFile;
  QString caption;
  QString start;        ///< file or folder the chooser starts at
  QStringList filters;  ///< Qt's form: "Cert files (*.pem)"
  int selectedFilter = 0;
  QString defaultSuffix;
};

/// The name filter that shows every file.
inline const QStringList kAllFiles{QStringLiteral("All files (*)")};

/// The file chooser of the platform for `request`; the chosen path, or empty when cancelled.
[[nodiscard]] QString showFileChooser(QWidget* parent, const FileRequest& request);

// --- building -------------------------------------------------------------------------------------

/// Digits only (at most 9), named after `key`.
[[nodiscard]] QLineEdit* digitField(QWidget* parent, const SettingKey& key);
[[nodiscard]] QLineEdit* textField(QWidget* parent, const SettingKey& key);
/// A text field that shows '*' for every character.
[[nodiscard]] QLineEdit* passwordField(QWidget* parent, const SettingKey& key);
[[nodiscard]] QCheckBox* check(const QString& caption, QWidget* parent, const SettingKey& key);
/// A wrapped line of explanation.
[[nodiscard]] QLabel* description(const QString& text, QWidget* parent);
/// A row of a form whose caption carries the access key of `field`.
void addRow(QFormLayout* form, const QString& caption, QWidget* field);

/// The path chosen with a browse button goes into the field, or wherever `take` puts it.
using TakeFile = std::function<void(const QString& path)>;

/// `field` with a "..." browse button beside it, as one widget. The button asks `host` with the
/// request that `request` makes (from the field's text, usually) and hands a chosen path to `take`,
/// which puts it into the field when not given.
[[nodiscard]] QWidget* withBrowse(QLineEdit* field, PageHost& host, std::function<FileRequest()> request,
                                  TakeFile take = {});
/// A row of `form` with `field` and its browse button; the caption's access key goes to the field.
void addBrowseRow(QFormLayout* form, const QString& caption, QLineEdit* field, PageHost& host,
                  std::function<FileRequest()> request, TakeFile take = {});

/// Radio buttons in `box`, one per caption, whose ids are their places; the group is named after `key`.
[[nodiscard]] QButtonGroup* radioGroup(QGroupBox* box, const QStringList& captions, const SettingKey& key);
/// Checks the button `id`; no button changes when there is none with that id.
void selectRadio(QButtonGroup* group, int id);

/// The serial port lists of every page. "Refresh" on any page fills them all anew.
class PortLists {
 public:
  using Lister = std::function<std::vector<std::string>()>;

  explicit PortLists(Lister lister);

  /// An editable "&COM Port:" list named after `key` and its "&Refresh" button, as rows of `form`.
  [[nodiscard]] QComboBox* addRow(QFormLayout* form, const SettingKey& key, QWidget* parent);
  /// Fills every list with the port names sorted by kernel name, each followed by its stable
  /// names (the lister gives a port's other names, full paths, right after its kernel name); each
  /// list keeps its port name, selected when it is listed, as typed when it is not.
  void refresh();

 private:
  Lister m_lister;
  std::vector<QComboBox*> m_lists;  // owned by their pages, which live as long as this
};

// --- values ---------------------------------------------------------------------------------------

/// The stored text, or the key's default.
[[nodiscard]] QString storedText(const Settings& settings, const SettingKey& key);
/// An integer key in decimal; a stored value that is not a number shows as it is, so that the user
/// sees what to mend.
[[nodiscard]] QString storedIntegerText(const Settings& settings, const SettingKey& key);
/// An integer key, or `fallback` when the stored value is not a number.
[[nodiscard]] int storedIntegerOr(const Settings& settings, const SettingKey& key, int fallback);

/// The field's text unchanged.
void storeText(Settings& settings, const SettingKey& key, const QLineEdit* field);
void storeFlag(Settings& settings, const SettingKey& key, const QAbstractButton* box);

/// A whole number from a field; throws ConversionError naming the text when it is not one.
[[nodiscard]] int integerOf(const QLineEdit* field);
/// A port number from a digit field; throws ConversionError naming the text when it is not one.
[[nodiscard]] quint16 portOf(const QLineEdit* field);
/// 0 to 255 from a digit field; throws ConversionError naming the text when it is not one.
[[nodiscard]] quint8 byteOf(const QLineEdit* field);
/// A decimal number from a field that takes the locale's separator too; throws ConversionError.
[[nodiscard]] double numberOf(const QLineEdit* field);
/// The field's decimal number as the settings hold it: trimmed, with "." as separator.
[[nodiscard]] std::string normalisedNumber(const QString& text);

}  // namespace geomuxer
