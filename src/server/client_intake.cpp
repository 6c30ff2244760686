#include "server/client_intake.h"

#include <cmath>
#include <limits>

#include "core/number_text.h"
#include "core/position_fields.h"

namespace geomuxer {

namespace {

/// A form number for a single-precision member: finite after the narrowing.
float toSingle(std::string_view name, std::string_view text) {
  const double value = toDouble(text);
  if (std::fabs(value) > std::numeric_limits<float>::max()) {
    throw ConversionError("'" + std::string(text) + "' is out of range for the field " + std::string(name));
  }
  return static_cast<float>(value);
}

float toCoordinate(std::string_view name, std::string_view text, double limit) {
  const float value = toSingle(name, text);
  if (std::fabs(value) > limit) {
    throw ConversionError("'" + std::string(text) + "' is not a valid value for " + std::string(name));
  }
  return value;
}

}  // namespace

DateTime readPostedDateTime(std::string_view text) {
  try {
    return parseIsoTime(text);
  } catch (const ConversionError&) {
    return 0.0;  // an unreadable date stores "no date", never a failed post
  }
}

PostedPosition readPostedPosition(const MultipartForm& form) {
  PostedPosition posted;
  PositionInfo& p = posted.position;
  p.time = readPostedDateTime(form.value("datetime"));
  if (form.contains("msec")) {
    // The uploader's milliseconds after the whole second of "datetime", which then has none.
    const int ms = toInt(form.value("msec"));
    if (ms < 0 || ms > 999) throw ConversionError("'" + form.value("msec") + "' is not a valid value for msec");
    if (p.time != 0.0) {
      const std::int64_t millis = toUnixMillis(p.time);
      p.time = fromUnixMillis(millis - (millis % 1000 + 1000) % 1000 + ms);
    }
  }
  p.y = toCoordinate("lat", form.value("lat"), 90.0);
  p.x = toCoordinate("lon", form.value("lon"), 180.0);
  p.fields = {defTime, defXY};

  for (const auto& m : kMeasurementFields) {
    if (!form.contains(m.name)) continue;
    p.*m.member = toSingle(m.name, form.value(m.name));
    p.fields.include(m.field);
  }
  if (form.contains("satellites")) {
    p.satellites = toInt(form.value("satellites"));
    p.fields.include(defSatellites);
  }
  posted.trackId = form.value("trackid");
  posted.comment = form.value("comment");
  return posted;
}

UserFields readClientFields(const MultipartForm& form, bool emptyKeepsPassword) {
  UserFields user;
  user.name = form.value("name");
  const std::string password = form.value("pass");
  if (!(emptyKeepsPassword && password.empty())) user.passwordHash = hashPassword(password);
  user.color = form.value("color");
  user.firstName = form.value("firstname");
  user.sureName = form.value("surename");
  user.email = form.value("email");
  user.phone = form.value("phone");
  user.description = form.value("description");
  return user;
}

std::int64_t readClientId(const MultipartForm& form) { return parseInt64(form.value("id")).value_or(0); }

}  // namespace geomuxer
