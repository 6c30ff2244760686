// Who may administer the position server: only this computer while no account is set, only the
// server's own pages with one, and a slow-down for guessed passwords. "Remote" clients connect
// to this machine's own non-loopback address.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>

#include "server_test_support.h"

namespace geomuxer::test {
namespace {

using ::testing::HasSubstr;

/// The first non-loopback IPv4 address of an interface that is up; empty when there is none.
std::string ownNonLoopbackAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  std::string found;
  for (const ifaddrs* a = list; a != nullptr && found.empty(); a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || (a->ifa_flags & IFF_UP) == 0 ||
        (a->ifa_flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text)) found = text;
  }
  ::freeifaddrs(list);
  return found;
}

std::string adminPost(const std::string& extraHeaders, const std::string& name) {
  const std::string body = "--b\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n" + name + "\r\n--b--\r\n";
  return "POST /admin/addclient HTTP/1.1\r\nHost: geo.example:8087\r\n" + extraHeaders +
         "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

class AdminAccessTest : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override {
    m_remote = ownNonLoopbackAddress();
    m_config.bindAddress = "0.0.0.0";
  }

  /// A client on the non-loopback address.
  [[nodiscard]] httplib::Client remoteClient() const {
    httplib::Client c(m_remote, m_server->port());
    c.set_read_timeout(10, 0);
    return c;
  }

  std::string m_remote;
};

TEST_F(AdminAccessTest, WithoutAnAccountOnlyThisComputerAdministers) {
  if (m_remote.empty()) GTEST_SKIP() << "this machine has no non-loopback IPv4 address";
  start();
  addClient("rover", "pw");
  auto remote = remoteClient();
  for (const char* page : {"/admin/", "/admin/clients.xml", "/admin/tracks.xml?user=1"}) {
    SCOPED_TRACE(page);
    auto res = remote.Get(page);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_THAT(res->body, HasSubstr("set a user name and password"));
    EXPECT_THAT(res->body, HasSubstr("http\\auth"));
    EXPECT_THAT(res->body, ::testing::Not(HasSubstr("rover")));
  }
  httplib::MultipartFormDataItems items{{"name", "mallory", "", ""}};
  EXPECT_EQ(remote.Post("/admin/addclient", items)->status, 403);
  EXPECT_EQ(remote.Post("/admin/deleteclient", httplib::MultipartFormDataItems{{"id", "1", "", ""}})->status, 403);
  EXPECT_EQ(m_database->users().size(), 1u);
  // The public pages and the intake stay open to everyone.
  EXPECT_EQ(remote.Get("/pos.xml")->status, 200);
  remote.set_basic_auth("rover", "pw");
  EXPECT_EQ(remote.Post("/onclientpos", httplib::MultipartFormDataItems{{"lat", "1", "", ""}, {"lon", "2", "", ""}})
                ->status,
            200);
  // This computer administers as before.
  EXPECT_EQ(client().Get("/admin/clients.xml")->status, 200);

  // With an account set, the remote administrator logs in like anyone.
  m_config.auth = true;
  m_config.user = "admin";
  m_config.password = "Secret";
  restart();
  auto admin = remoteClient();
  admin.set_basic_auth("admin", "Secret");
  EXPECT_EQ(admin.Get("/admin/clients.xml")->status, 200);
}

TEST_F(AdminAccessTest, WithAnAccountPostsMustComeFromTheServersOwnPages) {
  m_config.auth = true;
  m_config.user = "admin";
  m_config.password = "Secret";
  start();
  const std::string login = "Authorization: Basic YWRtaW46U2VjcmV0\r\n";
  const int port = m_server->port();
  struct Case {
    std::string headers;
    int status;
  };
  const Case cases[] = {
      {"", 403},
      {"Origin: http://evil.example\r\n", 403},
      {"Origin: null\r\n", 403},
      {"Referer: http://evil.example/geo.example:8087/\r\n", 403},
      {"Origin: http://geo.example:8087.evil.example\r\n", 403},
      {"Origin: http://geo.example:8087\r\n", 302},
      {"Referer: https://GEO.example:8087/admin/\r\n", 302},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers);
    const std::string reply = rawExchange(port, adminPost(login + c.headers, "client" + std::to_string(++n)));
    EXPECT_EQ(rawStatus(reply), c.status);
    if (c.status == 403) {
      EXPECT_THAT(reply, HasSubstr("own pages"));
    }
  }
  EXPECT_EQ(m_database->users().size(), 2u);  // only the posts from the server's pages
  // Reading needs no Origin.
  EXPECT_EQ(rawStatus(rawExchange(port, "GET /admin/clients.xml HTTP/1.1\r\n" + login + "\r\n")), 200);
}

TEST_F(AdminAccessTest, TheSixthFailedLoginInAMinuteGets429) {
  m_config.auth = true;
  m_config.user = "admin";
  m_config.password = "Secret";
  start();
  addClient("rover", "pw");
  auto guesser = client();
  guesser.set_basic_auth("admin", "guess");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(guesser.Get("/admin/clients.xml")->status, 401);
  // Refused client logins at the intake count as well.
  auto rover = client();
  rover.set_basic_auth("rover", "wrong");
  httplib::MultipartFormDataItems position{{"lat", "1", "", ""}, {"lon", "2", "", ""}};
  EXPECT_EQ(rover.Post("/onclientpos", position)->status, 401);
  EXPECT_EQ(guesser.Get("/pos.xml")->status, 401);
  // No credentials is no login: a browser's first request is never held against it.
  EXPECT_EQ(client().Get("/pos.xml")->status, 401);

  auto res = guesser.Get("/pos.xml");
  EXPECT_EQ(res->status, 429);
  const int retry = std::atoi(res->get_header_value("Retry-After").c_str());
  EXPECT_GT(retry, 0);
  EXPECT_LE(retry, 60);
  // The right password does not help while the address is held back, nor does the intake.
  auto admin = client();
  admin.set_basic_auth("admin", "Secret");
  EXPECT_EQ(admin.Get("/pos.xml")->status, 429);
  rover.set_basic_auth("rover", "pw");
  EXPECT_EQ(rover.Post("/onclientpos", position)->status, 429);

  // Another address is not affected.
  if (!m_remote.empty()) {
    auto remote = remoteClient();
    remote.set_basic_auth("admin", "Secret");
    EXPECT_EQ(remote.Get("/pos.xml")->status, 200);
  }
}

}  // namespace
}  // namespace geomuxer::test
