// The position server over real loopback connections: routing, authentication, status pages,
// static files, intake and administration, and requests that try to break it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "core/clock.h"
#include "core/date_time.h"
#include "server/server_feeds.h"
#include "server/program_status.h"
#include "server_test_support.h"

namespace geomuxer::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kFoot = "<hr><address>" + serverSoftware() + "</address></body></html>";

httplib::MultipartFormDataItems form(std::initializer_list<std::pair<std::string, std::string>> fields) {
  httplib::MultipartFormDataItems items;
  for (const auto& [name, value] : fields) items.push_back({name, value, "", ""});
  return items;
}

class PositionServerTest : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override { start(); }

  [[nodiscard]] std::string lastLog() const {
    const auto lines = m_log.lines();
    return lines.empty() ? std::string() : lines.back();
  }
  [[nodiscard]] std::size_t storedCount(std::int64_t client) { return m_database->positionsOfUser(client).size(); }
};

TEST_F(PositionServerTest, DocumentsWithSlashDotAnswer404ForEveryMethod) {
  writeFile(m_dir / "http" / ".hidden", "secret");
  writeFile(m_dir / "http" / "a" / "b", "b");
  for (const std::string document : {"/../x", "/.hidden", "/a/./b"}) {
    SCOPED_TRACE(document);
    const std::string reply = rawExchange(m_server->port(), "GET " + document + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(rawStatus(reply), 404);
    EXPECT_EQ(rawBody(reply), "<html><body><h1>404</h1><p>Object " + document + " not found</p>" + kFoot);
  }
  auto c = client();
  EXPECT_EQ(c.Post("/.test")->status, 404);
  EXPECT_EQ(c.Get("/a/b")->body, "b");  // the same file without the dot step is served
}

TEST_F(PositionServerTest, MethodsAndStatusPages) {
  auto c = client();
  auto head = c.Head("/pos.xml");
  EXPECT_EQ(head->status, 405);
  auto put = c.Put("/pos.xml", "x", "text/plain");
  EXPECT_EQ(put->status, 200);
  EXPECT_EQ(put->body, "");
  EXPECT_EQ(c.Delete("/pos.xml")->status, 200);
  EXPECT_EQ(c.Options("/pos.xml")->status, 200);

  auto test = c.Post("/test");
  EXPECT_EQ(test->status, 200);
  EXPECT_EQ(test->body, "<html><body><h1>200</h1><p>OK</p>" + kFoot);
  auto unknown = c.Post("/unknown?a=1");
  EXPECT_EQ(unknown->status, 404);
  EXPECT_THAT(unknown->body, HasSubstr("Object /unknown?a=1 not found"));

  // Every reply names the server and closes the connection.
  for (const auto* res : {&head.value(), &put.value(), &test.value()}) {
    EXPECT_EQ(res->get_header_value("Server"), serverSoftware());
    EXPECT_EQ(res->get_header_value_count("Server"), 1u);
    EXPECT_EQ(res->get_header_value("Connection"), "close");
  }
  EXPECT_EQ(serverSoftware(), "Geomuxer/1.0.0");
}

TEST_F(PositionServerTest, RoutesAreCaseSensitiveAndOthersAreStaticFiles) {
  auto c = client();
  EXPECT_EQ(c.Get("/POS.XML")->status, 404);
  writeFile(m_dir / "http" / "POS.XML", "a static file");
  auto res = c.Get("/POS.XML");
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "a static file");
  EXPECT_THAT(c.Get("/pos.xml")->body, HasSubstr("<position>"));
}

TEST_F(PositionServerTest, BadOrMissingParametersAnswer404NamingTheQuery) {
  auto c = client();
  auto res = c.Get("/admin/position.xml?id=abc");
  EXPECT_EQ(res->status, 404);
  EXPECT_EQ(res->body, "<html><body><h1>404</h1><p>Object /admin/position.xml?id=abc not found</p>" + kFoot);
  for (const char* target : {"/admin/position.xml", "/admin/position.xml?id=-1", "/admin/position.xml?id=99",
                             "/admin/lastpos.xml", "/admin/lastpos.xml?user=5", "/admin/lastpos.xml?tid=nope",
                             "/admin/clienttrack.gpx", "/admin/lasttrack.gpx?user=x", "/admin/client.xml?id=7",
                             "/admin/clienttracks.xml", "/admin/tracks.xml?user=", "/admin/lasttrack.xml"}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(c.Get(target)->status, 404);
  }
  // The escaped page never carries markup from the address.
  EXPECT_THAT(c.Get("/%3Cscript%3E")->body, Not(HasSubstr("<script>")));
}

TEST_F(PositionServerTest, LogLineFormatAndSwitch) {
  auto c = client();
  ASSERT_EQ(c.Get("/admin/position.xml?id=abc")->status, 404);
  EXPECT_EQ(lastLog(), "HTTP GET: /admin/position.xml?id=abc (404) from 127.0.0.1");
  ASSERT_EQ(c.Get("/pos.xml")->status, 200);
  EXPECT_EQ(lastLog(), "HTTP GET: /pos.xml (200) from 127.0.0.1");

  m_server->setLogRequests(false);
  m_log.clear();
  ASSERT_EQ(c.Get("/pos.xml")->status, 200);
  EXPECT_TRUE(m_log.lines().empty());
}

TEST_F(PositionServerTest, ServerAccountGuardsGetsAndAdministrationButNotIntake) {
  m_config.auth = true;
  m_config.user = "admin";
  m_config.password = "Secret";
  restart();
  const auto client1 = addClient("rover", "pw");

  auto c = client();
  auto res = c.Get("/pos.xml");
  EXPECT_EQ(res->status, 401);
  EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Basic realm=\"Please Login\"");
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/html");
  EXPECT_EQ(res->body, "<html><body><h1>401</h1><p>Unauthorized</p>" + kFoot);
  EXPECT_EQ(c.Get("/")->status, 401);
  EXPECT_TRUE(m_log.lines().empty());  // a refused GET writes nothing

  c.set_basic_auth("admin", "secret");  // case counts
  EXPECT_EQ(c.Get("/pos.xml")->status, 401);
  c.set_basic_auth("admin", "Secret");
  EXPECT_EQ(c.Get("/pos.xml")->status, 200);

  // With an account, administration posts come from the server's own pages.
  const httplib::Headers ownPage{{"Origin", "http://127.0.0.1:" + std::to_string(m_server->port())}};
  auto anonymous = client();
  EXPECT_EQ(anonymous.Post("/admin/addclient", ownPage, form({{"name", "x"}, {"pass", "y"}}))->status, 401);
  EXPECT_EQ(m_database->users().size(), 1u);
  EXPECT_EQ(c.Post("/admin/addclient", ownPage, form({{"name", "x"}, {"pass", "y"}}))->status, 302);
  EXPECT_EQ(m_database->users().size(), 2u);

  auto rover = client();
  rover.set_basic_auth("rover", "pw");
  EXPECT_EQ(rover.Post("/onclientpos", form({{"lat", "1"}, {"lon", "2"}}))->status, 200);
  EXPECT_EQ(storedCount(client1), 1u);
}

TEST_F(PositionServerTest, EmptyServerAccountLetsRequestsWithoutCredentialsPass) {
  m_config.auth = true;
  restart();
  EXPECT_EQ(client().Get("/pos.xml")->status, 200);
}

TEST_F(PositionServerTest, MalformedAuthorizationCountsAsNoCredentials) {
  addClient("rover", "pw");
  m_config.auth = true;
  m_config.user = "admin";
  m_config.password = "pw";
  restart();
  for (const std::string& header :
       std::vector<std::string>{"Basic", "Basic !!!!", "Bearer cm92ZXI6cHc=", "Basic cm92ZXI=", "basic",
                                "Digest username=\"rover\"", std::string(6000, 'B')}) {
    SCOPED_TRACE(header.substr(0, 40));
    const auto reply = rawExchange(m_server->port(), "GET /pos.xml HTTP/1.1\r\nHost: x\r\nAuthorization: " +
                                                         header + "\r\n\r\n");
    EXPECT_EQ(rawStatus(reply), 401);
  }
  // The scheme is not case-sensitive.
  const auto reply = rawExchange(m_server->port(),
                                 "GET /pos.xml HTTP/1.1\r\nHost: x\r\nAuthorization: bAsIc YWRtaW46cHc=\r\n\r\n");
  EXPECT_EQ(rawStatus(reply), 200);
}

// --- static files ----------------------------------------------------------------------------

TEST_F(PositionServerTest, StaticFilesFromTheWebRoot) {
  writeFile(m_dir / "http" / "admin" / "index.html", "<html>admin</html>");
  writeFile(m_dir / "http" / "style.css", "body{}");
  writeFile(m_dir / "http" / "data.bin", std::string(200000, 'x'));
  auto c = client();
  auto root = c.Get("/");
  EXPECT_EQ(root->status, 200);
  EXPECT_EQ(root->body, "<html>root</html>");
  EXPECT_EQ(root->get_header_value("Content-Type"), "text/html");
  EXPECT_EQ(c.Get("/admin/")->body, "<html>admin</html>");
  EXPECT_EQ(c.Get("/style.css")->get_header_value("Content-Type"), "text/css");
  auto big = c.Get("/data.bin");
  EXPECT_EQ(big->body.size(), 200000u);
  EXPECT_EQ(big->get_header_value("Content-Type"), "application/octet-stream");
  EXPECT_EQ(c.Get("/admin")->status, 404);  // a folder is not a file
  EXPECT_EQ(c.Get("/missing.html")->status, 404);
}

TEST_F(PositionServerTest, NothingOutsideTheWebRootOrHiddenIsServed) {
  writeFile(m_dir / "secret.txt", "outside");
  writeFile(m_dir / "http" / "sub" / "page.txt", "inside");
  writeFile(m_dir / "http" / "sub" / ".git" / "config", "hidden");
  std::filesystem::create_symlink(m_dir / "secret.txt", m_dir / "http" / "link.txt");
  std::filesystem::create_symlink(m_dir.path(), m_dir / "http" / "up");
  std::filesystem::create_symlink(m_dir / "http" / "sub" / "page.txt", m_dir / "http" / "inner.txt");
  std::filesystem::create_symlink(m_dir / "http" / "sub" / ".git" / "config", m_dir / "http" / "cfg.txt");

  for (const std::string target :
       {"/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt", "/sub/..%2f..%2fsecret.txt",
        "/sub\\..\\..\\secret.txt", "/sub%5c..%5c..%5csecret.txt", "\\..\\secret.txt", "/link.txt",
        "/up/secret.txt", "/sub/.git/config", "/sub%2f.git%2fconfig", "/cfg.txt", "/sub/page.txt%00.html",
        "//etc/passwd", "/sub/../../secret.txt"}) {
    SCOPED_TRACE(target);
    const auto reply = rawExchange(m_server->port(), "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(rawStatus(reply), 200);
    EXPECT_THAT(reply, Not(HasSubstr("outside")));
    EXPECT_THAT(reply, Not(HasSubstr("hidden")));
  }
  auto c = client();
  EXPECT_EQ(c.Get("/inner.txt")->body, "inside");  // a link that stays inside is fine
  EXPECT_EQ(c.Get("/sub/page.txt")->body, "inside");
}

// --- intake ----------------------------------------------------------------------------------

TEST_F(PositionServerTest, IntakeStoresPresentFieldsOnly) {
  const auto id = addClient("rover", "pw");
  auto c = client();
  c.set_basic_auth("rover", "pw");
  auto res = c.Post("/onclientpos", form({{"datetime", "2024-05-01T10:20:30Z"},
                                          {"lat", "47.123"},
                                          {"lon", "11.5"},
                                          {"trackid", "t1"},
                                          {"user", "ignored"}}));
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "<html><body><h1>200</h1><p>OK</p>" + kFoot);
  auto byId = [this, id] {
    auto rows = m_database->positionsOfUser(id);
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    return rows;
  };
  auto stored = byId();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].datetime, "2024-05-01 10:20:30");
  EXPECT_EQ(stored[0].lat, static_cast<double>(47.123f));  // single precision on the way in
  EXPECT_EQ(stored[0].lon, 11.5);
  EXPECT_EQ(stored[0].trackId, "t1");
  EXPECT_FALSE(stored[0].prec || stored[0].alt || stored[0].altPrec || stored[0].heading || stored[0].speed ||
               stored[0].vertSpeed || stored[0].geoidHeight || stored[0].depth || stored[0].magVar || stored[0].sat);
  EXPECT_FALSE(stored[0].comment);

  ASSERT_EQ(c.Post("/onclientpos", form({{"datetime", "2024-05-01T12:20:30+02:00"}, {"lat", "1"}, {"lon", "2"},
                                         {"prec", "3.5"}, {"alt", "500"}, {"altprec", "4"}, {"heading", "90"},
                                         {"speed", "42"}, {"vspeed", "-1.5"}, {"geoidheight", "47"},
                                         {"depth", "0"}, {"magvar", "2"}, {"satellites", "8"},
                                         {"comment", ""}, {"trackid", "t2"}}))
                ->status,
            200);
  ASSERT_EQ(c.Post("/onclientpos", form({{"datetime", "2024-05-01T10:20:30"}, {"lat", "1"}, {"lon", "2"},
                                         {"comment", "hello"}}))
                ->status,
            200);
  stored = byId();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[1].datetime, "2024-05-01 10:20:30");
  EXPECT_EQ(stored[1].prec, 3.5);
  EXPECT_EQ(stored[1].vertSpeed, -1.5);
  EXPECT_EQ(stored[1].depth, 0.0);
  EXPECT_EQ(stored[1].sat, 8);
  EXPECT_FALSE(stored[1].comment);  // present but empty
  EXPECT_EQ(stored[2].datetime, "1899-12-30 00:00:00");  // no zone: no date
  EXPECT_EQ(stored[2].comment, "hello");
  EXPECT_EQ(stored[2].trackId, "");
}

TEST_F(PositionServerTest, RefusedIntakeStoresNothingAndLogs200) {
  const auto id = addClient("rover", "pw");
  for (const auto& [user, password] : std::vector<std::pair<std::string, std::string>>{
           {"rover", "PW"}, {"nobody", "pw"}, {"", ""}}) {
    auto c = client();
    if (!user.empty()) c.set_basic_auth(user, password);
    m_log.clear();
    auto res = c.Post("/onclientpos", form({{"lat", "1"}, {"lon", "2"}}));
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Basic realm=\"Please Login\"");
    EXPECT_EQ(lastLog(), "HTTP POST: /onclientpos (200) from 127.0.0.1");
  }
  EXPECT_EQ(storedCount(id), 0u);
}

TEST_F(PositionServerTest, BadNumbersAnswer500WithTheErrorAndStoreNothing) {
  const auto id = addClient("rover", "pw");
  auto c = client();
  c.set_basic_auth("rover", "pw");
  struct Case {
    const char* name;
    httplib::MultipartFormDataItems items;
    const char* message;
  };
  const Case cases[] = {
      {"fraction in satellites", form({{"lat", "1"}, {"lon", "2"}, {"satellites", "7.5"}}), "'7.5'"},
      {"comma in speed", form({{"lat", "1"}, {"lon", "2"}, {"speed", "4,5"}}), "'4,5'"},
      {"missing lat", form({{"lon", "2"}}), "''"},
      {"latitude off the globe", form({{"lat", "91"}, {"lon", "2"}}), "'91'"},
      {"beyond single precision", form({{"lat", "1"}, {"lon", "2"}, {"alt", "1e39"}}), "'1e39'"},
  };
  m_log.clear();
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto res = c.Post("/onclientpos", tc.items);
    EXPECT_EQ(res->status, 500);
    EXPECT_THAT(res->body, HasSubstr(tc.message));
  }
  // A body that is no multipart form has no "lat".
  EXPECT_EQ(c.Post("/onclientpos", "lat=1&lon=2", "application/x-www-form-urlencoded")->status, 500);
  EXPECT_EQ(storedCount(id), 0u);
  EXPECT_TRUE(m_log.lines().empty());  // a failed request writes no log line
}

TEST_F(PositionServerTest, PositionsThatAreNotStoredAnswer503WithRetryAfter) {
  const auto id = addClient("rover", "pw");
  auto c = client();
  c.set_basic_auth("rover", "pw");
  struct Fault {
    const char* name;
    const char* cause;  // run on a second connection, held while the post is made
    const char* logged;
  };
  const Fault faults[] = {
      {"locked by another writer", "BEGIN EXCLUSIVE", "locked"},
      {"refused by the file", "CREATE TRIGGER refuse BEFORE INSERT ON positions BEGIN SELECT RAISE(ABORT, 'disk says no'); END",
       "disk says no"},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    SqliteDatabase other((m_dir / "geomuxer.db").string());
    other.execute(fault.cause);
    m_log.clear();
    auto res = c.Post("/onclientpos", form({{"lat", "1"}, {"lon", "2"}}));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503);
    EXPECT_EQ(res->get_header_value("Retry-After"), "30");
    const auto lines = m_log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], ::testing::StartsWith("SQL ERROR: "));
    EXPECT_THAT(lines[0], HasSubstr(fault.logged));
    EXPECT_EQ(lines[1], "HTTP POST: /onclientpos (503) from 127.0.0.1");
    EXPECT_EQ(storedCount(id), 0u);
  }
}

// A database file the program may not write (another user's, a read-only copy): it opens, its
// rows are served, each post is answered 503 and the file keeps what it held.
TEST(PositionServerOnReadOnlyFile, PostsAnswer503AndStoredRowsStay) {
  TempDir dir;
  const auto file = dir / "geomuxer.db";
  const auto data = std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data";
  {
    SqliteStore db(file, data);
    UserFields user;
    user.name = "rover";
    user.passwordHash = hashPassword("pw");
    PositionInfo p;
    p.y = 1;
    p.x = 2;
    db.storePosition(db.addUser(user), p, "", "t1");
  }
  namespace fs = std::filesystem;
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(dir.path(), fs::perms::all);  // the log and index files may be made beside it
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {  // as another user, so that the file's mode binds even when the tests run as root
    close(out[0]);
    std::string report;
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      report = "cannot drop privileges";
    } else {
      try {
        SqliteStore db(file, data);
        CurrentPosition current;
        LogRecorder log;
        PositionServer server(current, &db, [&log](const std::string& line) { log.add(line); });
        PositionServerConfig config;
        config.port = 0;
        config.bindAddress = "127.0.0.1";
        config.webRoot = dir.path();
        config.logRequests = true;
        server.setConfig(config);
        server.start();
        httplib::Client c("127.0.0.1", server.port());
        c.set_read_timeout(10, 0);
        c.set_basic_auth("rover", "pw");
        auto post = c.Post("/onclientpos", form({{"lat", "3"}, {"lon", "4"}, {"trackid", "t1"}}));
        auto feed = c.Get("/admin/clienttracks.xml?user=1");
        server.stop();
        report = post ? std::to_string(post->status) + " " + post->get_header_value("Retry-After") : "no reply";
        report += feed && feed->status == 200 && feed->body.find("t1") != std::string::npos ? " feed" : " no feed";
        for (const auto& line : log.lines()) report += "\n" + line;
      } catch (const std::exception& e) {
        report = e.what();
      }
    }
    (void)!write(out[1], report.data(), report.size());
    _exit(0);
  }
  close(out[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
  EXPECT_THAT(report, ::testing::StartsWith("503 30 feed\nSQL ERROR: "));
  EXPECT_THAT(report, HasSubstr("readonly database"));
  EXPECT_THAT(report, HasSubstr("HTTP POST: /onclientpos (503) from 127.0.0.1"));
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  SqliteStore db(file, data);
  const auto rows = db.positionsOfUser(1);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].lat, 1.0);
  EXPECT_EQ(rows[0].trackId, "t1");
}

// --- administration --------------------------------------------------------------------------

TEST_F(PositionServerTest, AdministrationChangesClientsAndRedirects) {
  auto c = client();
  auto res = c.Post("/admin/addclient", form({{"name", "rover"}, {"pass", "pw"}, {"color", "red"},
                                              {"firstname", "Ann"}}));
  EXPECT_EQ(res->status, 302);
  EXPECT_EQ(res->get_header_value("Location"), "/admin/");
  auto users = m_database->users();
  ASSERT_EQ(users.size(), 1u);
  const auto id = users[0].id;
  EXPECT_EQ(users[0].firstName, "Ann");
  EXPECT_FALSE(users[0].email);
  EXPECT_EQ(m_database->checkLogin("rover", "pw"), id);

  // An empty password keeps the stored one.
  ASSERT_EQ(c.Post("/admin/editclient", form({{"id", std::to_string(id)}, {"name", "rover2"}, {"pass", ""}}))->status,
            302);
  EXPECT_EQ(m_database->checkLogin("rover2", "pw"), id);
  EXPECT_FALSE(m_database->user(id)->firstName);  // absent fields are cleared

  // The same name twice breaks the schema's constraint: the error page instead of the redirect.
  m_log.clear();
  res = c.Post("/admin/addclient", form({{"name", "rover2"}, {"pass", ""}}));
  EXPECT_EQ(res->status, 200);
  EXPECT_THAT(res->body, ::testing::StartsWith("<html><body><h1>SQL Error</h1><p>"));
  EXPECT_THAT(res->body, Not(HasSubstr("</html>")));
  ASSERT_FALSE(m_log.lines().empty());
  EXPECT_THAT(m_log.lines().front(), ::testing::StartsWith("SQL ERROR: "));

  // An empty password on add is the digest of the empty text.
  ASSERT_EQ(c.Post("/admin/addclient", form({{"name", "blank"}}))->status, 302);
  EXPECT_NE(m_database->checkLogin("blank", ""), -1);
}

TEST_F(PositionServerTest, DeletingClientsAndTracks) {
  const auto keep = addClient("keep", "pw");
  const auto drop = addClient("drop", "pw");
  PositionInfo p;
  p.fields = {defTime, defXY};
  m_database->storePosition(keep, p, "", "a");
  m_database->storePosition(keep, p, "", "b");
  m_database->storePosition(drop, p, "", "c");
  auto c = client();

  EXPECT_EQ(c.Post("/admin/deletetrack", form({{"id", "a"}}))->status, 302);
  EXPECT_EQ(storedCount(keep), 1u);
  EXPECT_EQ(c.Post("/admin/deleteclient", form({{"id", std::to_string(keep)}}))->status, 302);
  EXPECT_EQ(storedCount(keep), 1u);  // positions stay without "deltracks"
  EXPECT_EQ(c.Post("/admin/deleteclient", form({{"id", std::to_string(drop)}, {"deltracks", "x"}}))->status, 302);
  EXPECT_EQ(storedCount(drop), 0u);
  EXPECT_TRUE(m_database->users().empty());
  EXPECT_EQ(c.Post("/admin/deleteclient", form({{"id", "12345"}}))->status, 302);  // no such id: fine
}

TEST(PositionServerWithoutDatabase, FeedsAnswer404AdministrationEmpty200IntakeUnavailable) {
  ServerFixture f(false);
  f.start();
  auto c = f.client();
  EXPECT_EQ(c.Get("/pos.xml")->status, 200);
  EXPECT_EQ(c.Get("/admin/clients.xml")->status, 404);
  EXPECT_EQ(c.Get("/admin/tracks.xml?user=1")->status, 404);
  auto admin = c.Post("/admin/addclient", form({{"name", "x"}}));
  EXPECT_EQ(admin->status, 200);
  EXPECT_EQ(admin->body, "");
  c.set_basic_auth("x", "y");
  auto intake = c.Post("/onclientpos", form({{"lat", "1"}, {"lon", "2"}}));
  EXPECT_EQ(intake->status, 503);  // kept by the poster until a store is open
  EXPECT_EQ(intake->get_header_value("Retry-After"), "30");
}

// --- feeds over HTTP -------------------------------------------------------------------------

TEST_F(PositionServerTest, CurrentPositionFeeds) {
  auto c = client();
  auto res = c.Get("/pos.xml");
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/xml");
  EXPECT_EQ(res->body,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<position>\r\n"
            "  <datetime>1899-12-30T00:00:00Z</datetime>\r\n  <lat>0</lat>\r\n  <lon>0</lon>\r\n</position>\r\n");

  PositionInfo p;
  p.time = *makeDateTime({2024, 5, 1, 10, 20, 30, 0});
  p.y = 47.123f;
  p.x = 11.5f;
  p.altitude = 1500.0f;
  p.satellites = 7;
  p.fields = {defTime, defXY, defAltitude, defSatellites};
  m_current.publish(p);
  m_current.setDisplayFormat(DisplayFormat{DistUnit::metric, PosUnit::decimalDegree, NumberFormat{",", "."}});
  res = c.Get("/pos.xml");
  EXPECT_THAT(res->body, HasSubstr("<datetime>2024-05-01T10:20:30Z</datetime>\r\n  <lat>47.1230010986328</lat>\r\n"
                                   "  <lon>11.5</lon>\r\n  <alt>1500</alt>\r\n  <satellites>7</satellites>\r\n"));
  res = c.Get("/postext.xml");
  EXPECT_THAT(res->body, HasSubstr("<latlon>"));
  EXPECT_THAT(res->body, HasSubstr("<alt>1.5"));  // kilometres, with a '.' whatever the user's separator
  EXPECT_THAT(res->body, HasSubstr("<satellites>7</satellites>"));
}

TEST_F(PositionServerTest, GpxExportsAndAttachments) {
  const auto id = addClient("rover", "pw");
  PositionInfo p;
  p.y = 11.5f;
  p.x = 8.25f;
  p.fields = {defTime, defXY};
  m_database->storePosition(id, p, "first", "t1");
  auto c = client();
  const std::string user = std::to_string(id);

  auto res = c.Get("/admin/lasttrack.gpx?user=" + user + "&att=yes");
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/xml");
  EXPECT_EQ(res->get_header_value("Content-Disposition"), "attachment; filename=\"lasttrack.gpx\"");
  EXPECT_THAT(res->body, HasSubstr("<trkpt lat=\"11.5000000\" lon=\"8.2500000\">"));
  EXPECT_FALSE(c.Get("/admin/lasttrack.gpx?user=" + user + "&att=no")->has_header("Content-Disposition"));
  EXPECT_FALSE(c.Get("/admin/lasttrack.gpx?user=" + user)->has_header("Content-Disposition"));
  EXPECT_EQ(c.Get("/admin/clienttrack.gpx?id=t1&ATT=1")->get_header_value("Content-Disposition"),
            "attachment; filename=\"clienttrack.gpx\"");
  // A track without rows is still a document.
  res = c.Get("/admin/clienttrack.gpx?id=none");
  EXPECT_EQ(res->status, 200);
  EXPECT_THAT(res->body, Not(HasSubstr("<trk>")));
}

TEST_F(PositionServerTest, AdministrationFeedsOverHttp) {
  const auto id = addClient("rover", "pw");
  PositionInfo p;
  p.fields = {defTime, defXY};
  const auto row = m_database->storePosition(id, p, "", "t1");
  auto c = client();
  EXPECT_THAT(c.Get("/admin/clients.xml")->body, HasSubstr("<name>rover</name>"));
  EXPECT_THAT(c.Get("/admin/client.xml?id=" + std::to_string(id))->body, HasSubstr("<client>"));
  EXPECT_THAT(c.Get("/admin/position.xml?id=" + std::to_string(row))->body, HasSubstr("<id>" + std::to_string(row)));
  EXPECT_EQ(c.Get("/admin/lastpos.xml?tid=t1")->status, 200);
  EXPECT_EQ(c.Get("/admin/lastpos.xml?user=" + std::to_string(id))->status, 200);
  EXPECT_THAT(c.Get("/admin/clienttracks.xml?user=" + std::to_string(id))->body, HasSubstr("<trackid>t1</trackid>"));
  EXPECT_THAT(c.Get("/admin/tracks.xml?user=" + std::to_string(id))->body, HasSubstr("<pos>"));
  auto empty = c.Get("/admin/lasttrack.xml?user=5");
  EXPECT_EQ(empty->status, 200);
  EXPECT_THAT(empty->body, HasSubstr("<track user=\"5\"/>"));
  // Parameter names match without regard to case; the first one wins.
  EXPECT_EQ(c.Get("/admin/client.xml?ID=" + std::to_string(id) + "&id=999")->status, 200);
}

TEST_F(PositionServerTest, FeedReadErrorsAnswer500) {
  {
    SqliteDatabase raw((m_dir / "geomuxer.db").string());
    raw.execute("DROP TABLE users");
  }
  auto res = client().Get("/admin/clients.xml");
  EXPECT_EQ(res->status, 500);
  EXPECT_THAT(res->body, HasSubstr("users"));
}

// --- bad input -------------------------------------------------------------------------------

TEST_F(PositionServerTest, MalformedRequestsAreRefusedAndTheServerCarriesOn) {
  const auto id = addClient("rover", "pw");
  m_config.bodyTimeout = std::chrono::seconds(1);  // for the body that never comes
  restart();
  const int port = m_server->port();
  EXPECT_EQ(rawStatus(rawExchange(port, "GARBAGE\r\n\r\n")), 400);
  EXPECT_EQ(rawStatus(rawExchange(port, "GET\r\n\r\n")), 400);
  EXPECT_EQ(rawStatus(rawExchange(port, "BREW /pot HTTP/1.1\r\n\r\n")), 400);
  EXPECT_EQ(rawStatus(rawExchange(port, "GET /" + std::string(10000, 'a') + " HTTP/1.1\r\n\r\n")), 414);
  EXPECT_EQ(rawExchange(port, std::string("\0\x01\x02\xff\r\n\r\n", 8)).empty(), false);
  rawExchange(port, "POST /onclientpos HTTP/1.1\r\nContent-Length: 100\r\n\r\nshort");  // body cut off

  // Broken multipart bodies store nothing.
  const std::string credentials = "Authorization: Basic cm92ZXI6cHc=\r\n";
  for (const std::string& body : {std::string("--b\r\nContent-Disposition: form-data; name=\"lat\"\r\n\r\n1"),
                                 std::string("--b\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: "
                                             "form-data; name=\"lat\"\r\n\r\n!!!\r\n--b--\r\n"),
                                 std::string("no boundary here")}) {
    const auto reply = rawExchange(port, "POST /onclientpos HTTP/1.1\r\nHost: x\r\n" + credentials +
                                             "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: " +
                                             std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(rawStatus(reply), 500);
  }
  EXPECT_EQ(storedCount(id), 0u);
  EXPECT_EQ(client().Get("/pos.xml")->status, 200);
}

TEST_F(PositionServerTest, OversizedBodiesAreRefused) {
  const auto id = addClient("rover", "pw");
  m_config.limits.maxBody = 4096;
  restart();
  auto c = client();
  c.set_basic_auth("rover", "pw");
  auto res = c.Post("/onclientpos", form({{"lat", "1"}, {"lon", "2"}, {"comment", std::string(8000, 'c')}}));
  EXPECT_EQ(res->status, 413);
  EXPECT_EQ(storedCount(id), 0u);
  EXPECT_EQ(c.Post("/onclientpos", form({{"lat", "1"}, {"lon", "2"}}))->status, 200);
}

TEST_F(PositionServerTest, IdleConnectionsDoNotStallOthers) {
  // Far more silent connections than ready workers, and a read time-out longer than the client's:
  // a stalled request fails instead of waiting.
  m_config.workers = 2;
  m_config.headerTimeout = std::chrono::seconds(30);
  restart();
  std::vector<std::unique_ptr<RawSocket>> idle;
  for (int i = 0; i < 24; ++i) {
    idle.push_back(std::make_unique<RawSocket>(m_server->port()));
    ASSERT_TRUE(idle.back()->connected());
  }
  idle.front()->send("GET /pos.xml HTTP/1.1\r\n");  // half a request
  httplib::Client c("127.0.0.1", m_server->port());
  c.set_read_timeout(5, 0);
  c.set_connection_timeout(5, 0);
  for (int i = 0; i < 5; ++i) {
    auto res = c.Get("/pos.xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
  }
  idle.clear();
}

TEST_F(PositionServerTest, ConcurrentIntakeAndFeeds) {
  const auto id = addClient("rover", "pw");
  constexpr int kThreads = 4;
  constexpr int kPosts = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      auto c = client();
      c.set_basic_auth("rover", "pw");
      for (int i = 0; i < kPosts; ++i) {
        c.Post("/onclientpos", form({{"lat", "1"}, {"lon", "2"}, {"trackid", "t" + std::to_string(t)}}));
        c.Get("/admin/tracks.xml?user=1");
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(storedCount(id), static_cast<std::size_t>(kThreads * kPosts));
}

TEST_F(PositionServerTest, LifecycleAndServerUrl) {
  EXPECT_TRUE(m_server->running());
  const int port = m_server->port();
  EXPECT_GT(port, 0);
  const std::string url = m_server->serverUrl();
  if (!url.empty()) {
    EXPECT_THAT(url, ::testing::MatchesRegex("http://[0-9.]+:" + std::to_string(port) + "/|http://localhost:[0-9]+/"));
  }
  m_server->start();  // already running: nothing happens
  m_server->stop();
  EXPECT_FALSE(m_server->running());
  EXPECT_FALSE(client().Get("/pos.xml"));

  // A port in use is a clear error.
  PositionServer other(m_current, nullptr, {});
  m_config.port = 0;
  start();
  PositionServerConfig busy = m_config;
  busy.port = m_server->port();
  other.setConfig(busy);
  try {
    other.start();
    FAIL() << "bound a port in use";
  } catch (const ServerError& e) {
    EXPECT_THAT(e.what(), HasSubstr(std::to_string(busy.port)));
  }
  EXPECT_FALSE(other.running());
}


TEST_F(PositionServerTest, StatusJsonShowsThePublishedStatusWithTheAgeOfTheLastByte) {
  auto c = client();
  const std::string stopped =
      R"({"source":"","state":"stopped","lastPositionTime":null,"lastByteAgeSeconds":null,"epochs":0,)"
      R"("droppedLines":0,"reconnects":0,"broadcastClients":0,"lastError":null})"
      "\n";
  EXPECT_EQ(c.Get("/status.json")->body, stopped);  // no board

  FixedClock clock(Clock::TimePoint(std::chrono::seconds(100)));
  StatusBoard board(clock);
  ProgramStatus status;
  status.source = "M\xc3\xa2t \"north\"\nCOM3";
  status.state = "receiving, fix";
  status.lastPositionMs = toUnixMillis(*makeDateTime({2026, 12, 9, 8, 0, 1, 250}));
  status.lastByteMs = 98'000;
  status.epochs = 12;
  status.droppedLines = 3;
  status.reconnects = 1;
  status.broadcastClients = 2;
  status.lastError = "bad \\ line\t\x01";
  board.publish(status);
  m_server->setStatusBoard(&board);  // at once, while running

  auto res = c.Get("/status.json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
  EXPECT_EQ(res->body,
            R"({"source":"M)" "\xc3\xa2" R"(t \"north\"\nCOM3","state":"receiving, fix",)"
            R"("lastPositionTime":"2026-12-09T08:00:01.250Z","lastByteAgeSeconds":2.0,"epochs":12,)"
            R"("droppedLines":3,"reconnects":1,"broadcastClients":2,"lastError":"bad \\ line\t\u0001"})"
            "\n");

  // A real parser reads the escaped strings back as they were published.
  if (haveProgram("jq")) {
    const auto file = m_dir / "status.json";
    writeFile(file, res->body);
    EXPECT_EQ(runCommand("jq -j .source " + file.string()), status.source);
    EXPECT_EQ(runCommand("jq -j .lastError " + file.string()), status.lastError);
  }

  // The age is computed on each request, and the board survives a restart.
  clock.set(Clock::TimePoint(std::chrono::milliseconds(111'349)));
  restart();
  auto after = client();
  EXPECT_THAT(after.Get("/status.json")->body, HasSubstr(R"("lastByteAgeSeconds":13.3,)"));

  m_server->setStatusBoard(nullptr);
  EXPECT_EQ(after.Get("/status.json")->body, stopped);
}

}  // namespace
}  // namespace geomuxer::test
