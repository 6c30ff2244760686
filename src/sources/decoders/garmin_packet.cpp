#include "sources/decoders/garmin_packet.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>

namespace geomuxer::garmin {

namespace {

std::uint8_t byteAt(std::string_view bytes, std::size_t offset) {
  return static_cast<std::uint8_t>(bytes[offset]);
}

template <typename Unsigned>
Unsigned readLe(std::string_view bytes, std::size_t offset) {
  Unsigned value = 0;
  for (std::size_t i = 0; i < sizeof(Unsigned); ++i)
    value = static_cast<Unsigned>(value | (static_cast<Unsigned>(byteAt(bytes, offset + i)) << (8 * i)));
  return value;
}

template <typename Unsigned>
void appendLe(std::string& out, Unsigned value) {
  for (std::size_t i = 0; i < sizeof(Unsigned); ++i)
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
}

float readFloat(std::string_view bytes, std::size_t offset) {
  return std::bit_cast<float>(readLe<std::uint32_t>(bytes, offset));
}

double readDouble(std::string_view bytes, std::size_t offset) {
  return std::bit_cast<double>(readLe<std::uint64_t>(bytes, offset));
}

// Out-of-range values become infinities explicitly instead of through an undefined conversion.
float narrow(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

Fix fixFromGarmin(std::int16_t fix) {
  switch (fix) {
    case 2: return fix2D;
    case 3: return fix3D;
    case 4: return fix2D_diff;
    case 5: return fix3D_diff;
    default: return fixUnknown;
  }
}

// A member that came out as infinity or NaN (a garbled float in the record) loses its flag rather
// than reaching the loggers as text like "nan".
void dropNonFinite(PositionInfo& p) {
  const std::pair<DefField, float> members[] = {
      {defXYPrec, p.xyPrec},           {defAltitude, p.altitude}, {defAltitudePrec, p.altitudePrec},
      {defGeoidHeight, p.geoidHeight}, {defHeading, p.heading},   {defSpeed, p.speed},
      {defVertSpeed, p.vertSpeed},
  };
  for (const auto& [field, value] : members)
    if (!std::isfinite(value)) p.fields.exclude(field);
}

}  // namespace

std::uint8_t checksum(std::string_view bytes) {
  unsigned sum = 0;
  for (char c : bytes) sum += static_cast<std::uint8_t>(c);
  return static_cast<std::uint8_t>((0x100u - (sum & 0xFFu)) & 0xFFu);
}

std::string encodeSerialPacket(std::uint8_t id, std::string_view data) {
  data = data.substr(0, 255);
  std::string body;
  body.push_back(static_cast<char>(id));
  body.push_back(static_cast<char>(data.size()));
  body.append(data);
  body.push_back(static_cast<char>(checksum(body)));

  std::string wire;
  wire.reserve(body.size() * 2 + 3);
  wire.push_back(kDle);
  wire.push_back(body.front());  // ids are never 0x10, so the id is not doubled
  for (std::size_t i = 1; i < body.size(); ++i) {
    wire.push_back(body[i]);
    if (body[i] == kDle) wire.push_back(kDle);
  }
  wire.push_back(kDle);
  wire.push_back(kEtx);
  return wire;
}

std::optional<SerialPacket> parseSerialBody(std::string_view body) {
  if (body.size() < 3) return std::nullopt;
  const std::string_view summed = body.substr(0, body.size() - 1);
  if (checksum(summed) != byteAt(body, body.size() - 1)) return std::nullopt;
  const std::size_t size = byteAt(body, 1);
  if (body.size() != size + 3) return std::nullopt;
  return SerialPacket{byteAt(body, 0), std::string(body.substr(2, size))};
}

std::string encodeUsbPacket(const UsbPacket& packet) {
  std::string out;
  out.reserve(kUsbHeaderSize + packet.data.size());
  out.push_back(static_cast<char>(packet.type));
  out.append(3, '\0');
  appendLe<std::uint16_t>(out, packet.id);
  out.append(2, '\0');
  appendLe<std::uint32_t>(out, static_cast<std::uint32_t>(packet.data.size()));
  out.append(packet.data);
  return out;
}

UsbPacket usbCommand(std::uint16_t command) {
  UsbPacket packet{kUsbApplicationLayer, kUsbCommand, {}};
  appendLe<std::uint16_t>(packet.data, command);
  return packet;
}

std::optional<UsbPacket> parseUsbPacket(std::string_view bytes) {
  if (bytes.size() < kUsbHeaderSize) return std::nullopt;
  UsbPacket packet;
  packet.type = byteAt(bytes, 0);
  packet.id = readLe<std::uint16_t>(bytes, 4);
  const std::uint32_t size = readLe<std::uint32_t>(bytes, 8);
  const std::string_view data = bytes.substr(kUsbHeaderSize);
  packet.data.assign(data.substr(0, std::min<std::size_t>(size, data.size())));
  return packet;
}

std::optional<PvtRecord> parsePvt(std::string_view data) {
  if (data.size() < kPvtRecordSize) return std::nullopt;
  PvtRecord r;
  r.alt = readFloat(data, 0);
  r.epe = readFloat(data, 4);
  r.eph = readFloat(data, 8);
  r.epv = readFloat(data, 12);
  r.fix = static_cast<std::int16_t>(readLe<std::uint16_t>(data, 16));
  r.tow = readDouble(data, 18);
  r.lat = readDouble(data, 26);
  r.lon = readDouble(data, 34);
  r.east = readFloat(data, 42);
  r.north = readFloat(data, 46);
  r.up = readFloat(data, 50);
  r.mslHeight = readFloat(data, 54);
  r.leapSeconds = readLe<std::uint16_t>(data, 58);
  r.weekNumberDays = readLe<std::uint32_t>(data, 60);
  return r;
}

std::string encodePvt(const PvtRecord& r) {
  std::string out;
  out.reserve(kPvtRecordSize);
  appendLe(out, std::bit_cast<std::uint32_t>(r.alt));
  appendLe(out, std::bit_cast<std::uint32_t>(r.epe));
  appendLe(out, std::bit_cast<std::uint32_t>(r.eph));
  appendLe(out, std::bit_cast<std::uint32_t>(r.epv));
  appendLe(out, static_cast<std::uint16_t>(r.fix));
  appendLe(out, std::bit_cast<std::uint64_t>(r.tow));
  appendLe(out, std::bit_cast<std::uint64_t>(r.lat));
  appendLe(out, std::bit_cast<std::uint64_t>(r.lon));
  appendLe(out, std::bit_cast<std::uint32_t>(r.east));
  appendLe(out, std::bit_cast<std::uint32_t>(r.north));
  appendLe(out, std::bit_cast<std::uint32_t>(r.up));
  appendLe(out, std::bit_cast<std::uint32_t>(r.mslHeight));
  appendLe(out, r.leapSeconds);
  appendLe(out, r.weekNumberDays);
  return out;
}

std::optional<PositionInfo> pvtToPosition(const PvtRecord& r) {
  if (r.fix == 0 || r.fix == 1) return std::nullopt;
  constexpr double kDegrees = 180.0 / std::numbers::pi;
  const double lon = r.lon * kDegrees;
  const double lat = r.lat * kDegrees;
  const double time = (r.tow - r.leapSeconds) / 86400.0 + (r.weekNumberDays + kGarminEpoch);
  if (!std::isfinite(time) || !std::isfinite(lon) || !std::isfinite(lat)) return std::nullopt;
  if (std::fabs(lon) > 180.0 || std::fabs(lat) > 90.0) return std::nullopt;

  PositionInfo p;
  p.time = time;
  p.x = lon;
  p.y = lat;
  p.xyPrec = narrow(r.eph / 2.0);
  p.altitudePrec = narrow(r.epv / 2.0);
  p.altitude = narrow(static_cast<double>(r.alt) + r.mslHeight);
  p.geoidHeight = -r.mslHeight;
  double heading = std::atan2(static_cast<double>(r.east), static_cast<double>(r.north)) * kDegrees;
  if (heading < 0.0) heading += 360.0;
  if (heading == 0.0) heading = 0.0;  // a signed zero east speed gives -0 from atan2
  p.heading = narrow(heading);
  const double east = r.east;
  const double north = r.north;
  const double up = r.up;
  p.speed = narrow(std::sqrt(east * east + north * north + up * up) * 3.6);
  p.vertSpeed = r.up;
  p.fix = fixFromGarmin(r.fix);
  p.fields = kPvtFields;
  dropNonFinite(p);
  return p;
}

}  // namespace geomuxer::garmin
