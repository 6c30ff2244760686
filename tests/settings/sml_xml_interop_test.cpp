// Documents built with SmlNode leave the program as XML (position feeds, GPX exports); a real XML
// parser must accept them.

#include <gtest/gtest.h>

#include <cstdlib>

#include "settings/sml_node.h"
#include "support/temp_dir.h"

namespace geomuxer {
namespace {

bool haveXmllint() { return std::system("xmllint --version >/dev/null 2>&1") == 0; }

int xmllint(const std::filesystem::path& file) {
  const std::string command = "xmllint --noout '" + file.string() + "' 2>&1";
  return std::system(command.c_str());
}

TEST(SmlAsXml, FeedIsWellFormed) {
  if (!haveXmllint()) GTEST_SKIP() << "xmllint is not installed (package libxml2-utils)";
  SmlNode feed("positions");
  feed.setAttribute("xmlns:geo", "http://example.org/geo").setAttribute("empty", "");
  SmlNode& pos = feed.addChild("position", "text before children");
  pos.setAttribute("client", "Tom's \"car\" <1> & more");
  pos.addChild("lon").setFloat(8.54170036315918);
  pos.addChild("lat").setFloat(-47.25);
  pos.addChild("name", "Z\xC3\xBCrich <Hbf> & \"Gleis\" 'A'  ");
  pos.addChild("note", "\r\n  indented\ttext\r\n");
  pos.addChild("empty");

  test::TempDir dir;
  test::writeFile(dir / "feed.xml", feed.asText());
  EXPECT_EQ(xmllint(dir / "feed.xml"), 0) << feed.asText();
  test::writeFile(dir / "feed16.xml", feed.asText("UTF-16"));
  EXPECT_EQ(xmllint(dir / "feed16.xml"), 0);
  test::writeFile(dir / "feed1.xml", feed.asText("ISO-8859-1"));
  EXPECT_EQ(xmllint(dir / "feed1.xml"), 0);
}

}  // namespace
}  // namespace geomuxer
