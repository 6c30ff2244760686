#pragma once
// The options dialog: every setting of the program on one page per topic. It shows the stored
// settings (and the running state where that is what the user sees), and "OK" writes them all,
// saves the settings file and applies them to the running program. The pages live in options/;
// the dialog puts them together.

#include <QDialog>
#include <QMessageBox>
#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/widgets/options/fields.h"
#include "app/widgets/options/options_page.h"
#include "app/widgets/options/proxy_page.h"
#include "app/widgets/options/server_page.h"

class QListWidget;
class QStackedWidget;

namespace geomuxer {

class AppController;
class SimulatorWindow;

/// Modal, main thread only. The controller and the simulator window (may be null) must outlive it.
class OptionsDialog : public QDialog, private PageHost {
  Q_OBJECT

 public:
  /// The chosen path, or empty when the user cancelled.
  using FileChooser = std::function<QString(const FileRequest&)>;
  /// Error boxes and questions; returns the button pressed.
  using MessageBox = std::function<QMessageBox::StandardButton(QMessageBox::Icon icon, const QString& title,
                                                               const QString& text,
                                                               QMessageBox::StandardButtons buttons)>;
  using PortLister = PortLists::Lister;
  using ProxyQuery = std::function<std::optional<std::string>()>;
  using HelpHandler = std::function<void(const std::string& topic)>;

  /// The help topic of the dialog.
  static constexpr const char* kHelpTopic = "geomuxer_options.html";

  /// Builds the pages and loads every field. `ports` lists the serial ports (the machine's by
  /// default).
  OptionsDialog(AppController& controller, SimulatorWindow* simulatorWindow, QWidget* parent = nullptr,
                PortLister ports = {});
  ~OptionsDialog() override;

  /// Shows the dialog modally; true when the user confirmed it.
  static bool execute(AppController& controller, SimulatorWindow* simulatorWindow, QWidget* parent,
                      HelpHandler help);

  void setFileChooser(FileChooser chooser) { m_chooseFile = std::move(chooser); }
  void setMessageBox(MessageBox box) { m_message = std::move(box); }
  void setProxyQuery(ProxyQuery query) { m_proxyQuery = std::move(query); }
  void setHelpHandler(HelpHandler help) { m_help = std::move(help); }

  [[nodiscard]] int pageCount() const;
  [[nodiscard]] QString pageTitle(int index) const;
  [[nodiscard]] QWidget* page(int index) const;
  [[nodiscard]] int currentPage() const;
  void setCurrentPage(int index);

  /// Fills both port lists anew; each keeps its port name, listed or not.
  void refreshPorts();
  /// "System Proxy Settings": the system's HTTP proxy into the proxy fields, when there is one.
  void takeSystemProxy();

  /// Every field that cannot be stored as a usable value, in page order; nothing is written.
  [[nodiscard]] std::vector<FieldProblem> validate() const;
  /// Checks every page first: when a field cannot be stored, nothing is written, a message names
  /// every such field, the page of the first one is shown with the field focused, and the result is
  /// false. Otherwise writes every field into the settings, saves the file and applies every page;
  /// a save or apply that fails is logged and shown, the other pages are applied all the same, and
  /// the result is false.
  bool save();
  /// What the check found at the last save.
  [[nodiscard]] const std::vector<FieldProblem>& problems() const { return m_problems; }

  /// "OK": save, then close with the accepted result, unless a field has to be mended.
  void accept() override;

 private:
  /// Puts `page` (a child of the page stack) last in the list.
  template <class Page>
  Page* add(Page* page);
  void buildPages();
  void load();
  void showProblems();

  // PageHost
  AppController& controller() override { return m_controller; }
  SimulatorWindow* simulatorWindow() override { return m_simulatorWindow; }
  PortLists& portLists() override { return m_portLists; }
  QString chooseFile(const FileRequest& request) override;
  QMessageBox::StandardButton message(QMessageBox::Icon icon, const QString& title, const QString& text,
                                      QMessageBox::StandardButtons buttons = QMessageBox::Ok) override;
  std::optional<std::string> systemProxy() override;

  AppController& m_controller;
  SimulatorWindow* m_simulatorWindow;
  PortLists m_portLists;
  FileChooser m_chooseFile;
  MessageBox m_message;
  ProxyQuery m_proxyQuery;
  HelpHandler m_help;

  QListWidget* m_titles = nullptr;
  QStackedWidget* m_stack = nullptr;
  std::vector<OptionsPage*> m_pages;       // in page order, which is the order of the writes
  std::vector<OptionsPage*> m_applyOrder;  // the order in which the running program takes the values
  ProxyPage* m_proxyPage = nullptr;
  std::vector<FieldProblem> m_problems;
};

}  // namespace geomuxer
