#pragma once
// Every settings key the program reads, with its type and default. Readers name a key through
// these constants, so a default lives in exactly one place.

#include <array>
#include <string_view>

namespace geomuxer {

enum class SettingType { integer, boolean, floating, string, password };

/// Where a key's default comes from when its node is missing.
enum class SettingDefault {
  text,      ///< `defaultText`
  webRoot,   ///< the web-root folder beside the program
  otherKey,  ///< the value of `defaultKey`
};

struct SettingKey {
  std::string_view path;         ///< node path below the root, "general\\tracker"
  SettingType type;
  std::string_view defaultText;  ///< in stored form, except that passwords are plain
  SettingDefault defaultKind = SettingDefault::text;
  const SettingKey* defaultKey = nullptr;
};

namespace keys {
inline constexpr SettingKey generalDistUnit{"general\\distunit", SettingType::integer, "0"};
inline constexpr SettingKey generalPosUnit{"general\\posunit", SettingType::integer, "1"};
inline constexpr SettingKey generalRecordMode{"general\\recordmode", SettingType::integer, "0"};
inline constexpr SettingKey generalRecordInterval{"general\\recordinterval", SettingType::integer, "2"};
inline constexpr SettingKey generalSavePos{"general\\savepos", SettingType::boolean, "true"};
inline constexpr SettingKey generalMinimized{"general\\minimized", SettingType::boolean, "false"};
inline constexpr SettingKey generalTracker{"general\\tracker", SettingType::integer, "0"};
inline constexpr SettingKey generalCloseToTray{"general\\closetotray", SettingType::boolean, "false"};
inline constexpr SettingKey generalIconAnim{"general\\iconanim", SettingType::integer, "400"};
/// Seconds without a byte from the running source before it counts as waiting for data.
inline constexpr SettingKey generalWatchdog{"general\\watchdog", SettingType::integer, "10"};
inline constexpr SettingKey logTracker{"log\\tracker", SettingType::boolean, "true"};
inline constexpr SettingKey logTrackerPos{"log\\trackerpos", SettingType::boolean, "false"};
inline constexpr SettingKey logTcp{"log\\tcp", SettingType::boolean, "true"};
inline constexpr SettingKey logHttp{"log\\http", SettingType::boolean, "false"};
inline constexpr SettingKey logLogFile{"log\\logfile", SettingType::boolean, "true"};
inline constexpr SettingKey logMaxLines{"log\\maxlines", SettingType::integer, "100"};
inline constexpr SettingKey tcpipLogPort{"tcpiplog\\port", SettingType::integer, "2222"};
/// Broadcast clients connected at once; one more is closed at once.
inline constexpr SettingKey tcpipLogMaxClients{"tcpiplog\\maxclients", SettingType::integer, "4096"};
inline constexpr SettingKey tcpipLogActive{"tcpiplog\\active", SettingType::boolean, "true"};
/// Address the broadcast listens on; empty or 0.0.0.0 for every interface.
inline constexpr SettingKey tcpipLogBindAddress{"tcpiplog\\bindaddress", SettingType::string, "0.0.0.0"};
/// The broadcast sends the source's own NMEA sentences instead of writing its own from positions.
inline constexpr SettingKey tcpipLogPassThrough{"tcpiplog\\passthrough", SettingType::boolean, "false"};
/// Talker of the sentences the broadcast writes: two upper-case letters.
inline constexpr SettingKey tcpipLogTalker{"tcpiplog\\talker", SettingType::string, "GP"};
/// The broadcast sends every position, whatever the record interval of the other loggers.
inline constexpr SettingKey tcpipLogEveryPosition{"tcpiplog\\everyposition", SettingType::boolean, "false"};
/// The NMEA UDP logger: each block as one datagram to an address (unicast, broadcast or multicast)
/// or a host name.
inline constexpr SettingKey udpLogActive{"udplog\\active", SettingType::boolean, "false"};
inline constexpr SettingKey udpLogAddress{"udplog\\address", SettingType::string, "127.0.0.1"};
/// Network interface multicast datagrams leave by; empty for the system's choice.
inline constexpr SettingKey udpLogMulticastInterface{"udplog\\multicastinterface", SettingType::string, ""};
inline constexpr SettingKey udpLogPort{"udplog\\port", SettingType::integer, "10110"};
/// Hops of multicast datagrams; 1 keeps them on the local network.
inline constexpr SettingKey udpLogTtl{"udplog\\ttl", SettingType::integer, "1"};
inline constexpr SettingKey udpLogPassThrough{"udplog\\passthrough", SettingType::boolean, "false"};
inline constexpr SettingKey udpLogTalker{"udplog\\talker", SettingType::string, "GP"};
inline constexpr SettingKey fileLogAppend{"filelog\\append", SettingType::boolean, "false"};
inline constexpr SettingKey fileLogFile{"filelog\\file", SettingType::string, ""};
inline constexpr SettingKey fileLogActive{"filelog\\active", SettingType::boolean, "false"};
inline constexpr SettingKey gpxLogFileDir{"gpxlog\\filedir", SettingType::string, ""};
inline constexpr SettingKey gpxLogActive{"gpxlog\\active", SettingType::boolean, "false"};
inline constexpr SettingKey simuLong{"simu\\long", SettingType::floating, "0"};
inline constexpr SettingKey simuLat{"simu\\lat", SettingType::floating, "0"};
inline constexpr SettingKey simuAlt{"simu\\alt", SettingType::floating, "0"};
inline constexpr SettingKey simuMaxSpeed{"simu\\maxspeed", SettingType::integer, "260"};
inline constexpr SettingKey simuMaxVSpeed{"simu\\maxvspeed", SettingType::integer, "30"};
inline constexpr SettingKey garminComPort{"garmincom\\port", SettingType::string, ""};
inline constexpr SettingKey nmeaComPort{"nmeacom\\port", SettingType::string, ""};
inline constexpr SettingKey nmeaComBaud{"nmeacom\\baud", SettingType::integer, "4800"};
inline constexpr SettingKey nmeaComByteSize{"nmeacom\\bytesize", SettingType::integer, "8"};
inline constexpr SettingKey nmeaComStopBits{"nmeacom\\stopbits", SettingType::integer, "0"};
inline constexpr SettingKey nmeaComParity{"nmeacom\\parity", SettingType::boolean, "false"};
inline constexpr SettingKey nmeaComChecksum{"nmeacom\\checksum", SettingType::boolean, "true"};
inline constexpr SettingKey nmeaTcpipHost{"nmeatcpip\\host", SettingType::string, "localhost"};
inline constexpr SettingKey nmeaTcpipPort{"nmeatcpip\\port", SettingType::integer, "2222"};
inline constexpr SettingKey nmeaTcpipChecksum{"nmeatcpip\\checksum", SettingType::boolean, "true"};
inline constexpr SettingKey nmeaFileFile{"nmeafile\\file", SettingType::string, ""};
inline constexpr SettingKey nmeaFileChecksum{"nmeafile\\checksum", SettingType::boolean, "true"};
inline constexpr SettingKey nmeaFileStartAtEnd{"nmeafile\\startatend", SettingType::boolean, "false"};
inline constexpr SettingKey httpWebRoot{"http\\wroot", SettingType::string, "", SettingDefault::webRoot};
inline constexpr SettingKey httpPort{"http\\port", SettingType::integer, "8087"};
/// The address the server listens on; "0.0.0.0" (every interface) lets instances post across a network.
inline constexpr SettingKey httpBindAddress{"http\\bindaddress", SettingType::string, "0.0.0.0"};
inline constexpr SettingKey httpAuth{"http\\auth", SettingType::boolean, "false"};
inline constexpr SettingKey httpUserName{"http\\username", SettingType::string, ""};
inline constexpr SettingKey httpPassword{"http\\password", SettingType::password, ""};
inline constexpr SettingKey httpActive{"http\\active", SettingType::boolean, "false"};
inline constexpr SettingKey httpUseSsl{"http\\usessl", SettingType::boolean, "false"};
inline constexpr SettingKey httpCertFile{"http\\certfile", SettingType::string, ""};
inline constexpr SettingKey httpKeyFile{"http\\keyfile", SettingType::string, "", SettingDefault::otherKey, &httpCertFile};
inline constexpr SettingKey httpRootCertFile{"http\\rootcertfile", SettingType::string, "", SettingDefault::otherKey, &httpCertFile};
// The position server's store: an SQLite file (empty: the one in the state folder) or a
// "postgresql://" connection URI; the PostgreSQL connection pool and statement time limit (s).
inline constexpr SettingKey httpDatabase{"http\\database", SettingType::string, ""};
inline constexpr SettingKey httpDatabasePool{"http\\dbpool", SettingType::integer, "4"};
inline constexpr SettingKey httpDatabaseTimeout{"http\\dbtimeout", SettingType::integer, "10"};
inline constexpr SettingKey httpLogProtocol{"httplog\\protocol", SettingType::string, "https"};
inline constexpr SettingKey httpLogHost{"httplog\\host", SettingType::string, "localhost"};
inline constexpr SettingKey httpLogPort{"httplog\\port", SettingType::integer, "8087"};
inline constexpr SettingKey httpLogFile{"httplog\\file", SettingType::string, "onclientpos"};
inline constexpr SettingKey httpLogTimeout{"httplog\\timeout", SettingType::integer, "500"};
/// A certificate (PEM) trusted for HTTPS uploads beside the system's, for a self-signed server.
inline constexpr SettingKey httpLogCaFile{"httplog\\cafile", SettingType::string, ""};
inline constexpr SettingKey httpLogAuth{"httplog\\auth", SettingType::boolean, "false"};
inline constexpr SettingKey httpLogUserName{"httplog\\username", SettingType::string, ""};
inline constexpr SettingKey httpLogPassword{"httplog\\password", SettingType::password, ""};
inline constexpr SettingKey httpLogActive{"httplog\\active", SettingType::boolean, "false"};
inline constexpr SettingKey httpLogQueueSize{"httplog\\queuesize", SettingType::integer, "1000000"};
inline constexpr SettingKey proxyHost{"proxy\\host", SettingType::string, ""};
inline constexpr SettingKey proxyPort{"proxy\\port", SettingType::integer, "0"};
inline constexpr SettingKey proxyUserName{"proxy\\username", SettingType::string, ""};
inline constexpr SettingKey proxyPassword{"proxy\\password", SettingType::password, ""};
}  // namespace keys

inline constexpr std::array kSettingKeys{
    &keys::generalDistUnit,
    &keys::generalPosUnit,
    &keys::generalRecordMode,
    &keys::generalRecordInterval,
    &keys::generalSavePos,
    &keys::generalMinimized,
    &keys::generalTracker,
    &keys::generalCloseToTray,
    &keys::generalIconAnim,
    &keys::generalWatchdog,
    &keys::logTracker,
    &keys::logTrackerPos,
    &keys::logTcp,
    &keys::logHttp,
    &keys::logLogFile,
    &keys::logMaxLines,
    &keys::tcpipLogPort,
    &keys::tcpipLogMaxClients,
    &keys::tcpipLogActive,
    &keys::tcpipLogBindAddress,
    &keys::tcpipLogPassThrough,
    &keys::tcpipLogTalker,
    &keys::tcpipLogEveryPosition,
    &keys::udpLogActive,
    &keys::udpLogAddress,
    &keys::udpLogPort,
    &keys::udpLogTtl,
    &keys::udpLogMulticastInterface,
    &keys::udpLogPassThrough,
    &keys::udpLogTalker,
    &keys::fileLogAppend,
    &keys::fileLogFile,
    &keys::fileLogActive,
    &keys::gpxLogFileDir,
    &keys::gpxLogActive,
    &keys::simuLong,
    &keys::simuLat,
    &keys::simuAlt,
    &keys::simuMaxSpeed,
    &keys::simuMaxVSpeed,
    &keys::garminComPort,
    &keys::nmeaComPort,
    &keys::nmeaComBaud,
    &keys::nmeaComByteSize,
    &keys::nmeaComStopBits,
    &keys::nmeaComParity,
    &keys::nmeaComChecksum,
    &keys::nmeaTcpipHost,
    &keys::nmeaTcpipPort,
    &keys::nmeaTcpipChecksum,
    &keys::nmeaFileFile,
    &keys::nmeaFileChecksum,
    &keys::nmeaFileStartAtEnd,
    &keys::httpWebRoot,
    &keys::httpPort,
    &keys::httpBindAddress,
    &keys::httpAuth,
    &keys::httpUserName,
    &keys::httpPassword,
    &keys::httpActive,
    &keys::httpUseSsl,
    &keys::httpCertFile,
    &keys::httpKeyFile,
    &keys::httpRootCertFile,
    &keys::httpDatabase,
    &keys::httpDatabasePool,
    &keys::httpDatabaseTimeout,
    &keys::httpLogProtocol,
    &keys::httpLogHost,
    &keys::httpLogPort,
    &keys::httpLogFile,
    &keys::httpLogTimeout,
    &keys::httpLogCaFile,
    &keys::httpLogAuth,
    &keys::httpLogUserName,
    &keys::httpLogPassword,
    &keys::httpLogActive,
    &keys::httpLogQueueSize,
    &keys::proxyHost,
    &keys::proxyPort,
    &keys::proxyUserName,
    &keys::proxyPassword,
};

/// The table entry for a path (case ignored), or null.
[[nodiscard]] const SettingKey* findSettingKey(std::string_view path);

}  // namespace geomuxer
