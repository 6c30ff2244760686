#pragma once
// A serial port as the transport of a source: the port is opened when the interface is built and
// read on the main thread whenever bytes arrive.

#include <QSerialPort>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "sources/transports/gps_stream_interface.h"

namespace geomuxer {

/// Serial transport. Constructed = port open but not read; `open` applies the line settings,
/// discards what is pending and starts reading; `close` stops reading and keeps the port open; the
/// destructor closes the port. While reading, a decoder with time-outs of its own also gets an
/// empty chunk after every quiet spell of its `idlePollMs`; others are woken only by data. A port
/// that fails underneath (device unplugged) ends the transport with a `deviceGone` fault. Main
/// thread only.
class GpsInterfaceCom : public GpsStreamInterface {
  Q_OBJECT

 public:
  /// Opens `port` ("ttyUSB0", "/dev/ttyS1", "COM1" on Windows); throws InterfaceError
  /// "Error opening COM port \"<port>\"\r\n<system message>".
  GpsInterfaceCom(std::unique_ptr<GpsProtocol> protocol, const QString& port, QObject* parent = nullptr);
  ~GpsInterfaceCom() override;

  [[nodiscard]] std::string name() const override { return "COM"; }
  [[nodiscard]] bool isActive() const override { return m_reading; }
  void open() override;
  void close() override;

  [[nodiscard]] QString port() const { return m_port; }
  [[nodiscard]] quint32 baudRate() const { return m_baudRate; }
  void setBaudRate(quint32 baud) { m_baudRate = baud; }
  [[nodiscard]] quint8 byteSize() const { return m_byteSize; }
  void setByteSize(quint8 bits) { m_byteSize = bits; }
  /// false: no parity; true: odd parity.
  [[nodiscard]] bool parity() const { return m_parity; }
  void setParity(bool odd) { m_parity = odd; }
  /// 0: one, 1: one and a half, 2: two stop bits.
  [[nodiscard]] quint8 stopBits() const { return m_stopBits; }
  void setStopBits(quint8 code) { m_stopBits = code; }

  [[nodiscard]] QSerialPort* serialPort() const { return static_cast<QSerialPort*>(device()); }

  /// The file a port name opens: a name without a folder is a kernel name in /dev.
  [[nodiscard]] static std::string devicePath(const std::string& port);
  /// Names of the machine's serial ports, as usable for `port`: each kernel name ("ttyUSB0")
  /// followed by the stable names that lead to it (full paths in /dev/serial/by-id, which stay
  /// the same whichever USB socket the adapter is plugged into).
  [[nodiscard]] static std::vector<std::string> availablePorts();
  /// The links in `folder` and the file names of the devices they lead to, sorted by link;
  /// links that lead nowhere are left out.
  struct StableName {
    std::string link;
    std::string device;
    friend bool operator==(const StableName&, const StableName&) = default;
  };
  [[nodiscard]] static std::vector<StableName> stableNames(const std::string& folder = "/dev/serial/by-id");

 protected:
  void resynchronise() override;

 private:
  void applyLineSettings();
  void onPortError(QSerialPort::SerialPortError error);

  QString m_port;
  quint32 m_baudRate = 9600;
  quint8 m_byteSize = 8;
  bool m_parity = false;
  quint8 m_stopBits = 0;
  bool m_reading = false;
  bool m_terminating = false;
  QTimer m_idlePoll;
};

}  // namespace geomuxer
