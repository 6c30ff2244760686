#include "sources/transports/gps_interface_com.h"

#include <QSerialPortInfo>

#include <algorithm>
#include <filesystem>

namespace geomuxer {
namespace {

std::unique_ptr<QIODevice> openPort(const QString& name) {
  auto port = std::make_unique<QSerialPort>();
  port->setPortName(name);
  if (!port->open(QIODevice::ReadWrite)) {
    throw InterfaceError(QStringLiteral("Error opening COM port \"%1\"\r\n%2")
                             .arg(name, port->errorString())
                             .toStdString());
  }
  return port;
}

}  // namespace

GpsInterfaceCom::GpsInterfaceCom(std::unique_ptr<GpsProtocol> decoder, const QString& port, QObject* parent)
    : GpsStreamInterface(std::move(decoder), openPort(port), parent), m_port(port) {
  if (protocol() != nullptr) m_idlePoll.setInterval(protocol()->idlePollMs());
  m_idlePoll.setTimerType(Qt::CoarseTimer);
  connect(&m_idlePoll, &QTimer::timeout, this, [this] {
    guarded([this] {
      if (m_reading && protocol() != nullptr) (void)protocol()->processData(*this, {});
    });
  });
  // Data restarts the idle count, so the empty polls come only after a quiet spell.
  connect(serialPort(), &QSerialPort::readyRead, this, [this] {
    if (m_reading && m_idlePoll.interval() > 0) m_idlePoll.start();
  });
  connect(serialPort(), &QSerialPort::errorOccurred, this, &GpsInterfaceCom::onPortError);
}

GpsInterfaceCom::~GpsInterfaceCom() { close(); }

void GpsInterfaceCom::open() {
  if (m_reading) close();
  applyLineSettings();
  serialPort()->clear(QSerialPort::AllDirections);
  device()->skip(device()->bytesAvailable());
  if (protocol() != nullptr) protocol()->start(*this);
  m_reading = true;
  if (m_idlePoll.interval() > 0) m_idlePoll.start();
}

void GpsInterfaceCom::close() {
  if (!m_reading) return;
  if (protocol() != nullptr) protocol()->stop(*this);
  m_reading = false;
  m_idlePoll.stop();
}

void GpsInterfaceCom::applyLineSettings() {
  // Settings the driver refuses are not reported: the port runs with what the driver kept.
  QSerialPort* port = serialPort();
  (void)port->setBaudRate(static_cast<qint32>(m_baudRate));
  if (m_byteSize >= 5 && m_byteSize <= 8) (void)port->setDataBits(static_cast<QSerialPort::DataBits>(m_byteSize));
  (void)port->setParity(m_parity ? QSerialPort::OddParity : QSerialPort::NoParity);
  switch (m_stopBits) {
    case 0: (void)port->setStopBits(QSerialPort::OneStop); break;
    case 1: (void)port->setStopBits(QSerialPort::OneAndHalfStop); break;
    case 2: (void)port->setStopBits(QSerialPort::TwoStop); break;
    default: break;
  }
  (void)port->setFlowControl(QSerialPort::NoFlowControl);
  port->clearError();
}

void GpsInterfaceCom::resynchronise() {
  // The decoder lost its framing: drop everything already received and start afresh.
  serialPort()->clear(QSerialPort::Input);
  device()->skip(device()->bytesAvailable());
}

void GpsInterfaceCom::onPortError(QSerialPort::SerialPortError error) {
  // A device that goes away (USB adapter unplugged, terminal hung up) shows as a resource error
  // or as reads that end with nothing; on Linux the latter repeats for as long as the port stays
  // open, so both end the transport.
  if (error != QSerialPort::ResourceError && error != QSerialPort::DeviceNotFoundError &&
      error != QSerialPort::ReadError) {
    return;
  }
  if (m_terminating || !m_reading) return;
  m_terminating = true;
  const std::string message =
      QStringLiteral("COM port \"%1\" is gone: %2").arg(m_port, serialPort()->errorString()).toStdString();
  // Leave QSerialPort's notification first: stopping the tracker deletes this interface.
  QMetaObject::invokeMethod(
      this,
      [this, message] {
        close();
        serialPort()->close();
        reportFault({FaultKind::deviceGone, message, false});
      },
      Qt::QueuedConnection);
}

std::string GpsInterfaceCom::devicePath(const std::string& port) {
  return port.find('/') == std::string::npos ? "/dev/" + port : port;
}

std::vector<std::string> GpsInterfaceCom::availablePorts() {
  const std::vector<StableName> stable = stableNames();
  std::vector<std::string> names;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    const std::string kernelName = info.portName().toStdString();
    names.push_back(kernelName);
    for (const StableName& name : stable)
      if (name.device == kernelName) names.push_back(name.link);
  }
  return names;
}

std::vector<GpsInterfaceCom::StableName> GpsInterfaceCom::stableNames(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<StableName> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (!it->is_symlink(ignored)) continue;
    const fs::path device = fs::canonical(it->path(), ignored);
    if (ignored) continue;  // leads nowhere (the device has gone, the link not yet)
    names.push_back({it->path().string(), device.filename().string()});
  }
  std::sort(names.begin(), names.end(), [](const StableName& a, const StableName& b) { return a.link < b.link; });
  return names;
}

}  // namespace geomuxer
