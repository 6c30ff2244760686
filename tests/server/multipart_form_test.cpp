#include "server/multipart_form.h"

#include <gtest/gtest.h>

#include <utility>

namespace geomuxer {
namespace {

constexpr std::string_view kType = "multipart/form-data; boundary=XyZ";

// A body of text parts the way browsers and HTTP libraries write them.
std::string body(std::initializer_list<std::pair<std::string, std::string>> fields) {
  std::string out;
  for (const auto& [name, value] : fields)
    out += "--XyZ\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
  out += "--XyZ--\r\n";
  return out;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields fieldsOf(const MultipartForm& form) {
  Fields out;
  for (const auto& f : form.fields()) out.emplace_back(f.name, f.value);
  return out;
}

TEST(MultipartBoundary, PlainQuotedAndMissing) {
  EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=abc"), "abc");
  EXPECT_EQ(multipartBoundary("multipart/form-data; BOUNDARY=\"a b;c\""), "a b");  // cut at ';' first
  EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=\"q-1\"; charset=utf-8"), "q-1");
  EXPECT_EQ(multipartBoundary("multipart/form-data;boundary=x;charset=utf-8"), "x");
  EXPECT_EQ(multipartBoundary("multipart/form-data"), "");
  EXPECT_EQ(multipartBoundary("multipart/form-data; boundary="), "");
}

struct Case {
  const char* legend;
  std::string contentType;
  std::string body;
  Fields expected;
};

class MultipartCases : public ::testing::TestWithParam<Case> {};

TEST_P(MultipartCases, Fields) {
  const Case& c = GetParam();
  EXPECT_EQ(fieldsOf(MultipartForm::parse(c.contentType, c.body)), c.expected) << c.legend;
}

INSTANTIATE_TEST_SUITE_P(
    Parse, MultipartCases,
    ::testing::Values(
        Case{"one field", std::string(kType), body({{"lat", "47.5\r\n"}}), {{"lat", "47.5"}}},
        Case{"trimmed value, inner line break kept", std::string(kType),
             body({{"comment", " \t\r\nfirst line\r\nsecond line \r\n\r\n"}}),
             {{"comment", "first line\r\nsecond line"}}},
        Case{"empty value keeps its name", std::string(kType), body({{"comment", ""}, {"lat", "1"}}),
             {{"comment", ""}, {"lat", "1"}}},
        Case{"quoted boundary", "multipart/form-data; boundary=\"XyZ\"", body({{"a", "1"}}), {{"a", "1"}}},
        Case{"boundary lines ignore case", "multipart/form-data; boundary=xyz", body({{"a", "1"}, {"b", "2"}}),
             {{"a", "1"}, {"b", "2"}}},
        Case{"url-encoded form gives nothing", "application/x-www-form-urlencoded", "lat=47.5&lon=8", {}},
        Case{"boundary never occurs", std::string(kType), "--other\r\nContent-Disposition: form-data; name=a\r\n\r\n1\r\n", {}},
        Case{"not multipart at all", std::string(kType), "just some text", {}},
        Case{"empty body", std::string(kType), "", {}},
        Case{"preamble is skipped", std::string(kType), "This is a preamble.\r\n--XyZ not yet\r\n" + body({{"a", "1"}}),
             {{"a", "1"}}},
        Case{"bare LF line ends", std::string(kType),
             "--XyZ\nContent-Disposition: form-data; name=\"a\"\n\nv1\nv2\n--XyZ--\n", {{"a", "v1\r\nv2"}}},
        Case{"padding after a boundary", std::string(kType),
             "--XyZ  \r\nContent-Disposition: form-data; name=a\r\n\r\n1\r\n--XyZ-- \t\r\n", {{"a", "1"}}},
        Case{"epilogue after the last part is ignored", std::string(kType),
             body({{"a", "1"}}) + "--XyZ\r\nContent-Disposition: form-data; name=b\r\n\r\n2\r\n", {{"a", "1"}}},
        Case{"body cut off inside a part keeps what was read", std::string(kType),
             "--XyZ\r\nContent-Disposition: form-data; name=a\r\n\r\n1\r\n--XyZ\r\n"
             "Content-Disposition: form-data; name=b\r\n\r\npart",
             {{"a", "1"}, {"b", "part"}}},
        Case{"body cut off inside the headers", std::string(kType),
             "--XyZ\r\nContent-Disposition: form-data; name=a\r\n", {{"a", ""}}},
        Case{"octet-stream dropped, text/plain kept", std::string(kType),
             "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\n\x01\x02\r\n"
             "--XyZ\r\nContent-Disposition: form-data; name=\"g\"\r\nContent-Type:Application/Octet-Stream\r\n\r\nx\r\n"
             "--XyZ\r\nContent-Disposition: form-data; name=\"t\"\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
             "txt\r\n--XyZ--\r\n",
             {{"t", "txt"}}},
        Case{"folded header continues the line before", std::string(kType),
             "--XyZ\r\nContent-Disposition: form-data;\r\n\tname=\"folded\"\r\n\r\nv\r\n--XyZ--\r\n",
             {{"folded", "v"}}},
        Case{"filename is not the name", std::string(kType),
             "--XyZ\r\nContent-Disposition: form-data; filename=\"x.txt\"; name=\"n\"\r\n\r\nv\r\n--XyZ--\r\n",
             {{"n", "v"}}},
        Case{"base64 part", std::string(kType),
             "--XyZ\r\nContent-Disposition: form-data; name=c\r\nContent-Transfer-Encoding: BASE64\r\n\r\n"
             "aGVsbG8g\r\nd29ybGQ=\r\n--XyZ--\r\n",
             {{"c", "hello world"}}},
        Case{"quoted-printable part", std::string(kType),
             "--XyZ\r\nContent-Disposition: form-data; name=c\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
             "Gr=C3=BC=\r\nezi =3D ok=\r\n--XyZ--\r\n",
             {{"c", "Gr\xc3\xbc" "ezi = ok"}}},
        Case{"other transfer encodings leave the body alone", std::string(kType),
             "--XyZ\r\nContent-Disposition: form-data; name=c\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
             "=41\r\n--XyZ--\r\n",
             {{"c", "=41"}}}),
    [](const ::testing::TestParamInfo<Case>& param) { return "case" + std::to_string(param.index); });

TEST(MultipartForm, LookupIsFirstMatchWithoutCase) {
  const auto form = MultipartForm::parse(kType, body({{"Lat", "1"}, {"lat", "2"}, {"lon", "3"}}));
  ASSERT_EQ(form.size(), 3u);
  EXPECT_EQ(form.value("LAT"), "1");
  EXPECT_EQ(form.indexOf("lon"), 2u);
  EXPECT_TRUE(form.contains("LON"));
  EXPECT_FALSE(form.contains("alt"));
  EXPECT_EQ(form.value("alt"), "");
}

TEST(MultipartForm, LimitsOnSizeAndParts) {
  const std::string big = body({{"a", std::string(2000, 'x')}});
  EXPECT_THROW((void)MultipartForm::parse(kType, big, {.maxBodySize = 1000, .maxParts = 10}), MultipartError);
  EXPECT_EQ(MultipartForm::parse(kType, big, {.maxBodySize = big.size(), .maxParts = 10}).size(), 1u);
  const std::string many = body({{"a", "1"}, {"b", "2"}, {"c", "3"}});
  EXPECT_THROW((void)MultipartForm::parse(kType, many, {.maxBodySize = 1000, .maxParts = 2}), MultipartError);
  EXPECT_EQ(MultipartForm::parse(kType, many, {.maxBodySize = 1000, .maxParts = 3}).size(), 3u);
  // Without a boundary nothing is read, so nothing is too big either.
  EXPECT_TRUE(MultipartForm::parse("text/plain", big, {.maxBodySize = 10, .maxParts = 1}).empty());
}

TEST(MultipartForm, BrokenBase64IsAnError) {
  const std::string b =
      "--XyZ\r\nContent-Disposition: form-data; name=c\r\nContent-Transfer-Encoding: base64\r\n\r\n"
      "a*b!\r\n--XyZ--\r\n";
  EXPECT_THROW((void)MultipartForm::parse(kType, b), MultipartError);
}

TEST(TransferDecoding, Base64) {
  EXPECT_EQ(decodeBase64(""), "");
  EXPECT_EQ(decodeBase64("QQ=="), "A");
  EXPECT_EQ(decodeBase64("QUI="), "AB");
  EXPECT_EQ(decodeBase64(" QUJD\r\n"), "ABC");
  EXPECT_EQ(decodeBase64("AP8A"), std::string("\0\xff\0", 3));
  EXPECT_FALSE(decodeBase64("QQ=QQ"));
  EXPECT_FALSE(decodeBase64("????"));
}

TEST(TransferDecoding, QuotedPrintable) {
  EXPECT_EQ(decodeQuotedPrintable("a=3Db"), "a=b");
  EXPECT_EQ(decodeQuotedPrintable("a=3db"), "a=b");
  EXPECT_EQ(decodeQuotedPrintable("soft=  \r\nbreak"), "softbreak");
  EXPECT_EQ(decodeQuotedPrintable("soft=\nbreak"), "softbreak");
  EXPECT_EQ(decodeQuotedPrintable("hard\r\nbreak"), "hard\r\nbreak");
  EXPECT_EQ(decodeQuotedPrintable("bad=ZZ end="), "bad=ZZ end");
  EXPECT_EQ(decodeQuotedPrintable("=4"), "=4");
}

}  // namespace
}  // namespace geomuxer
