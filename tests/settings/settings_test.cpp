#include "settings/settings.h"

#include <gtest/gtest.h>

#include <set>

#include "core/number_text.h"
#include "support/temp_dir.h"

namespace geomuxer {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

constexpr std::string_view kHandWritten =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<settings version=\"1.0\">\r\n"
    "  <WARNING>Geomuxer Settings file, do not edit!</WARNING>\r\n"
    "  <general>\r\n"
    "    <tracker>3</tracker>\r\n"
    "    <savepos>false</savepos>\r\n"
    "    <minimized>Yes</minimized>\r\n"
    "  </general>\r\n"
    "  <simu>\r\n"
    "    <long>8.5417</long>\r\n"
    "    <lat>-47.25</lat>\r\n"
    "    <maxspeed>120</maxspeed>\r\n"
    "  </simu>\r\n"
    "  <nmeatcpip>\r\n"
    "    <host/>\r\n"
    "  </nmeatcpip>\r\n"
    "  <httplog>\r\n"
    "    <host>gps.example.org</host>\r\n"
    "    <password>0b573047</password>\r\n"
    "  </httplog>\r\n"
    "  <http>\r\n"
    "    <certfile>/etc/geomuxer/cert.pem</certfile>\r\n"
    "  </http>\r\n"
    "  <MainForm>\r\n"
    "    <left>10</left>\r\n"
    "    <top>-20</top>\r\n"
    "    <width>wide</width>\r\n"
    "  </MainForm>\r\n"
    "</settings>\r\n";

// The default document as written to a file.
constexpr std::string_view kDefaultFile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<settings version=\"1.0\">\r\n"
    "  <WARNING>Geomuxer Settings file, do not edit!</WARNING>\r\n"
    "</settings>\r\n";

TEST(Passwords, Encoding) {
  EXPECT_EQ(encodePassword(kPasswordKey, ""), "");
  // 'p' ^ '{', 'w' ^ '6', 'd' ^ 'C': two lowercase hex digits per byte.
  EXPECT_EQ(encodePassword(kPasswordKey, "pwd"), "0b4127");
  EXPECT_EQ(encodePassword("", "pw"), "7077");
  EXPECT_EQ(decodePassword("", "7077"), "pw");

  std::string every;
  for (int i = 0; i < 256; ++i) every += static_cast<char>(i);
  every += every;  // longer than the key, so the key repeats
  const std::string stored = encodePassword(kPasswordKey, every);
  EXPECT_EQ(stored.size(), every.size() * 2);
  EXPECT_EQ(stored.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(decodePassword(kPasswordKey, stored), every);

  // A pair that is not hex counts as 32; an odd last character is ignored; upper case is read.
  EXPECT_EQ(decodePassword(kPasswordKey, "zz"), std::string(1, static_cast<char>(32 ^ '{')));
  EXPECT_EQ(decodePassword(kPasswordKey, "0B4127f"), "pwd");
}

TEST(Settings, HandWrittenFileReadValueByValue) {
  TempDir dir;
  writeFile(dir / "geomuxer.sml", kHandWritten);
  Settings s(dir / "geomuxer.sml", "/opt/geomuxer/http/");
  const auto result = s.load();
  EXPECT_EQ(result.status, Settings::LoadResult::Status::loaded);
  EXPECT_TRUE(result.message.empty());

  EXPECT_EQ(s.readInteger(keys::generalTracker), 3);
  EXPECT_FALSE(s.readBool(keys::generalSavePos));
  EXPECT_TRUE(s.readBool(keys::generalMinimized));
  EXPECT_DOUBLE_EQ(s.readFloat(keys::simuLong), 8.5417);
  EXPECT_DOUBLE_EQ(s.readFloat(keys::simuLat), -47.25);
  EXPECT_EQ(s.readInteger(keys::simuMaxSpeed), 120);
  // An existing empty node is the empty string, not the default.
  EXPECT_EQ(s.readString(keys::nmeaTcpipHost), "");
  EXPECT_EQ(s.readString("nmeatcpip\\host", "localhost"), "");
  EXPECT_EQ(s.readString(keys::httpLogHost), "gps.example.org");
  EXPECT_EQ(s.readString(keys::httpLogPassword), "pass");
  // Missing nodes give the table's defaults.
  EXPECT_EQ(s.readInteger(keys::generalIconAnim), 400);
  EXPECT_EQ(s.readInteger(keys::nmeaComBaud), 4800);
  EXPECT_TRUE(s.readBool(keys::tcpipLogActive));
  EXPECT_DOUBLE_EQ(s.readFloat(keys::simuAlt), 0.0);
  EXPECT_EQ(s.readString(keys::httpLogProtocol), "https");
  EXPECT_EQ(s.readString(keys::proxyPassword), "");
  EXPECT_EQ(s.readString(keys::httpWebRoot), "/opt/geomuxer/http/");
  // Key and root certificate default to the certificate file.
  EXPECT_EQ(s.readString(keys::httpKeyFile), "/etc/geomuxer/cert.pem");
  EXPECT_EQ(s.readString(keys::httpRootCertFile), "/etc/geomuxer/cert.pem");
  // Lookup ignores case.
  EXPECT_EQ(s.readInteger("GENERAL\\Tracker", 0), 3);

  // A window place: a missing or unreadable item keeps the current value.
  const WindowRect current{1, 2, 300, 400};
  EXPECT_EQ(s.loadWindowRect("MainForm", current), (WindowRect{10, -20, 300, 400}));
  EXPECT_EQ(s.loadWindowRect("SimuForm", current), std::nullopt);
}

TEST(Settings, BadNumbersRaise) {
  TempDir dir;
  writeFile(dir / "s.sml",
            "<settings version=\"1.0\"><general><tracker>abc</tracker><iconanim/>"
            "<posunit> 1</posunit><distunit>99999999999</distunit></general>"
            "<simu><long>8,5</long><lat></lat></simu></settings>");
  Settings s(dir / "s.sml");
  ASSERT_TRUE(s.load().ok());
  EXPECT_THROW((void)s.readInteger(keys::generalTracker), ConversionError);
  EXPECT_THROW((void)s.readInteger(keys::generalIconAnim), ConversionError);  // empty text
  EXPECT_THROW((void)s.readInteger(keys::generalDistUnit), ConversionError);  // out of range
  EXPECT_THROW((void)s.readInteger("general\\tracker", 5), ConversionError);
  EXPECT_THROW((void)s.readFloat(keys::simuLong), ConversionError);  // machine text uses '.'
  EXPECT_THROW((void)s.readFloat(keys::simuLat), ConversionError);
  // Read as a string or a boolean the same nodes are fine.
  EXPECT_EQ(s.readString("simu\\long", ""), "8,5");
  EXPECT_FALSE(s.readBool("general\\tracker", true));
  // A key read as the wrong type is a programming error.
  EXPECT_THROW((void)s.readBool(keys::generalTracker), std::logic_error);
  EXPECT_THROW(s.writeInteger(keys::httpPassword, 1), std::logic_error);
}

TEST(Settings, WritesAndSavesInTheDocumentedLayout) {
  TempDir dir;
  Settings s(dir / "geomuxer.sml");
  EXPECT_EQ(s.load().status, Settings::LoadResult::Status::missing);
  s.save();
  EXPECT_EQ(readFile(dir / "geomuxer.sml"), kDefaultFile);

  s.writeInteger(keys::generalTracker, 3);
  s.writeBool(keys::logHttp, true);
  s.writeFloat(keys::simuLat, 47.5);
  s.writeString(keys::httpPassword, "pwd");
  s.writeString("general\\other", "a<b");
  s.saveWindowRect("SimuForm", {5, 6, 7, 8});
  s.save();
  EXPECT_EQ(readFile(dir / "geomuxer.sml"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "<settings version=\"1.0\">\r\n"
            "  <WARNING>Geomuxer Settings file, do not edit!</WARNING>\r\n"
            "  <general>\r\n"
            "    <tracker>3</tracker>\r\n"
            "    <other>a&#060;b</other>\r\n"
            "  </general>\r\n"
            "  <log>\r\n"
            "    <http>true</http>\r\n"
            "  </log>\r\n"
            "  <simu>\r\n"
            "    <lat>47.5</lat>\r\n"
            "  </simu>\r\n"
            "  <http>\r\n"
            "    <password>0b4127</password>\r\n"
            "  </http>\r\n"
            "  <SimuForm>\r\n"
            "    <left>5</left>\r\n"
            "    <top>6</top>\r\n"
            "    <width>7</width>\r\n"
            "    <height>8</height>\r\n"
            "  </SimuForm>\r\n"
            "</settings>\r\n");

  // A second object reads back every value.
  Settings again(dir / "geomuxer.sml");
  ASSERT_EQ(again.load().status, Settings::LoadResult::Status::loaded);
  EXPECT_EQ(again.readInteger(keys::generalTracker), 3);
  EXPECT_TRUE(again.readBool(keys::logHttp));
  EXPECT_DOUBLE_EQ(again.readFloat(keys::simuLat), 47.5);
  EXPECT_EQ(again.readString(keys::httpPassword), "pwd");
  EXPECT_EQ(again.readString("general\\other", ""), "a<b");
  EXPECT_EQ(again.loadWindowRect("simuform", {}), (WindowRect{5, 6, 7, 8}));
  // Nothing but the file itself is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Settings, FailedSaveIsReportedAndLeavesNoDebris) {
  TempDir dir;
  Settings missingFolder(dir / "no-such-folder" / "geomuxer.sml");
  EXPECT_THROW(missingFolder.save(), SettingsError);

  // The target is a folder: the final rename fails, the folder stays, the temporary file goes.
  std::filesystem::create_directory(dir / "geomuxer.sml");
  Settings s(dir / "geomuxer.sml");
  try {
    s.save();
    FAIL() << "saved over a folder";
  } catch (const SettingsError& e) {
    EXPECT_NE(std::string(e.what()).find("geomuxer.sml"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir / "geomuxer.sml"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Settings, BrokenFilesGiveDefaultsAndAreKept) {
  struct Row {
    const char* legend;
    std::string bytes;
    Settings::LoadResult::Status status;
    std::string message;  // for parse errors: the part after the file name
  };
  using Status = Settings::LoadResult::Status;
  const Row rows[] = {
      {"truncated", std::string(kHandWritten.substr(0, 200)), Status::parseError,
       " (near Line 7, Col 7):\r\nUnexpected end of file."},
      {"bad closing tag", "<settings version=\"1.0\">\n  <a></b>\n</settings>", Status::parseError,
       " (near Line 2, Col 8):\r\nNo matching Tag for \"a\""},
      {"binary", std::string("\x00\x01<\xFF\xFE>\x80", 7), Status::parseError,
       " (near Line 1, Col 4):\r\nInvalid Node name \"\xFF\xFE\""},
      {"root with a capital", "<Settings version=\"1.0\"/>", Status::invalid,
       "Invalid Settings file, using defaults."},
      {"other version", "<settings version=\"1.1\"/>", Status::invalid, "Invalid Settings file, using defaults."},
      {"no version", "<settings/>", Status::invalid, "Invalid Settings file, using defaults."},
  };
  for (const auto& row : rows) {
    TempDir dir;
    const auto file = dir / "geomuxer.sml";
    writeFile(file, row.bytes);
    Settings s(file);
    s.writeInteger(keys::generalTracker, 7);  // must not survive the load
    const auto result = s.load();
    EXPECT_EQ(result.status, row.status) << row.legend;
    EXPECT_FALSE(result.ok()) << row.legend;
    if (row.status == Status::parseError) {
      EXPECT_EQ(result.message, "Error parsing Settings file, using defaults.\r\n\r\n" + file.string() + row.message)
          << row.legend;
    } else {
      EXPECT_EQ(result.message, row.message) << row.legend;
    }
    // The defaults are in place, and the broken file is kept beside the one the next save writes.
    EXPECT_EQ(s.readInteger(keys::generalTracker), 0) << row.legend;
    EXPECT_EQ(s.root().asText(), kDefaultFile) << row.legend;
    EXPECT_EQ(result.keptAs, dir / "geomuxer.sml.bad") << row.legend;
    EXPECT_EQ(readFile(dir / "geomuxer.sml.bad"), row.bytes) << row.legend;
    s.save();
    EXPECT_EQ(readFile(dir / "geomuxer.sml.bad"), row.bytes) << row.legend;
  }
}

TEST(Settings, EnormousFileIsNotRead) {
  TempDir dir;
  const auto file = dir / "geomuxer.sml";
  {
    std::ofstream out(file, std::ios::binary);
    out << "<settings version=\"1.0\"><WARNING>";
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 9; ++i) out << block;
    out << "</WARNING></settings>";
  }
  Settings s(file);
  const auto result = s.load();
  EXPECT_EQ(result.status, Settings::LoadResult::Status::parseError);
  EXPECT_NE(result.message.find("The file is too large."), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir / "geomuxer.sml.bad"));
}

TEST(Settings, ByteOrderMarkAndDeclaredEncoding) {
  TempDir dir;
  writeFile(dir / "bom.sml",
            "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "<settings version=\"1.0\"><filelog><file>/home/j\xC3\xBCrg/gps.nmea</file></filelog></settings>");
  Settings bom(dir / "bom.sml");
  ASSERT_EQ(bom.load().status, Settings::LoadResult::Status::loaded);
  EXPECT_EQ(bom.readString(keys::fileLogFile), "/home/j\xC3\xBCrg/gps.nmea");

  writeFile(dir / "latin1.sml",
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n"
            "<settings version=\"1.0\"><filelog><file>/home/j\xFCrg/gps.nmea</file></filelog></settings>");
  Settings latin1(dir / "latin1.sml");
  ASSERT_EQ(latin1.load().status, Settings::LoadResult::Status::loaded);
  EXPECT_EQ(latin1.readString(keys::fileLogFile), "/home/j\xC3\xBCrg/gps.nmea");
  // Saving writes UTF-8, declared as such, without a mark.
  latin1.save();
  const std::string saved = readFile(dir / "latin1.sml");
  EXPECT_EQ(saved.substr(0, 40), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n");
  EXPECT_NE(saved.find("j\xC3\xBCrg"), std::string::npos);
}

TEST(SettingKeys, TableIsConsistent) {
  std::set<std::string_view> paths;
  for (const SettingKey* key : kSettingKeys) {
    SCOPED_TRACE(std::string(key->path));
    EXPECT_TRUE(paths.insert(key->path).second) << "twice";
    EXPECT_EQ(findSettingKey(key->path), key);
    // Every step is a valid node name, written in lower case.
    std::string_view rest = key->path;
    while (!rest.empty()) {
      const auto sep = rest.find('\\');
      const auto step = rest.substr(0, sep);
      EXPECT_TRUE(isValidSmlName(step));
      for (const char c : step) EXPECT_FALSE(c >= 'A' && c <= 'Z');
      rest = sep == std::string_view::npos ? std::string_view{} : rest.substr(sep + 1);
    }
    // Each default is readable as its type.
    switch (key->type) {
      case SettingType::integer: EXPECT_TRUE(parseInt(key->defaultText)); break;
      case SettingType::floating: EXPECT_TRUE(parseDouble(key->defaultText)); break;
      case SettingType::boolean:
        EXPECT_TRUE(key->defaultText == "true" || key->defaultText == "false");
        break;
      case SettingType::string:
      case SettingType::password: break;
    }
    EXPECT_EQ(key->defaultKind == SettingDefault::otherKey, key->defaultKey != nullptr);
  }
  EXPECT_EQ(paths.size(), 82u);
  EXPECT_EQ(findSettingKey("HTTPLOG\\Password"), &keys::httpLogPassword);
  EXPECT_EQ(findSettingKey("general\\nothing"), nullptr);
}

}  // namespace
}  // namespace geomuxer
