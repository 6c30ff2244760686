// The position server over TLS with certificates made by the test.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "server_test_support.h"

namespace geomuxer::test {
namespace {

using ::testing::HasSubstr;

struct Credentials {
  std::string certPem;
  std::string keyPem;
};

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

/// A fresh self-signed P-256 certificate.
Credentials selfSigned(const std::string& commonName) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  BIO* certBio = BIO_new(BIO_s_mem());
  BIO* keyBio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(certBio, cert);
  PEM_write_bio_PrivateKey(keyBio, key, nullptr, nullptr, 0, nullptr, nullptr);
  Credentials out{bioText(certBio), bioText(keyBio)};
  BIO_free(certBio);
  BIO_free(keyBio);
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

class TlsServerTest : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override {
    m_server_creds = selfSigned("geomuxer-test");
    writeFile(m_dir / "server.crt", m_server_creds.certPem);
    writeFile(m_dir / "server.key", m_server_creds.keyPem);
    m_config.useTls = true;
    m_config.certFile = m_dir / "server.crt";
    m_config.keyFile = m_dir / "server.key";
  }

  [[nodiscard]] std::unique_ptr<httplib::SSLClient> tlsClient() const {
    auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", m_server->port());
    c->enable_server_certificate_verification(false);
    c->set_read_timeout(10, 0);
    return c;
  }

  Credentials m_server_creds;
};

TEST_F(TlsServerTest, ServesOverTlsAndAsksForAnOptionalClientCertificate) {
  start();  // the root certificate defaults to the certificate file
  EXPECT_THAT(m_server->serverUrl(), ::testing::AnyOf(::testing::StartsWith("https://"), ::testing::IsEmpty()));

  auto anonymous = tlsClient();
  auto res = anonymous->Get("/pos.xml");
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 200);
  EXPECT_THAT(res->body, HasSubstr("<position>"));

  // A client certificate the root vouches for passes; one nobody vouches for is refused.
  httplib::SSLClient trusted("127.0.0.1", m_server->port(), (m_dir / "server.crt").string(),
                             (m_dir / "server.key").string());
  trusted.enable_server_certificate_verification(false);
  auto trustedRes = trusted.Get("/pos.xml");
  ASSERT_TRUE(trustedRes) << httplib::to_string(trustedRes.error());
  EXPECT_EQ(trustedRes->status, 200);

  const Credentials stranger = selfSigned("stranger");
  writeFile(m_dir / "stranger.crt", stranger.certPem);
  writeFile(m_dir / "stranger.key", stranger.keyPem);
  httplib::SSLClient refused("127.0.0.1", m_server->port(), (m_dir / "stranger.crt").string(),
                             (m_dir / "stranger.key").string());
  refused.enable_server_certificate_verification(false);
  EXPECT_FALSE(refused.Get("/pos.xml"));

  // Plain HTTP on the TLS port gets nothing useful and does not stop the server.
  EXPECT_NE(rawStatus(rawExchange(m_server->port(), "GET /pos.xml HTTP/1.1\r\n\r\n")), 200);
  EXPECT_EQ(anonymous->Get("/pos.xml")->status, 200);
}

TEST_F(TlsServerTest, OldProtocolVersionsAreRefused) {
  start();
  auto c = tlsClient();
  SSL_CTX* ctx = c->ssl_context();
  SSL_CTX_set_security_level(ctx, 0);  // let the client offer what the server must refuse
  SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_1_VERSION);
  EXPECT_FALSE(c->Get("/pos.xml"));
}

TEST_F(TlsServerTest, MissingOrBadFilesAreClearErrors) {
  struct Case {
    const char* name;
    std::function<void(PositionServerConfig&)> change;
    const char* message;
  };
  writeFile(m_dir / "garbage.pem", "not a certificate");
  const Credentials other = selfSigned("other");
  writeFile(m_dir / "other.key", other.keyPem);
  const Case cases[] = {
      {"no certificate set", [](auto& c) { c.certFile.clear(); }, "No certificate file"},
      {"missing certificate", [this](auto& c) { c.certFile = m_dir / "missing.crt"; }, "missing.crt"},
      {"missing key", [this](auto& c) { c.keyFile = m_dir / "missing.key"; }, "missing.key"},
      {"missing root", [this](auto& c) { c.rootCertFile = m_dir / "missing-root.crt"; }, "missing-root.crt"},
      {"garbage certificate", [this](auto& c) { c.certFile = m_dir / "garbage.pem"; }, "certificate file"},
      {"key of another certificate", [this](auto& c) { c.keyFile = m_dir / "other.key"; }, "mismatch"},
      {"garbage root", [this](auto& c) { c.rootCertFile = m_dir / "garbage.pem"; }, "root certificate"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    PositionServerConfig config = m_config;
    tc.change(config);
    m_server->setConfig(config);
    try {
      m_server->start();
      ADD_FAILURE() << "started";
      m_server->stop();
    } catch (const ServerError& e) {
      EXPECT_THAT(e.what(), HasSubstr(tc.message));
    }
    EXPECT_FALSE(m_server->running());
  }
}

}  // namespace
}  // namespace geomuxer::test
