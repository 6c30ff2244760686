#include "app/widgets/options_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QStringList>
#include <QVBoxLayout>

#include <exception>
#include <utility>

#include "app/app_controller.h"
#include "app/widgets/options/file_log_page.h"
#include "app/widgets/options/general_page.h"
#include "app/widgets/options/gpx_log_page.h"
#include "app/widgets/options/http_log_page.h"
#include "app/widgets/options/interval_page.h"
#include "app/widgets/options/source_pages.h"
#include "app/widgets/options/tcp_log_page.h"
#include "app/widgets/options/udp_log_page.h"
#include "app/widgets/options/units_page.h"
#include "settings/settings.h"
#include "sources/transports/gps_interface_com.h"

namespace geomuxer {

namespace {

QMessageBox::StandardButton showMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                           const QString& text, QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, title, text, buttons, parent);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace

OptionsDialog::OptionsDialog(AppController& controller, SimulatorWindow* simulatorWindow, QWidget* parent,
                             PortLister ports)
    : QDialog(parent),
      m_controller(controller),
      m_simulatorWindow(simulatorWindow),
      m_portLists(ports ? std::move(ports) : PortLister(&GpsInterfaceCom::availablePorts)),
      m_proxyQuery(&systemProxyList) {
  setObjectName(QStringLiteral("OptionsDialog"));
  setWindowTitle(tr("Options"));
  setModal(true);

  m_titles = new QListWidget(this);
  m_titles->setObjectName(QStringLiteral("pageList"));
  m_stack = new QStackedWidget(this);
  connect(m_titles, &QListWidget::currentRowChanged, m_stack, &QStackedWidget::setCurrentIndex);

  buildPages();

  m_titles->setFixedWidth(m_titles->sizeHintForColumn(0) + 2 * m_titles->frameWidth() + 16);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  QPushButton* help = buttons->addButton(tr("&Help"), QDialogButtonBox::HelpRole);
  help->setObjectName(QStringLiteral("help"));
  buttons->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &OptionsDialog::reject);
  connect(help, &QPushButton::clicked, this, [this] {
    if (m_help) m_help(kHelpTopic);
  });

  auto* top = new QHBoxLayout;
  top->addWidget(m_titles);
  top->addWidget(m_stack, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addWidget(buttons);

  // The page of the selected source; "General" when none is.
  const int source = m_controller.currentSource();
  setCurrentPage(source >= 0 && source < m_controller.sourceCount() ? source + 1 : 0);

  refreshPorts();
  load();
  resize(620, 460);
}

OptionsDialog::~OptionsDialog() = default;

bool OptionsDialog::execute(AppController& controller, SimulatorWindow* simulatorWindow, QWidget* parent,
                            HelpHandler help) {
  OptionsDialog dialog(controller, simulatorWindow, parent);
  dialog.setHelpHandler(std::move(help));
  return dialog.exec() == QDialog::Accepted;
}

int OptionsDialog::pageCount() const { return m_stack->count(); }

QString OptionsDialog::pageTitle(int index) const {
  const QListWidgetItem* item = m_titles->item(index);
  return item != nullptr ? item->text() : QString();
}

QWidget* OptionsDialog::page(int index) const { return m_stack->widget(index); }

int OptionsDialog::currentPage() const { return m_stack->currentIndex(); }

void OptionsDialog::setCurrentPage(int index) { m_titles->setCurrentRow(index); }

// --- pages ----------------------------------------------------------------------------------------

template <class Page>
Page* OptionsDialog::add(Page* page) {
  m_stack->addWidget(page);
  m_titles->addItem(page->title());
  m_pages.push_back(page);
  return page;
}

void OptionsDialog::buildPages() {
  PageHost& host = *this;
  auto* general = add(new GeneralPage(m_stack));
  // One page per source, in the order of the source list.
  std::vector<OptionsPage*> sources;
  for (int i = 0; i < m_controller.sourceCount(); ++i)
    sources.push_back(add(makeSourcePage(*m_controller.source(i), host, m_stack)));
  auto* server = add(new ServerPage(host, m_stack));
  auto* tcpLog = add(new TcpLogPage(m_stack));
  auto* udpLog = add(new UdpLogPage(m_stack));
  auto* fileLog = add(new FileLogPage(host, m_stack));
  auto* gpxLog = add(new GpxLogPage(host, m_stack));
  auto* httpLog = add(new HttpLogPage(m_stack));
  auto* interval = add(new IntervalPage(m_stack));
  m_proxyPage = add(new ProxyPage(host, m_stack));
  auto* units = add(new UnitsPage(m_stack));
  for (OptionsPage* page : m_pages) {
    if (auto* layout = qobject_cast<QVBoxLayout*>(page->layout())) layout->addStretch(1);
  }

  // The display formats and the program's own state first, then the broadcast and the log file,
  // the sources, the server, the upload and the GPX files; the proxy is read again at its next use.
  m_applyOrder = {units, general, interval, tcpLog, udpLog, fileLog};
  m_applyOrder.insert(m_applyOrder.end(), sources.begin(), sources.end());
  m_applyOrder.insert(m_applyOrder.end(), {server, httpLog, gpxLog, m_proxyPage});
}

void OptionsDialog::load() {
  for (OptionsPage* page : m_pages) page->load(m_controller.settings(), m_controller);
}

// --- user actions ---------------------------------------------------------------------------------

void OptionsDialog::refreshPorts() { m_portLists.refresh(); }

void OptionsDialog::takeSystemProxy() { m_proxyPage->takeSystemProxy(); }

std::optional<std::string> OptionsDialog::systemProxy() { return m_proxyQuery ? m_proxyQuery() : std::nullopt; }

QString OptionsDialog::chooseFile(const FileRequest& request) {
  return m_chooseFile ? m_chooseFile(request) : showFileChooser(this, request);
}

QMessageBox::StandardButton OptionsDialog::message(QMessageBox::Icon icon, const QString& title,
                                                   const QString& text, QMessageBox::StandardButtons buttons) {
  return m_message ? m_message(icon, title, text, buttons) : showMessageBox(this, icon, title, text, buttons);
}

// --- saving ---------------------------------------------------------------------------------------

void OptionsDialog::accept() {
  // A field that cannot be stored keeps the dialog open on it; anything else has been reported.
  if (!save() && !m_problems.empty()) return;
  QDialog::accept();
}

std::vector<FieldProblem> OptionsDialog::validate() const {
  std::vector<FieldProblem> problems;
  for (const OptionsPage* page : m_pages) {
    FieldCheck check(page->title());
    page->validate(check);
    problems.insert(problems.end(), check.problems().begin(), check.problems().end());
  }
  return problems;
}

void OptionsDialog::showProblems() {
  const FieldProblem& first = m_problems.front();
  for (int i = 0; i < pageCount(); ++i)
    if (page(i)->isAncestorOf(first.field)) setCurrentPage(i);
  first.field->setFocus();
  QStringList lines;
  for (const FieldProblem& problem : m_problems) lines << problem.message;
  message(QMessageBox::Warning, tr("Invalid value"),
          tr("Nothing was saved. Please correct:\n%1").arg(lines.join(QLatin1Char('\n'))));
}

bool OptionsDialog::save() {
  m_problems = validate();
  if (!m_problems.empty()) {
    showProblems();
    return false;
  }
  Settings& settings = m_controller.settings();
  for (const OptionsPage* page : m_pages) page->store(settings);
  QStringList failures;
  try {
    settings.save();
  } catch (const std::exception& e) {
    // The file on disk is still the previous one; the values are applied all the same.
    failures << qs(e.what());
  }
  // Every page is applied, whatever another one meets: a server that cannot start keeps the
  // loggers' changes from nobody.
  for (OptionsPage* page : m_applyOrder) {
    try {
      page->apply(m_controller);
    } catch (const std::exception& e) {
      failures << page->title() + QStringLiteral(": ") + qs(e.what());
    }
  }
  if (failures.isEmpty()) return true;
  for (const QString& failure : failures) m_controller.addLog(QStringLiteral("ERROR: ") + failure);
  message(QMessageBox::Critical, tr("Options"), failures.join(QLatin1Char('\n')));
  return false;
}

}  // namespace geomuxer
