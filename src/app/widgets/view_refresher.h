#pragma once
// Polling for the status views: a view is refreshed when it is shown and then every kRefreshMs
// while it stays shown; hidden (its tab not chosen, the window in the tray) it costs nothing.

#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace geomuxer {

/// Main thread only; a child of the widget it refreshes.
class ViewRefresher : public QObject {
 public:
  /// At most four refreshes a second.
  static constexpr int kRefreshMs = 250;

  ViewRefresher(QWidget* view, std::function<void()> refresh) : QObject(view), m_refresh(std::move(refresh)) {
    m_timer.setInterval(kRefreshMs);
    connect(&m_timer, &QTimer::timeout, this, [this] { m_refresh(); });
    view->installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      m_refresh();
      m_timer.start();
    } else if (event->type() == QEvent::Hide) {
      m_timer.stop();
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> m_refresh;
  QTimer m_timer;
};

}  // namespace geomuxer
