// The position server with real peer programs: curl posts forms, xmllint checks every GPX export
// against the GPX 1.1 schema.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "core/date_time.h"
#include "server/server_test_support.h"

namespace geomuxer::test {
namespace {

class ServerInterop : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override {
    start();
    m_rover = addClient("rover", "pw");
  }

  [[nodiscard]] std::string url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(m_server->port()) + target;
  }

  std::int64_t m_rover = 0;
};

TEST_F(ServerInterop, EveryGpxExportValidates) {
  if (!haveProgram("xmllint")) GTEST_SKIP() << "xmllint is not installed (package libxml2-utils)";
  const std::filesystem::path schema = std::filesystem::path(GEOMUXER_SHARED_DIR) / "schema" / "gpx11.xsd";
  if (!std::filesystem::exists(schema)) GTEST_SKIP() << "the GPX schema is missing: " << schema;

  PositionInfo p;
  p.fields = {defTime, defXY};
  for (int i = 0; i < 3; ++i) {
    p.time = *makeDateTime({2024, 5, 1, 10, 20, i, 0});
    p.y = -33.5f + static_cast<float>(i) * 0.001f;
    p.x = 151.25f;
    m_database->storePosition(m_rover, p, "", "plain");
  }
  p.altitude = -12.5f;
  p.fields = {defTime, defXY, defAltitude};
  m_database->storePosition(m_rover, p, "<&> \"quoted\" Zürich", "t & <special>");
  p.y = 90.0f;
  p.x = -180.0f;
  m_database->storePosition(m_rover, p, "at the pole", "t & <special>");

  const std::vector<std::string> targets = {
      "/admin/clienttrack.gpx?id=plain",
      "/admin/clienttrack.gpx?id=t%20%26%20%3Cspecial%3E",
      "/admin/clienttrack.gpx?id=nothing-here",
      "/admin/lasttrack.gpx?user=" + std::to_string(m_rover) + "&att=yes",
      "/admin/lasttrack.gpx?user=999",
  };
  auto c = client();
  for (const auto& target : targets) {
    SCOPED_TRACE(target);
    auto res = c.Get(target);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    const auto file = m_dir / "export.gpx";
    writeFile(file, res->body);
    int status = -1;
    const std::string verdict =
        runCommand("xmllint --noout --schema '" + schema.string() + "' '" + file.string() + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << verdict << "\n" << res->body;
  }
}

TEST_F(ServerInterop, FormsPostedByCurlAreStored) {
  if (!haveProgram("curl")) GTEST_SKIP() << "curl is not installed";
  int status = -1;
  const std::string code = runCommand(
      "curl -s -o /dev/null -w '%{http_code}' -u rover:pw -F datetime=2024-05-01T10:20:30Z -F lat=47.5 "
      "-F lon=11.25 -F alt=512 -F satellites=9 -F 'comment=two words' -F trackid=curl-track "
      "-F 'attachment=@/dev/null;type=application/octet-stream' '" + url("/onclientpos") + "'",
      &status);
  EXPECT_EQ(code, "200");
  auto stored = m_database->positionsOfUser(m_rover);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].datetime, "2024-05-01 10:20:30");
  EXPECT_EQ(stored[0].lat, 47.5);
  EXPECT_EQ(stored[0].alt, 512.0);
  EXPECT_EQ(stored[0].sat, 9);
  EXPECT_EQ(stored[0].comment, "two words");
  EXPECT_EQ(stored[0].trackId, "curl-track");

  // Wrong password: refused, nothing stored.
  EXPECT_EQ(runCommand("curl -s -o /dev/null -w '%{http_code}' -u rover:nope -F lat=1 -F lon=2 '" +
                       url("/onclientpos") + "'"),
            "401");
  EXPECT_EQ(m_database->positionsOfUser(m_rover).size(), 1u);

  // Administration form: redirect to the administration page.
  EXPECT_EQ(runCommand("curl -s -o /dev/null -w '%{http_code} %{redirect_url}' -F name=second -F pass=x '" +
                       url("/admin/addclient") + "'"),
            "302 " + url("/admin/"));
  EXPECT_NE(m_database->checkLogin("second", "x"), -1);
}

TEST_F(ServerInterop, CurlCannotLeaveTheWebRoot) {
  if (!haveProgram("curl")) GTEST_SKIP() << "curl is not installed";
  writeFile(m_dir / "secret.txt", "outside");
  for (const std::string target : {"/../secret.txt", "/%2e%2e/secret.txt", "/..%5csecret.txt"}) {
    SCOPED_TRACE(target);
    const std::string out = runCommand("curl -s --path-as-is -w ' %{http_code}' '" + url(target) + "'");
    EXPECT_THAT(out, ::testing::EndsWith(" 404"));
    EXPECT_THAT(out, ::testing::Not(::testing::HasSubstr("outside")));
  }
}

}  // namespace
}  // namespace geomuxer::test
