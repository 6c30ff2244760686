#pragma once
// One page of the options dialog and what it may ask of the dialog. A page shows a group of
// settings: it loads its fields from the settings (and the running program where that is what the
// user sees), checks them, stores them into the settings and applies them to the running program.

#include <QMessageBox>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QLineEdit;
class QVBoxLayout;

namespace geomuxer {

class AppController;
class PortLists;
class Settings;
class SimulatorWindow;
struct FileRequest;

/// The services of the dialog that holds the pages. Main thread only.
class PageHost {
 public:
  [[nodiscard]] virtual AppController& controller() = 0;
  /// Null when there is no simulator window.
  [[nodiscard]] virtual SimulatorWindow* simulatorWindow() = 0;
  [[nodiscard]] virtual PortLists& portLists() = 0;
  /// The chosen path, or empty when the user cancelled.
  [[nodiscard]] virtual QString chooseFile(const FileRequest& request) = 0;
  virtual QMessageBox::StandardButton message(QMessageBox::Icon icon, const QString& title, const QString& text,
                                              QMessageBox::StandardButtons buttons = QMessageBox::Ok) = 0;
  /// The system's proxy list for HTTP and HTTPS; nothing when connections go direct.
  [[nodiscard]] virtual std::optional<std::string> systemProxy() = 0;

 protected:
  ~PageHost() = default;
};

/// A field whose value cannot be stored or applied.
struct FieldProblem {
  QString page;     ///< title of the page
  QWidget* field;   ///< the field to mend
  QString message;  ///< names the page and the field: "HTTP Log, Port: '99999' is not a valid port number"
};

/// Collects what a page finds wrong with its fields. Each check parses the field as applying it does,
/// so a field that passes cannot stop the apply step.
class FieldCheck {
 public:
  explicit FieldCheck(QString page) : m_page(std::move(page)) {}

  /// A whole number; `emptyAllowed` when an empty field has a meaning of its own.
  void integer(QLineEdit* field, bool emptyAllowed = false);
  void port(QLineEdit* field, bool emptyAllowed = false);
  /// A whole number from `lowest` to `highest`.
  void integerIn(QLineEdit* field, int lowest, int highest);
  void byte(QLineEdit* field);
  /// An IPv4 or IPv6 address; empty is allowed.
  void address(QLineEdit* field);
  /// An IPv4 or IPv6 address or a host name.
  void host(QLineEdit* field);
  /// A decimal number, in the locale's form or with ".".
  void number(QLineEdit* field);
  /// A listen address: empty for every interface, else an IPv4 or IPv6 address.
  void listenAddress(QLineEdit* field);

  [[nodiscard]] const std::vector<FieldProblem>& problems() const { return m_problems; }

 private:
  void run(QLineEdit* field, bool emptyAllowed, const std::function<void()>& parse);

  QString m_page;
  std::vector<FieldProblem> m_problems;
};

/// The caption a user sees beside `field` (its buddy label without access key and colon), else its
/// placeholder text, else its name.
[[nodiscard]] QString fieldCaption(const QWidget* field);

/// A page: a heading with the title above the page's own widgets.
class OptionsPage : public QWidget {
 public:
  OptionsPage(const QString& title, QWidget* parent);

  [[nodiscard]] QString title() const { return objectName(); }

  /// Fills the fields from `settings`; `controller` for what shows the running state.
  virtual void load(const Settings& settings, const AppController& controller) = 0;
  /// Adds every field that cannot be stored as a usable value. Nothing is written meanwhile.
  virtual void validate(FieldCheck& check) const;
  /// Writes every field into `settings`, in the page's order.
  virtual void store(Settings& settings) const = 0;
  /// Sets the fields' values on the running program. Throws ConversionError at a field that does
  /// not hold a usable number; what came before it stays applied.
  virtual void apply(AppController& controller) = 0;

 protected:
  /// The page's column: the heading first; the dialog adds a stretch at the end.
  [[nodiscard]] QVBoxLayout* column() const;
};

}  // namespace geomuxer
