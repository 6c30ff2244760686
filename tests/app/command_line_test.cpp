#include <gtest/gtest.h>

#include "app/command_line.h"
#include "app_test_support.h"

namespace geomuxer {
namespace {

const std::vector<std::string> kSources{"Simulator", "Garmin via USB", "Garmin via COM", "NMEA via COM",
                                        "NMEA via TCP/IP", "NMEA via File"};

CommandLine parse(std::vector<std::string> args) { return parseCommandLine(args, kSources); }

TEST(CommandLine, SelectsAndActivatesBySourceName) {
  const CommandLine cl = parse({"-t", "NMEA via TCP/IP", "-a", "yes"});
  EXPECT_EQ(cl.sourceIndex, 4);
  EXPECT_EQ(cl.activate, true);
  EXPECT_FALSE(cl.minimize);

  // Slash form, case ignored, and the old spelling of the simulator.
  EXPECT_EQ(parse({"/t", "nmea VIA com"}).sourceIndex, 3);
  EXPECT_EQ(parse({"-t", "Simuator"}).sourceIndex, 0);
  EXPECT_EQ(parse({"-t", "simulator"}).sourceIndex, 0);
  // The last usable -t wins; an unknown name leaves the earlier choice.
  EXPECT_EQ(parse({"-t", "Simulator", "-t", "NMEA via File"}).sourceIndex, 5);
  EXPECT_EQ(parse({"-t", "Simulator", "-t", "Windows"}).sourceIndex, 0);
}

TEST(CommandLine, SwitchesConsumeTheirValueEvenWhenUnusable) {
  // "-m" after an unknown -t name is the name's value, not a switch.
  CommandLine cl = parse({"-t", "-m"});
  EXPECT_FALSE(cl.sourceIndex);
  EXPECT_FALSE(cl.minimize);

  cl = parse({"-a", "", "-m"});
  EXPECT_FALSE(cl.activate);
  EXPECT_TRUE(cl.minimize);

  cl = parse({"-a", "no"});
  EXPECT_EQ(cl.activate, false);
  cl = parse({"-a"});
  EXPECT_FALSE(cl.activate);
  cl = parse({"-t"});
  EXPECT_FALSE(cl.sourceIndex);
}

TEST(CommandLine, UnknownSwitchesAndWordsAreIgnored) {
  const CommandLine cl = parse({"-x", "Simulator", "/m", "-T", "Simulator", "--bogus", "-A", "yes"});
  // "-x" consumes nothing, so "Simulator" is a stray word; case counts for switch names.
  EXPECT_FALSE(cl.sourceIndex);
  EXPECT_FALSE(cl.activate);
  EXPECT_TRUE(cl.minimize);
  EXPECT_FALSE(cl.headless);
}

TEST(CommandLine, WebRootMustBeAnExistingFolder) {
  test::TempDir dir;
  const std::string folder = dir.path().string();
  EXPECT_EQ(parse({"-wroot", folder}).webRoot, folder + "/");
  EXPECT_EQ(parse({"/wroot", folder + "/"}).webRoot, folder + "/");
  EXPECT_FALSE(parse({"-wroot", folder + "/missing"}).webRoot);
  test::writeFile(dir / "file.txt", "x");
  const CommandLine cl = parse({"-wroot", (dir / "file.txt").string(), "-m"});
  EXPECT_FALSE(cl.webRoot);
  EXPECT_TRUE(cl.minimize);
}

TEST(CommandLine, LongSwitchesChooseHowToRun) {
  const CommandLine cl = parse({"--headless", "-t", "Simulator", "--server", "-a", "1"});
  EXPECT_TRUE(cl.headless);
  EXPECT_TRUE(cl.server);
  EXPECT_EQ(cl.sourceIndex, 0);
  EXPECT_EQ(cl.activate, true);
  EXPECT_TRUE(parse({"--help"}).help);
  EXPECT_TRUE(parse({"--version"}).version);
}

TEST(CommandLine, ConfigNamesTheSettingsFile) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string configFile;
    bool headless;
  };
  const Row rows[] = {
      {"separate value", {"--config", "/etc/geomuxer/geomuxer.sml", "--headless"}, "/etc/geomuxer/geomuxer.sml", true},
      {"joined value", {"--config=rel/g.sml"}, "rel/g.sml", false},
      {"value looks like a switch", {"--config", "--headless"}, "--headless", false},
      {"last one wins", {"--config", "a.sml", "--config=b.sml"}, "b.sml", false},
      {"no value", {"--headless", "--config"}, "", true},
      {"empty joined value", {"--config="}, "", false},
  };
  for (const Row& row : rows) {
    const CommandLine cl = parse(row.args);
    EXPECT_EQ(cl.configFile, row.configFile) << row.name;
    EXPECT_EQ(cl.headless, row.headless) << row.name;
  }
}

TEST(CommandLine, HelpListsEverySwitch) {
  const std::string help = commandLineHelp("geomuxer");
  for (const char* sw : {"-t ", "-a ", "-m ", "-wroot ", "--headless", "--server", "--config ", "--help", "--version"})
    EXPECT_NE(help.find(sw), std::string::npos) << sw;
}

}  // namespace
}  // namespace geomuxer
