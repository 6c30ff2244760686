#pragma once
// Reading the forms that other instances and the administration pages post: a position for the
// intake, the fields of a client account. Pure functions over a parsed form.

#include <string>

#include "core/date_time.h"
#include "core/position_info.h"
#include "server/database.h"
#include "server/multipart_form.h"

namespace geomuxer {

/// One posted position with what is stored beside it.
struct PostedPosition {
  PositionInfo position;
  std::string comment;  ///< empty when absent; stored as NULL
  std::string trackId;  ///< empty when absent
};

/// The "datetime" field: an ISO 8601 date-time converted to UTC; 0 (no date) for a missing,
/// incomplete or unreadable text.
[[nodiscard]] DateTime readPostedDateTime(std::string_view text);

/// Builds the position of an intake form: "lat" and "lon" are required, each other measurement
/// is taken and flagged when its field is present; "msec" (0..999) sets the milliseconds of the
/// time. Numbers use '.' only. Throws ConversionError
/// for a missing coordinate, a field that is not a number (satellites: not an integer), a value
/// beyond the range of the stored single-precision member, or a coordinate outside the globe.
[[nodiscard]] PostedPosition readPostedPosition(const MultipartForm& form);

/// The account fields of an add or change form. The password is hashed unless it is empty and
/// `emptyKeepsPassword` is set; then the hash stays empty, which keeps the stored one.
[[nodiscard]] UserFields readClientFields(const MultipartForm& form, bool emptyKeepsPassword);

/// A form's "id" as a client id: 0 when missing or not a number.
[[nodiscard]] std::int64_t readClientId(const MultipartForm& form);

}  // namespace geomuxer
