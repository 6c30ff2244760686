#pragma once
// Turns SIGINT and SIGTERM into a Qt signal on the main thread, so that the program ends through
// its normal closing steps (state and settings stored) instead of dying in the middle.

#include <QObject>

class QSocketNotifier;

namespace geomuxer {

/// One per process; create it on the main thread before the event loop runs. While it exists,
/// SIGINT and SIGTERM no longer end the program by themselves. Its destructor restores the
/// default handling.
class SignalWatcher : public QObject {
  Q_OBJECT

 public:
  explicit SignalWatcher(QObject* parent = nullptr);
  ~SignalWatcher() override;

 signals:
  /// SIGINT or SIGTERM arrived (the number of the signal).
  void terminationRequested(int signalNumber);

 private:
  void readSignal();

  QSocketNotifier* m_notifier = nullptr;  // child
};

}  // namespace geomuxer
