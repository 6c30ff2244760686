#pragma once
// Base of the transports that read a byte stream (serial port, TCP socket, followed file): it owns
// the QIODevice, reads what arrives and hands it to the decoder chunk by chunk.

#include <QIODevice>

#include <memory>
#include <string_view>

#include "sources/transports/gps_interface.h"

namespace geomuxer {

/// A transport over a QIODevice. The device is owned; `readAvailable` runs on every `readyRead`,
/// and derived classes call it themselves where the device has no such signal (plain files).
/// Derived classes implement `open` (usually configure the device, then `openDevice`) and `name`.
class GpsStreamInterface : public GpsInterface {
  Q_OBJECT

 public:
  /// Largest chunk handed to the decoder in one call.
  static constexpr qint64 kReadSize = 4096;
  /// Longest wait for a decoder's bytes to leave (`writeBytes`).
  static constexpr int kWriteWaitMs = 200;

  GpsStreamInterface(std::unique_ptr<GpsProtocol> protocol, std::unique_ptr<QIODevice> device,
                     QObject* parent = nullptr);
  ~GpsStreamInterface() override;

  [[nodiscard]] bool isActive() const override;
  /// Stops the decoder and closes the device.
  void close() override;

  [[nodiscard]] QIODevice* device() const { return m_device.get(); }
  /// Reads up to `count` bytes; returns the number read (-1 on error).
  qint64 read(char* buffer, qint64 count);
  /// Writes `count` bytes; returns the number written (-1 on error).
  qint64 write(const char* buffer, qint64 count);
  /// Size of the underlying device and the read position in it (meaningful for files).
  [[nodiscard]] qint64 size() const;
  [[nodiscard]] qint64 position() const;

  /// ProtocolHost: bytes for the device, written whenever the device is open (also during
  /// `open` and `close`) and waited for up to kWriteWaitMs.
  void writeBytes(std::string_view bytes) override;

  /// Bytes handed to the decoder since the interface was created.
  [[nodiscard]] qint64 bytesRead() const { return m_bytesRead; }

 protected:
  /// Opens the device and starts the decoder; throws InterfaceError naming `what` on failure.
  void openDevice(QIODevice::OpenMode mode, const QString& what);
  /// Reads everything available now and feeds it to the decoder. Exceptions from the delivery
  /// become `protocol` faults. Stops early when the device gets closed on the way.
  void readAvailable();
  /// One chunk for the decoder; calls `resynchronise` when the decoder lost its framing.
  void feed(std::string_view chunk);
  /// The decoder reported lost framing; serial transports purge their input here.
  virtual void resynchronise() {}

 private:
  std::unique_ptr<QIODevice> m_device;
  qint64 m_bytesRead = 0;
};

}  // namespace geomuxer
