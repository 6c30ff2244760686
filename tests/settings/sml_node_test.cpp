#include "settings/sml_node.h"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>
#include <vector>

#include "settings/iconv.h"

namespace geomuxer {
namespace {

using namespace std::string_literals;

// Two trees are equal when names, values, attributes and children match in order.
void expectSameTree(const SmlNode& a, const SmlNode& b, const std::string& where = "/") {
  EXPECT_EQ(a.name(), b.name()) << where;
  EXPECT_EQ(a.value(), b.value()) << where << a.name();
  ASSERT_EQ(a.attributes().size(), b.attributes().size()) << where << a.name();
  for (std::size_t i = 0; i < a.attributes().size(); ++i) {
    EXPECT_EQ(a.attributes()[i].name, b.attributes()[i].name) << where << a.name();
    EXPECT_EQ(a.attributes()[i].value, b.attributes()[i].value) << where << a.name();
  }
  ASSERT_EQ(a.childCount(), b.childCount()) << where << a.name();
  for (std::size_t i = 0; i < a.childCount(); ++i) {
    expectSameTree(a.child(i), b.child(i), where + a.name() + "/");
  }
}

std::string parseErrorOf(std::string_view data) {
  SmlNode doc;
  try {
    doc.parse(data);
  } catch (const SmlParseError& e) {
    return e.what();
  }
  return "(parsed)";
}

// --- writing --------------------------------------------------------------------------------

TEST(SmlWriter, SettingsDocumentLayout) {
  SmlNode root("settings");
  root.setAttribute("version", "1.0");
  root.addChild("WARNING", "Geomuxer Settings file, do not edit!");
  SmlNode& general = root.addChild("general");
  general.addChild("tracker").setInteger(3);
  general.addChild("savepos").setBool(true);
  root.addChild("empty");

  EXPECT_EQ(root.asText(),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "<settings version=\"1.0\">\r\n"
            "  <WARNING>Geomuxer Settings file, do not edit!</WARNING>\r\n"
            "  <general>\r\n"
            "    <tracker>3</tracker>\r\n"
            "    <savepos>true</savepos>\r\n"
            "  </general>\r\n"
            "  <empty/>\r\n"
            "</settings>\r\n");
}

TEST(SmlWriter, ValueBeforeChildrenDocTypeAndInnerNodes) {
  SmlNode root("gpx");
  root.setDocType("gpx");
  root.setHeader("version=\"1.0\" standalone=\"yes\"");
  SmlNode& trk = root.addChild("trk", "a track");
  trk.addChild("name", "x");
  EXPECT_EQ(root.asText(),
            "<?xml version=\"1.0\" standalone=\"yes\" encoding=\"UTF-8\"?>\r\n"
            "<!DOCTYPE gpx>\r\n"
            "<gpx>\r\n"
            "  <trk>\r\n"
            "    a track\r\n"
            "    <name>x</name>\r\n"
            "  </trk>\r\n"
            "</gpx>\r\n");
  // A node inside a tree is written on its own, without declaration and indented from 0.
  EXPECT_EQ(trk.asText(), "<trk>\r\n  a track\r\n  <name>x</name>\r\n</trk>\r\n");
  // The node's own header is not changed by writing.
  EXPECT_EQ(root.header(), "version=\"1.0\" standalone=\"yes\"");
}

TEST(SmlWriter, Escaping) {
  EXPECT_EQ(smlEscape("a&b<c>"), "a&#038;b&#060;c&#062;");
  EXPECT_EQ(smlEscape("say \"it's\""), "say &#034;it's&#034;");
  EXPECT_EQ(smlEscape("caf\xC3\xA9 \x01"), "caf\xC3\xA9 \x01");  // UTF-8 and controls unchanged

  SmlNode root("r");
  root.setAttribute("q", "<\"&'>").setAttribute("e", "");
  root.addChild("v", "a&b<c>");
  root.addChild("blanks", " x\t");  // blanks at the ends would be taken for layout
  EXPECT_EQ(root.asText(),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "<r q=\"&#060;&#034;&#038;'&#062;\" e=\"\">\r\n"
            "  <v>a&#038;b&#060;c&#062;</v>\r\n"
            "  <blanks>&#032;x&#009;</blanks>\r\n"
            "</r>\r\n");
}

TEST(SmlWriter, OtherCharsetsAreDeclaredAndEncoded) {
  SmlNode root("r");
  root.setValue("caf\xC3\xA9");
  EXPECT_EQ(root.asText("ISO-8859-1"),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<r>caf\xE9</r>\r\n");
  const std::string utf16 = root.asText("UTF-16");
  EXPECT_EQ(utf16.substr(0, 4), "\xFF\xFE<\0"s);
  EXPECT_THROW((void)root.asText("US-ASCII"), CharsetError);

  SmlNode back;
  back.parse(utf16);
  expectSameTree(root, back);
  back.parse(root.asText("ISO-8859-1"));
  expectSameTree(root, back);

  SmlNode unnamed;
  EXPECT_THROW((void)unnamed.asText(), SmlError);
}

TEST(SmlWriter, DeclarationIsAlwaysReadable) {
  SmlNode doc;
  // A '?' in an item would end the declaration early.
  doc.parse("<?xml version=\"1&#063;\"?><r/>");
  EXPECT_EQ(doc.asText(), "<?xml version=\"1&#063;\" encoding=\"UTF-8\"?>\r\n<r/>\r\n");
  // Items that do not parse are replaced by a fresh declaration.
  doc.parse("<?xml ver%sion=1?><r/>");
  EXPECT_EQ(doc.asText(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<r/>\r\n");
  SmlNode back;
  back.parse(doc.asText());
  EXPECT_EQ(back.asText(), doc.asText());
}

// --- the tree -------------------------------------------------------------------------------

TEST(SmlTree, PathsAndNames) {
  SmlNode root("settings");
  EXPECT_EQ(root.findNode("general\\tracker"), nullptr);
  SmlNode& tracker = root.createNode("general\\tracker");
  ASSERT_EQ(root.childCount(), 1u);
  EXPECT_EQ(root.child(0).name(), "general");
  EXPECT_EQ(&root.child(0).child(0), &tracker);
  EXPECT_EQ(tracker.parent(), &root.child(0));
  EXPECT_EQ(root.findNode("GENERAL\\Tracker"), &tracker);
  EXPECT_EQ(&root.createNode("general\\TRACKER"), &tracker);  // no second node
  EXPECT_EQ(root.findNode(""), &root);
  EXPECT_EQ(root.findNode("general\\"), &root.child(0));

  // The first of two equal names wins.
  root.addChild("General", "second");
  EXPECT_EQ(root.findNode("general"), &root.child(0));

  try {
    (void)root.createNode("general\\1st");
    FAIL() << "no error";
  } catch (const SmlError& e) {
    EXPECT_STREQ(e.what(), "Sorry, but \"1st\" is not a valid name for a Node");
  }
  EXPECT_THROW(root.setName(""), SmlError);
  EXPECT_THROW(root.addChild("a b"), SmlError);
  EXPECT_NO_THROW(root.addChild("_x.y-z:1"));
  std::string names;
  for (const SmlNode& c : std::as_const(root).children()) names += c.name() + ",";
  EXPECT_EQ(names, "general,General,_x.y-z:1,");
  for (SmlNode& c : root.children()) c.setValue("v");
  EXPECT_EQ(root.child(2).value(), "v");
  EXPECT_THROW(root.setAttribute("2x", "v"), SmlError);
}

TEST(SmlTree, AttributesHeaderAndClear) {
  SmlNode root("r");
  root.setAttribute("Version", "1").setAttribute("version", "2").addAttribute("version", "3");
  ASSERT_EQ(root.attributes().size(), 2u);
  EXPECT_EQ(root.findAttribute("VERSION")->value, "2");
  root.removeAttribute("version");
  EXPECT_TRUE(root.attributes().empty());

  EXPECT_EQ(root.encoding(), "");
  root.setEncoding("UTF-8");
  EXPECT_EQ(root.header(), "version=\"1.0\" encoding=\"UTF-8\"");
  EXPECT_EQ(root.encoding(), "UTF-8");
  root.setHeader("version='1.0' Encoding=\"latin1\"");
  EXPECT_EQ(root.encoding(), "latin1");
  root.setEncoding("UTF-8");
  EXPECT_EQ(root.header(), "version=\"1.0\" Encoding=\"UTF-8\"");
  root.setHeader("version=\"1.0\"");
  root.setEncoding("UTF-8");
  EXPECT_EQ(root.header(), "version=\"1.0\" encoding=\"UTF-8\"");

  root.setDocType("r");
  root.setValue("v");
  root.setAttribute("a", "b");
  root.addChild("c").addChild("d");
  root.clear();
  EXPECT_EQ(root.value(), "");
  EXPECT_EQ(root.childCount(), 0u);
  EXPECT_TRUE(root.attributes().empty());
  EXPECT_EQ(root.name(), "r");
  EXPECT_EQ(root.docType(), "r");
  EXPECT_FALSE(root.header().empty());
}

TEST(SmlTree, TypedValuesAndBooleanText) {
  SmlNode n("n");
  n.setInteger(-42);
  EXPECT_EQ(n.value(), "-42");
  n.setFloat(47.123001098632812);
  EXPECT_EQ(n.value(), "47.1230010986328");
  n.setBool(false);
  EXPECT_EQ(n.value(), "false");

  for (const char* yes : {"true", "TRUE", "t", "T", "1", "yes", "Y", "-1"}) EXPECT_TRUE(textToBool(yes)) << yes;
  for (const char* no : {"false", "", "0", "2", "on", "true ", "ye"}) EXPECT_FALSE(textToBool(no)) << no;
  EXPECT_EQ(boolToText(true), "true");
}

TEST(SmlTree, DeepTreeIsFreedWithoutRecursion) {
  auto root = std::make_unique<SmlNode>("r");
  SmlNode* node = root.get();
  for (int i = 0; i < 200000; ++i) node = &node->addChild("n");
  root.reset();  // would overflow the stack if each level were destroyed by the one above
}

// --- text rules -----------------------------------------------------------------------------

TEST(SmlText, Unescape) {
  struct Row {
    const char* legend;
    std::string in;
    std::string out;
  };
  const Row rows[] = {
      {"decimal", "&#65;", "A"},
      {"hex", "&#x41;", "A"},
      {"upper-case hex digits", "&#x4a;&#x4A;", "JJ"},
      {"named stays", "&amp;&lt;", "&amp;&lt;"},
      {"no semicolon after it", "&#66 and more", "&#66 and more"},
      {"ampersand alone", "a & b", "a & b"},
      {"beyond 8 bits as UTF-8", "&#233;&#x20AC;&#x1F600;", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"written references", "a&#038;b&#060;c&#062;&#034;", "a&b<c>\""},
      {"resolved ampersand is not read again", "&#038;#65;", "&#65;"},
      {"reference ends at the next semicolon", "x&#1;&#2;", "x\x01\x02"},
  };
  for (const auto& row : rows) EXPECT_EQ(smlUnescape(row.in), row.out) << row.legend;

  for (const char* bad : {"&#0;", "&#6x;", "&#;", "&#x;", "&#xG;", "&#66 ;", "&#1114112;", "&#xD800;"}) {
    try {
      (void)smlUnescape(bad);
      ADD_FAILURE() << bad << " accepted";
    } catch (const SmlError& e) {
      EXPECT_STREQ(e.what(), "There is an invalid Entity") << bad;
    }
  }
}

TEST(SmlText, AttributeLists) {
  auto list = parseSmlAttributes("a=\"1\" b='two words' c d=\"x&#038;y\"");
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[1].value, "two words");
  EXPECT_EQ(list[2].name, "c");
  EXPECT_EQ(list[2].value, "");
  EXPECT_EQ(list[3].value, "x&y");
  EXPECT_EQ(smlAttributesText(list), "a=\"1\" b=\"two words\" c=\"\" d=\"x&#038;y\"");

  // Two blanks end the list; what follows is lost.
  EXPECT_EQ(parseSmlAttributes("a=\"1\"  b=\"2\"").size(), 1u);

  try {
    (void)parseSmlAttributes("a=1");
    FAIL();
  } catch (const SmlError& e) {
    EXPECT_STREQ(e.what(), "Expected either a single or a double quote.");
  }
  try {
    (void)parseSmlAttributes("ok b%=\"2\"");
    FAIL();
  } catch (const SmlError& e) {
    EXPECT_STREQ(e.what(), "\"b%\" is not a valid attribute name.");
  }
}

// --- reading --------------------------------------------------------------------------------

TEST(SmlParser, ReadsWhatTheWriterWrites) {
  SmlNode root("settings");
  root.setAttribute("version", "1.0").setAttribute("empty", "").setAttribute("odd", "<'\"&>\t");
  root.addChild("WARNING", "Geomuxer Settings file, do not edit!");
  SmlNode& general = root.addChild("general", "  value before children\r\n");
  general.addChild("tracker").setInteger(3);
  general.addChild("text", "line one\r\nline two\n\ttabbed  ");
  general.addChild("refs", "&#65; &amp; \"q\" 'a' <tag>");
  general.addChild("utf8", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
  general.addChild("controls", "\x01\x1F");
  general.addChild("blank", " ");
  general.addChild("nothing");
  root.addChild("deep").createNode("a\\b\\c\\d").setValue("leaf");

  const std::string text = root.asText();
  SmlNode back;
  back.parse(text);
  EXPECT_EQ(back.header(), "version=\"1.0\" encoding=\"UTF-8\"");
  expectSameTree(root, back);
  // Writing what was read gives the same bytes.
  EXPECT_EQ(back.asText(), text);

  std::stringstream stream;
  ASSERT_TRUE(root.save(stream));
  EXPECT_EQ(stream.str().substr(0, 5), "<?xml");  // no byte order mark
  SmlNode fromStream;
  fromStream.load(stream);
  expectSameTree(root, fromStream);
}

TEST(SmlParser, ErrorMessages) {
  struct Row {
    const char* legend;
    std::string data;
    std::string message;
  };
  const Row rows[] = {
      {"empty", "", "Unexpected end of file."},
      {"no element", "just text", "Unexpected end of file."},
      {"cut name", "<settin", "Unexpected end of file."},
      {"cut element", "<a>text", "Unexpected end of file."},
      {"cut attributes", "<a b=\"1", "Unexpected end of file."},
      {"cut closing tag", "<a></a", "Unexpected end of file."},
      {"cut comment", "<a><!-- x", "Unexpected end of file."},
      {"children never closed", "<a><b/>", "Unexpected end of file."},
      {"declaration", "<?xml version=\"1.0\"? ><a/>", "Expecting \">\""},
      {"root name", "<1abc/>", "Invalid Node name \"1abc\""},
      {"child name", "<a><b c/><-x/></a>", "Invalid Node name \"-x\""},
      {"closing tag", "<general></other>", "No matching Tag for \"general\""},
      {"closing tag of child", "<a><b></a></b>", "No matching Tag for \"b\""},
      {"blank before '>'", "<general></general >", "No matching Tag for \"general\""},
      {"attribute quotes", "<a b=1/>", "Expected either a single or a double quote."},
      {"attribute name", "<a b%=\"1\"/>", "\"b%\" is not a valid attribute name."},
      {"entity in text", "<a>&#0;</a>", "There is an invalid Entity"},
      {"entity in attribute", "<a b=\"&#6x;\"/>", "There is an invalid Entity"},
      {"markup declaration inside", "<a><!DOCTYPE a></a>", "Unexpected \"<!\" inside an element."},
      {"unknown encoding", "<?xml version=\"1.0\" encoding=\"NO-SUCH-SET\"?><a>x</a>",
       "Cannot convert text from \"NO-SUCH-SET\" to \"UTF-8\"."},
  };
  for (const auto& row : rows) EXPECT_EQ(parseErrorOf(row.data), row.message) << row.legend;

  // A binary "name" is not quoted whole.
  const std::string message = parseErrorOf("<" + std::string(100000, '\x80') + ">");
  EXPECT_LT(message.size(), 100u);
}

TEST(SmlParser, ErrorsCarryLineAndColumn) {
  struct Row {
    const char* legend;
    std::string data;
    int line;
    int column;
  };
  const Row rows[] = {
      {"closing tag name", "<a>\r\n  <b>\r\n  </c>", 3, 5},
      {"child name after UTF-8 text", "<a>\n\xC3\xA9\xC3\xA9<1/></a>", 2, 4},
      {"attribute text", "<a>\n <b  x=1/></a>", 2, 6},
      {"end of data", "<a>\n\n", 3, 1},
      {"root name", "<#>", 1, 2},
  };
  for (const auto& row : rows) {
    SmlNode doc;
    try {
      doc.parse(row.data);
      ADD_FAILURE() << row.legend << ": parsed";
    } catch (const SmlParseError& e) {
      EXPECT_EQ(e.line(), row.line) << row.legend << ": " << e.what();
      EXPECT_EQ(e.column(), row.column) << row.legend << ": " << e.what();
    }
  }
}

TEST(SmlParser, Layout) {
  SmlNode doc;
  doc.parse(
      "\xEF\xBB\xBF"  // a UTF-8 byte order mark
      "<!-- before the root -->\r\n"
      "<!--x-->"
      "<!DOCTYPE settings>\r\n"
      "<Settings a=\"1\" b  c=\"3\">\r\n"
      "  \t text kept to its end  <!-- c --><child/>\r\n"
      "  more text after a child\r\n"
      "  <other x='y'>  v  </other>\r\n"
      "</SETTINGS>trailing bytes are not read");
  EXPECT_EQ(doc.name(), "Settings");
  EXPECT_EQ(doc.docType(), "settings");
  EXPECT_EQ(doc.header(), "");
  ASSERT_EQ(doc.attributes().size(), 2u);  // "c" is after two blanks
  EXPECT_EQ(doc.attributes()[1].name, "b");
  EXPECT_EQ(doc.attributes()[1].value, "");
  // Leading blanks are dropped, trailing ones kept, except before a child where they are layout;
  // text after a child is appended.
  EXPECT_EQ(doc.value(), "text kept to its end  more text after a child");
  ASSERT_EQ(doc.childCount(), 2u);
  EXPECT_EQ(doc.child(1).value(), "v  ");
  EXPECT_EQ(doc.child(1).findAttribute("x")->value, "y");
  // The document type line is written back.
  EXPECT_NE(doc.asText().find("\r\n<!DOCTYPE settings>\r\n<Settings"), std::string::npos);

  // Parsing starts from a cleared node.
  doc.parse("<b/>");
  EXPECT_EQ(doc.name(), "b");
  EXPECT_EQ(doc.childCount(), 0u);
  EXPECT_EQ(doc.docType(), "");
}

TEST(SmlParser, DeclaredEncodingIsConvertedToUtf8) {
  SmlNode doc;
  doc.parse(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n"
      "<r name=\"Z\xFCrich\">caf\xE9 &#233;&#x20AC;</r>\r\n");
  EXPECT_EQ(doc.encoding(), "ISO-8859-1");
  EXPECT_EQ(doc.findAttribute("name")->value, "Z\xC3\xBCrich");
  // References name Unicode characters, whatever the document's set.
  EXPECT_EQ(doc.value(), "caf\xC3\xA9 \xC3\xA9\xE2\x82\xAC");

  // A byte order mark wins over the declaration.
  doc.parse("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xC3\xA9</r>");
  EXPECT_EQ(doc.value(), "caf\xC3\xA9");
  // UTF-16 with its mark.
  doc.parse("\xFF\xFE<\0r\0>\0\xE9\0<\0/\0r\0>\0"s);
  EXPECT_EQ(doc.value(), "\xC3\xA9");
  // Without a declaration the bytes are taken as they are.
  doc.parse("<r>\xE9</r>");
  EXPECT_EQ(doc.value(), "\xE9");
}

TEST(SmlParser, ProgressAndAbort) {
  const std::string data = "<r><a/><b><c/></b></r>";
  std::vector<std::string> order;
  std::uint64_t last = 0;
  SmlNode doc;
  doc.parse(data, [&](const SmlNode& node, std::uint64_t total, std::uint64_t position) {
    order.push_back(node.name());
    EXPECT_EQ(total, data.size());
    EXPECT_GE(position, last);
    last = position;
    return SmlProgress::proceed;
  });
  EXPECT_EQ(order, (std::vector<std::string>{"a", "c", "b", "r"}));
  EXPECT_EQ(last, data.size());

  try {
    doc.parse(data, [](const SmlNode& node, std::uint64_t, std::uint64_t) {
      return node.name() == "c" ? SmlProgress::abort : SmlProgress::proceed;
    });
    FAIL() << "not aborted";
  } catch (const SmlAbortError& e) {
    EXPECT_STREQ(e.what(), "Aborted parsing.");
    EXPECT_EQ(e.offset(), data.find("</b>"));
  }
  // What was read before the abort stays.
  EXPECT_EQ(doc.childCount(), 2u);
}

TEST(SmlParser, HostileInputEndsWithAnError) {
  // Nesting far deeper than any document of ours is refused instead of exhausting the stack.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  EXPECT_EQ(parseErrorOf(deep), "Elements are nested too deeply.");

  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 131 + 7) & 0xFF);
  EXPECT_NE(parseErrorOf(binary), "(parsed)");
  EXPECT_NE(parseErrorOf("<a>" + std::string(1 << 20, 'x')), "(parsed)");
}

}  // namespace
}  // namespace geomuxer
