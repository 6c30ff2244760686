#pragma once
// Garmin's binary packet formats: the DLE-framed serial packet, the 12-byte USB packet header and
// the PVT (position, velocity, time) record both carry, and the record's conversion to a position.
// Pure functions over byte views; no Qt.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/position_info.h"

namespace geomuxer::garmin {

inline constexpr char kDle = 0x10;
inline constexpr char kEtx = 0x03;

/// Serial packet ids.
inline constexpr std::uint8_t kIdCommand = 10;
inline constexpr std::uint8_t kIdAck = 6;
inline constexpr std::uint8_t kIdNak = 21;
inline constexpr std::uint8_t kIdPvt = 51;

/// Command numbers carried by a command packet (16 bits, little-endian).
inline constexpr std::uint16_t kCommandStartPvt = 49;
inline constexpr std::uint16_t kCommandStopPvt = 50;

/// The four packets the host sends on a serial line, as they go over the wire.
inline constexpr std::string_view kStartPvtPacket{"\x10\x0A\x02\x31\x00\xC3\x10\x03", 8};
inline constexpr std::string_view kStopPvtPacket{"\x10\x0A\x02\x32\x00\xC2\x10\x03", 8};
inline constexpr std::string_view kAckPvtPacket{"\x10\x06\x02\x33\x00\xC5\x10\x03", 8};
inline constexpr std::string_view kNakPvtPacket{"\x10\x15\x02\x33\x00\xB6\x10\x03", 8};

/// The checksum byte of a serial packet: two's complement of the low byte of the sum of `bytes`
/// (id, size and data).
[[nodiscard]] std::uint8_t checksum(std::string_view bytes);

/// A complete serial packet for `id` and `data` (at most 255 bytes), with every 0x10 after the
/// leading DLE doubled. Longer data is cut to 255 bytes.
[[nodiscard]] std::string encodeSerialPacket(std::uint8_t id, std::string_view data);

/// A serial packet after unstuffing: the bytes between the leading DLE and the closing DLE ETX.
struct SerialPacket {
  std::uint8_t id = 0;
  std::string data;
};

/// Checks an unstuffed packet body (id, size, data, checksum): at least 3 bytes, a matching
/// checksum and exactly size + 3 bytes. Nothing when any of these fails.
[[nodiscard]] std::optional<SerialPacket> parseSerialBody(std::string_view body);

/// USB packet types.
inline constexpr std::uint8_t kUsbProtocolLayer = 0;
inline constexpr std::uint8_t kUsbApplicationLayer = 20;

/// USB packet ids: protocol layer (type 0) and application layer (type 20).
inline constexpr std::uint16_t kUsbStartSession = 5;
inline constexpr std::uint16_t kUsbSessionStarted = 6;
inline constexpr std::uint16_t kUsbDataAvailable = 2;
inline constexpr std::uint16_t kUsbProductRequest = 254;
inline constexpr std::uint16_t kUsbProductData = 255;
inline constexpr std::uint16_t kUsbCommand = 10;
inline constexpr std::uint16_t kUsbPvt = 51;

inline constexpr std::size_t kUsbHeaderSize = 12;

/// One USB packet: 12-byte header (type, 3 reserved, id 16 bits, 2 reserved, size 32 bits) and data.
struct UsbPacket {
  std::uint8_t type = 0;
  std::uint16_t id = 0;
  std::string data;

  [[nodiscard]] bool is(std::uint8_t packetType, std::uint16_t packetId) const {
    return type == packetType && id == packetId;
  }
};

/// Header and data as one byte string.
[[nodiscard]] std::string encodeUsbPacket(const UsbPacket& packet);
/// The command packet (type 20, id 10) carrying `command`.
[[nodiscard]] UsbPacket usbCommand(std::uint16_t command);
/// Reads a packet from what one transfer (or a run of transfers) returned. Nothing when fewer
/// than 12 bytes arrived; data beyond the header's size is ignored, and a size larger than what
/// arrived keeps only what arrived.
[[nodiscard]] std::optional<UsbPacket> parseUsbPacket(std::string_view bytes);

/// The fields of a PVT record that the program uses.
struct PvtRecord {
  float alt = 0.0f;        ///< above the WGS 84 ellipsoid, m
  float epe = 0.0f;
  float eph = 0.0f;        ///< horizontal error, m
  float epv = 0.0f;        ///< vertical error, m
  std::int16_t fix = 0;    ///< 0/1 none, 2 2D, 3 3D, 4 2D diff, 5 3D diff
  double tow = 0.0;        ///< time of week, s
  double lat = 0.0;        ///< radians
  double lon = 0.0;        ///< radians
  float east = 0.0f;       ///< m/s
  float north = 0.0f;      ///< m/s
  float up = 0.0f;         ///< m/s
  float mslHeight = 0.0f;  ///< ellipsoid above mean sea level, m
  std::uint16_t leapSeconds = 0;
  std::uint32_t weekNumberDays = 0;  ///< days from 1989-12-31 to the start of the week
};

/// Size of the packed record on the wire.
inline constexpr std::size_t kPvtRecordSize = 64;

/// Reads the packed little-endian record from the first 64 bytes; nothing when fewer arrived.
[[nodiscard]] std::optional<PvtRecord> parsePvt(std::string_view data);
/// The packed little-endian form of `record` (64 bytes); for simulated receivers and tests.
[[nodiscard]] std::string encodePvt(const PvtRecord& record);

/// Date-time value of 1989-12-31 00:00 UTC, the origin of `weekNumberDays`.
inline constexpr double kGarminEpoch = 32873.0;

/// The flags every converted record carries: time, point, both precisions, altitude, geoid height,
/// heading, speed, vertical speed and fix.
inline constexpr DefFields kPvtFields = DefFields::fromBits(0x16BF);

/// The position a record stands for. Nothing for fix 0 or 1 (no usable fix), and nothing for
/// records whose time or coordinates are not finite numbers or whose coordinates lie outside the
/// earth's ranges: those are corrupted, and a wild position would reach every logger.
[[nodiscard]] std::optional<PositionInfo> pvtToPosition(const PvtRecord& record);

}  // namespace geomuxer::garmin
