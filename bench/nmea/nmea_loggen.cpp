// Writes a realistic NMEA log for the decoder benchmarks: one receiver epoch a second with RMC,
// GGA, GSA, three GSV, VTG and GLL, CR LF line ends and valid checksums, along a slowly turning
// track. Usage: nmea_loggen FILE [MEGABYTES]   (default 50)

#include <cmath>
#include <cstdio>
#include <string>

#include "core/date_time.h"
#include "core/nmea.h"
#include "core/number_text.h"

namespace {

using namespace geomuxer;

void two(std::string& s, int v) {
  if (v < 10) s += '0';
  s += std::to_string(v);
}

std::string coord(double value, int degreeDigits) {
  const double a = std::fabs(value);
  const int deg = static_cast<int>(a);
  std::string s = std::to_string(deg);
  while (static_cast<int>(s.size()) < degreeDigits) s.insert(0, "0");
  const double minutes = (a - deg) * 60.0;
  if (minutes < 10.0) s += '0';
  s += formatFixed(minutes, 4);
  return s;
}

void line(std::string& out, const std::string& body) {
  out += nmeaFrame(body);
  out += "\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: nmea_loggen FILE [MEGABYTES]\n");
    return 2;
  }
  const long long megabytes = argc > 2 ? parseInt64(argv[2]).value_or(50) : 50;
  const long long target = megabytes * 1024 * 1024;
  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }

  double lat = 47.3769, lon = 8.5417, heading = 0.0, alt = 408.0;
  const DateTime start = *makeDateTime({.year = 2024, .month = 6, .day = 1, .hour = 6});
  long long written = 0;
  std::string epoch;
  for (long long i = 0; written < target; ++i) {
    const DateTimeParts t = splitDateTime(start + static_cast<double>(i) / 86400.0);
    std::string hms;
    two(hms, t.hour);
    two(hms, t.minute);
    two(hms, t.second);
    hms += ".00";
    std::string dmy;
    two(dmy, t.day);
    two(dmy, t.month);
    two(dmy, t.year % 100);
    heading = std::fmod(heading + 0.7, 360.0);
    const double knots = 18.0 + 6.0 * std::sin(static_cast<double>(i) / 300.0);
    const double metres = knots * 0.514444;
    lat += metres * std::cos(heading * M_PI / 180.0) / 111'320.0;
    lon += metres * std::sin(heading * M_PI / 180.0) / (111'320.0 * std::cos(lat * M_PI / 180.0));
    alt += 0.3 * std::sin(static_cast<double>(i) / 50.0);
    const std::string ns = lat >= 0 ? "N" : "S";
    const std::string ew = lon >= 0 ? "E" : "W";
    const std::string la = coord(lat, 2), lo = coord(lon, 3);
    const int sats = 7 + static_cast<int>(i % 5);

    epoch.clear();
    line(epoch, "GPRMC," + hms + ",A," + la + "," + ns + "," + lo + "," + ew + "," + formatFixed(knots, 2) + "," +
                    formatFixed(heading, 2) + "," + dmy + ",2.1,E,A");
    line(epoch, "GPGGA," + hms + "," + la + "," + ns + "," + lo + "," + ew + ",1," + (sats < 10 ? "0" : "") +
                    std::to_string(sats) + ",0.9," + formatFixed(alt, 1) + ",M,47.6,M,,");
    line(epoch, "GPGSA,A,3,04,05,09,12,17,24,25,29,,,,,1.6,0.9,1.3");
    for (int g = 1; g <= 3; ++g) {
      std::string gsv = "GPGSV,3," + std::to_string(g) + ",12";
      for (int s = 0; s < 4; ++s) {
        const int prn = g * 4 + s;
        gsv += "," + std::to_string(prn < 10 ? prn + 10 : prn) + "," + std::to_string(10 + (prn * 7 + i) % 80) + "," +
               std::to_string((prn * 37 + i) % 360) + "," + std::to_string(20 + (prn * 3 + i) % 30);
      }
      line(epoch, gsv);
    }
    line(epoch, "GPVTG," + formatFixed(heading, 2) + ",T,,M," + formatFixed(knots, 2) + ",N," +
                    formatFixed(knots * 1.852, 2) + ",K,A");
    line(epoch, "GPGLL," + la + "," + ns + "," + lo + "," + ew + "," + hms + ",A,A");
    if (std::fwrite(epoch.data(), 1, epoch.size(), f) != epoch.size()) {
      std::perror(argv[1]);
      return 1;
    }
    written += static_cast<long long>(epoch.size());
  }
  std::fclose(f);
  return 0;
}
