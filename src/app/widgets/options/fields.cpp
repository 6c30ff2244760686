#include "app/widgets/options/fields.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <utility>

#include "app/widgets/options/options_page.h"
#include "core/number_text.h"
#include "settings/settings.h"

namespace geomuxer {

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string str(const QString& text) { return text.toStdString(); }

QString showFileChooser(QWidget* parent, const FileRequest& request) {
  QFileDialog chooser(parent, request.caption);
  switch (request.kind) {
    case FileRequest::Kind::openFile:
      chooser.setFileMode(QFileDialog::ExistingFile);
      chooser.setAcceptMode(QFileDialog::AcceptOpen);
      break;
    case FileRequest::Kind::saveFile:
      chooser.setFileMode(QFileDialog::AnyFile);
      chooser.setAcceptMode(QFileDialog::AcceptSave);  // asks before overwriting
      break;
    case FileRequest::Kind::folder:
      chooser.setFileMode(QFileDialog::Directory);
      chooser.setOption(QFileDialog::ShowDirsOnly);
      break;
  }
  if (!request.filters.isEmpty()) {
    chooser.setNameFilters(request.filters);
    chooser.selectNameFilter(request.filters.value(request.selectedFilter));
  }
  if (!request.defaultSuffix.isEmpty()) chooser.setDefaultSuffix(request.defaultSuffix);
  if (!request.start.isEmpty()) {
    const QFileInfo start(request.start);
    if (start.isDir()) {
      chooser.setDirectory(request.start);
    } else {
      chooser.setDirectory(start.absolutePath());
      chooser.selectFile(start.fileName());
    }
  }
  if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return {};
  return chooser.selectedFiles().constFirst();
}

// --- building -------------------------------------------------------------------------------------

QLineEdit* digitField(QWidget* parent, const SettingKey& key) {
  QLineEdit* edit = textField(parent, key);
  // Only the keys 0 to 9 (and the editing keys, which validators never see).
  edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  edit->setMaxLength(9);
  return edit;
}

QLineEdit* textField(QWidget* parent, const SettingKey& key) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(qs(key.path));
  return edit;
}

QLineEdit* passwordField(QWidget* parent, const SettingKey& key) {
  QLineEdit* edit = textField(parent, key);
  edit->setEchoMode(QLineEdit::Password);
  return edit;
}

QCheckBox* check(const QString& caption, QWidget* parent, const SettingKey& key) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(qs(key.path));
  return box;
}

QLabel* description(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

void addRow(QFormLayout* form, const QString& caption, QWidget* field) {
  auto* label = new QLabel(caption, form->parentWidget());
  label->setBuddy(field);
  form->addRow(label, field);
}

QWidget* withBrowse(QLineEdit* field, PageHost& host, std::function<FileRequest()> request, TakeFile take) {
  auto* row = new QWidget(field->parentWidget());
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  field->setParent(row);
  layout->addWidget(field);
  auto* button = new QToolButton(row);
  button->setText(QStringLiteral("..."));
  button->setToolTip(QObject::tr("Browse"));
  button->setObjectName(field->objectName() + QStringLiteral(".browse"));
  layout->addWidget(button);
  if (!take) take = [field](const QString& path) { field->setText(path); };
  QObject::connect(button, &QToolButton::clicked, row,
                   [&host, request = std::move(request), take = std::move(take)] {
                     if (const QString path = host.chooseFile(request()); !path.isEmpty()) take(path);
                   });
  return row;
}

void addBrowseRow(QFormLayout* form, const QString& caption, QLineEdit* field, PageHost& host,
                  std::function<FileRequest()> request, TakeFile take) {
  QWidget* row = withBrowse(field, host, std::move(request), std::move(take));
  addRow(form, caption, row);
  static_cast<QLabel*>(form->labelForField(row))->setBuddy(field);
}

QButtonGroup* radioGroup(QGroupBox* box, const QStringList& captions, const SettingKey& key) {
  auto* group = new QButtonGroup(box);
  group->setObjectName(qs(key.path));
  auto* layout = new QVBoxLayout(box);
  for (int i = 0; i < captions.size(); ++i) {
    auto* button = new QRadioButton(captions[i], box);
    group->addButton(button, i);
    layout->addWidget(button);
  }
  return group;
}

void selectRadio(QButtonGroup* group, int id) {
  if (QAbstractButton* button = group->button(id)) button->setChecked(true);
}

// --- port lists -----------------------------------------------------------------------------------

PortLists::PortLists(Lister lister) : m_lister(std::move(lister)) {}

QComboBox* PortLists::addRow(QFormLayout* form, const SettingKey& key, QWidget* parent) {
  auto* combo = new QComboBox(parent);
  combo->setObjectName(qs(key.path));
  combo->setEditable(true);
  combo->setInsertPolicy(QComboBox::NoInsert);
  combo->setMinimumContentsLength(16);
  geomuxer::addRow(form, QObject::tr("&COM Port:"), combo);
  auto* refresh = new QPushButton(QObject::tr("&Refresh"), parent);
  refresh->setObjectName(qs(key.path) + QStringLiteral(".refresh"));
  QObject::connect(refresh, &QPushButton::clicked, refresh, [this] { this->refresh(); });
  auto* row = new QHBoxLayout;
  row->addWidget(refresh);
  row->addStretch(1);
  form->addRow(QString(), row);
  m_lists.push_back(combo);
  return combo;
}

void PortLists::refresh() {
  // A port and the stable names that lead to it stay together, in the order of kernel names.
  std::vector<std::vector<std::string>> ports;
  for (std::string& name : m_lister()) {
    if (name.find('/') != std::string::npos && !ports.empty())
      ports.back().push_back(std::move(name));
    else
      ports.push_back({std::move(name)});
  }
  std::sort(ports.begin(), ports.end());
  for (QComboBox* combo : m_lists) {
    const QString selected = combo->currentText();
    combo->clear();
    for (const std::vector<std::string>& names : ports) {
      combo->addItem(qs(names.front()));
      for (std::size_t i = 1; i < names.size(); ++i) {
        combo->addItem(qs(names[i]));
        combo->setItemData(combo->count() - 1,
                           QObject::tr("Another name of %1 that stays the same in any USB socket").arg(qs(names.front())),
                           Qt::ToolTipRole);
      }
    }
    // clear() empties the text too. A name the system does not list (typed by the user, a
    // Bluetooth port not yet bound, an adapter not plugged in) stays as it was typed.
    const int index = selected.isEmpty() ? -1 : combo->findText(selected);
    combo->setCurrentIndex(index);
    if (index < 0) combo->setEditText(selected);
  }
}

// --- values ---------------------------------------------------------------------------------------

QString storedText(const Settings& settings, const SettingKey& key) {
  return qs(settings.readString(key.path, key.defaultText));
}

QString storedIntegerText(const Settings& settings, const SettingKey& key) {
  const std::string stored = settings.readString(key.path, key.defaultText);
  const auto value = parseInt(stored);
  return value ? QString::number(*value) : qs(stored);
}

int storedIntegerOr(const Settings& settings, const SettingKey& key, int fallback) {
  try {
    return settings.readInteger(key);
  } catch (const std::exception&) {
    return fallback;
  }
}

void storeText(Settings& settings, const SettingKey& key, const QLineEdit* field) {
  settings.writeString(key.path, str(field->text()));
}

void storeFlag(Settings& settings, const SettingKey& key, const QAbstractButton* box) {
  settings.writeBool(key.path, box->isChecked());
}

int integerOf(const QLineEdit* field) { return toInt(str(field->text())); }

quint16 portOf(const QLineEdit* field) {
  const int port = integerOf(field);
  if (port < 0 || port > 65535) throw ConversionError("'" + str(field->text()) + "' is not a valid port number");
  return static_cast<quint16>(port);
}

quint8 byteOf(const QLineEdit* field) {
  const int value = integerOf(field);
  if (value < 0 || value > 255) throw ConversionError("'" + str(field->text()) + "' is out of range");
  return static_cast<quint8>(value);
}

double numberOf(const QLineEdit* field) { return toDouble(normalisedNumber(field->text())); }

std::string normalisedNumber(const QString& text) {
  QString plain = text.trimmed();
  const QString point = QLocale().decimalPoint();
  if (point != QStringLiteral(".")) plain.replace(point, QStringLiteral("."));
  return str(plain);
}

}  // namespace geomuxer
