#pragma once
// The XML and GPX documents of the position server. Each builder fills an empty root node; the
// caller serialises it. Pure functions of their inputs, so any thread may call them.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/date_time.h"
#include "core/position_info.h"
#include "core/units.h"
#include "server/database.h"
#include "settings/sml_node.h"

namespace geomuxer {

/// "Geomuxer/" and the program version without its last dotted part ("Geomuxer/1.0.0"); the
/// "Server" header, the foot of status pages and the creator of GPX exports.
[[nodiscard]] const std::string& serverSoftware();

/// "position": date-time (with milliseconds when it has them), latitude and longitude always, the
/// other measurements when flagged, numbers in the 15-digit general form. After "satellites":
/// "satellitesinview", "fix" (its display text), "pdop", "hdop", "vdop".
void buildPositionFeed(SmlNode& root, const PositionInfo& position);
/// "position" with the display texts of the units in `format`; the decimal separator is always
/// '.', whatever the format says. The same quality children as buildPositionFeed, dilutions in
/// their shortest form ("1.2").
void buildPositionTextFeed(SmlNode& root, const PositionInfo& position, const DisplayFormat& format);

/// "position" with the children of one stored row. Throws ConversionError for a stored
/// date-time that is not in the stored form.
void buildStoredPositionFeed(SmlNode& root, const StoredPosition& position);
/// "client" with the children of one account (never its password).
void buildClientFeed(SmlNode& root, const UserRecord& user);
/// "clients" with one "client" per account.
void buildClientsFeed(SmlNode& root, const std::vector<UserRecord>& users);
/// "tracks" (attribute "user") with one "track" (track id, date-time) per entry.
void buildTrackListFeed(SmlNode& root, long long userId, const std::vector<TrackSummary>& tracks);
/// `rootName` ("track" or "tracks", attribute "user") with one "pos" per stored row.
void buildPositionListFeed(SmlNode& root, std::string_view rootName, long long userId,
                           const std::vector<StoredPosition>& positions);

/// A GPX 1.1 document of one track: metadata with `now` and, when there are points, the bounds;
/// one "trk" named after the first row's track id when `positions` is not empty.
void buildGpxTrack(SmlNode& root, const std::vector<StoredPosition>& positions, DateTime now);

}  // namespace geomuxer
