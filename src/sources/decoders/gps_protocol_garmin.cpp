#include "sources/decoders/gps_protocol_garmin.h"

#include <optional>

namespace geomuxer {

GpsProtocolGarmin::GpsProtocolGarmin(const Clock& clock) : m_clock(&clock) {
  m_buffer.reserve(kBufferSize);
}

void GpsProtocolGarmin::start(ProtocolHost& host) {
  m_buffer.clear();
  m_dlePending = false;
  m_unanswered = false;
  sendStart(host);
}

void GpsProtocolGarmin::stop(ProtocolHost& host) { host.writeBytes(garmin::kStopPvtPacket); }

void GpsProtocolGarmin::sendStart(ProtocolHost& host) {
  m_waiting = true;
  m_acknowledged = false;
  m_startSentAt = m_clock->now();
  host.writeBytes(garmin::kStartPvtPacket);
}

void GpsProtocolGarmin::answered(ProtocolHost& host) {
  m_acknowledged = true;
  m_waiting = false;
  if (m_unanswered) {
    m_unanswered = false;
    host.notice("the receiver answers again");
  }
}

ProcessStatus GpsProtocolGarmin::processData(ProtocolHost& host, std::string_view chunk) {
  if (chunk.empty()) {
    const Clock::TimePoint now = m_clock->now();
    if (!m_acknowledged && now - m_startSentAt >= Clock::Duration(kRetryAfterMs)) {
      // Not answered (switched off, still starting up) or refused: ask again while that lasts,
      // and say so once.
      if (!m_unanswered) {
        m_unanswered = true;
        host.notice(m_waiting ? "no answer from the receiver" : "the receiver refuses to send positions");
      }
      ++m_stats.retries;
      sendStart(host);
    } else if (m_acknowledged && now - m_lastDataAt >= Clock::Duration(kResendAfterMs)) {
      // The receiver stopped streaming (switched off and on, or it dropped the request): ask again.
      m_buffer.clear();
      m_dlePending = false;
      m_lastDataAt = now;
      ++m_stats.resends;
      sendStart(host);
    }
    return ProcessStatus::idle;
  }

  // A serial line that echoes what we send gives our own command back; it is not a reply.
  if (chunk == garmin::kStartPvtPacket) {
    ++m_stats.echoes;
    return ProcessStatus::idle;
  }

  m_lastDataAt = m_clock->now();
  ProcessStatus result = ProcessStatus::idle;
  for (const char c : chunk) {
    if (!m_dlePending) {
      if (c == garmin::kDle)
        m_dlePending = true;
      else if (m_buffer.size() < kBufferSize)
        m_buffer.push_back(c);
      continue;
    }
    m_dlePending = false;
    if (c == garmin::kDle) {
      if (m_buffer.size() < kBufferSize) m_buffer.push_back(c);
    } else if (c == garmin::kEtx) {
      if (!handlePacket(host)) return ProcessStatus::error;
      result = ProcessStatus::consumed;
    } else {
      // DLE followed by anything else opens a packet; this byte is its id.
      m_buffer.clear();
      m_buffer.push_back(c);
    }
  }
  return result;
}

bool GpsProtocolGarmin::handlePacket(ProtocolHost& host) {
  const std::optional<garmin::SerialPacket> packet = garmin::parseSerialBody(m_buffer);
  m_buffer.clear();
  if (!packet) {
    ++m_stats.badPackets;
    return false;
  }
  ++m_stats.packets;
  const auto firstDataIs = [&](std::uint8_t value) {
    return !packet->data.empty() && static_cast<std::uint8_t>(packet->data.front()) == value;
  };

  switch (packet->id) {
    case garmin::kIdAck:
      if (firstDataIs(garmin::kIdCommand) && m_waiting) answered(host);
      break;
    case garmin::kIdNak:
      if (firstDataIs(garmin::kIdCommand) && m_waiting) {
        m_acknowledged = false;
        m_waiting = false;
      }
      break;
    case garmin::kIdPvt:
      // A receiver that streams has taken the request, whether or not its ACK got through.
      if (!m_acknowledged) answered(host);
      if (const std::optional<garmin::PvtRecord> record = garmin::parsePvt(packet->data)) {
        if (const std::optional<PositionInfo> position = garmin::pvtToPosition(*record)) {
          ++m_stats.positions;
          host.deliverPosition(*position);
        } else {
          ++m_stats.unusableFixes;
        }
        host.writeBytes(garmin::kAckPvtPacket);
      } else {
        ++m_stats.shortPvt;
        host.writeBytes(garmin::kNakPvtPacket);
      }
      break;
    default:
      break;  // other packets (satellite data, product data) are valid but of no use here
  }
  return true;
}

}  // namespace geomuxer
