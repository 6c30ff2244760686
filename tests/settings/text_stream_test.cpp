#include "settings/text_stream.h"

#include <gtest/gtest.h>

#include <sstream>

#include "settings/iconv.h"

namespace geomuxer {
namespace {

using namespace std::string_literals;

std::string readAllFrom(const std::string& bytes, std::string_view charset, std::size_t chunk) {
  std::istringstream in(bytes);
  TextReader reader(in, charset);
  std::string out;
  while (!reader.atEnd()) out += reader.read(chunk);
  return out;
}

TEST(TextReader, DetectsEachByteOrderMark) {
  struct Row {
    const char* legend;
    std::string bytes;
    std::string charset;
  };
  const Row rows[] = {
      {"utf-8", "\xEF\xBB\xBF" "A\xC3\xA9", "UTF-8"},
      {"utf-16le", "\xFF\xFE" "A\0\xE9\0"s, "UTF-16LE"},
      {"utf-16be", "\xFE\xFF" "\0A\0\xE9"s, "UTF-16BE"},
      {"utf-32le", "\xFF\xFE\0\0" "A\0\0\0\xE9\0\0\0"s, "UTF-32LE"},
      {"utf-32be", "\0\0\xFE\xFF" "\0\0\0A\0\0\0\xE9"s, "UTF-32BE"},
  };
  for (const auto& row : rows) {
    std::istringstream in(row.bytes);
    TextReader reader(in, "ISO-8859-1");
    EXPECT_TRUE(reader.hadByteOrderMark()) << row.legend;
    EXPECT_EQ(reader.charset(), row.charset) << row.legend;
    EXPECT_EQ(reader.readAll(), "A\xC3\xA9") << row.legend;
  }
}

TEST(TextReader, WithoutMarkUsesTheGivenCharset) {
  EXPECT_EQ(readAllFrom("AB", "WINDOWS-1252", 64), "AB");
  EXPECT_EQ(readAllFrom("caf\xE9", "ISO-8859-1", 64), "caf\xC3\xA9");
  // "UTF-16" without a mark is read little-endian, as it is written.
  EXPECT_EQ(readAllFrom("A\0B\0"s, "UTF-16", 64), "AB");
  // Fewer bytes than a mark.
  EXPECT_EQ(readAllFrom("A", "UTF-8", 64), "A");
  EXPECT_EQ(readAllFrom("", "UTF-8", 64), "");
}

TEST(TextReader, CharactersCutByChunksAreCompleted) {
  const std::string text = "\xE2\x82\xAC x \xF0\x9F\x98\x80 \xC3\xA9";  // euro, emoji, e-acute
  for (const std::size_t chunk : {1u, 2u, 3u, 7u, 4096u}) {
    EXPECT_EQ(readAllFrom(text, "UTF-8", chunk), text) << chunk;
    EXPECT_EQ(readAllFrom(encodeText(text, "UTF-16BE"), "", chunk), text) << chunk;
    EXPECT_EQ(readAllFrom(encodeText(text, "UTF-32"), "", chunk), text) << chunk;
  }
}

TEST(TextReader, BrokenTextRaises) {
  EXPECT_THROW((void)readAllFrom("\xFF\xFE" "A"s, "UTF-8", 64), CharsetError);       // odd UTF-16 byte
  EXPECT_THROW((void)readAllFrom("\xFF\xFE\x00\xD8"s, "UTF-8", 64), CharsetError);  // lone surrogate
  EXPECT_THROW((void)TextReader(*std::make_unique<std::istringstream>("x"), "NO-SUCH-SET"), CharsetError);
}

TEST(TextWriter, MarksFollowTheModeAndCharset) {
  EXPECT_EQ(encodeText("A", "UTF-8"), "A");
  EXPECT_EQ(encodeText("A", "UTF-8", {.utf8ByteOrderMark = true}), "\xEF\xBB\xBF" "A");
  EXPECT_EQ(encodeText("A", "UTF-16"), "\xFF\xFE" "A\0"s);
  EXPECT_EQ(encodeText("A", "UTF-16BE"), "\xFE\xFF" "\0A"s);
  EXPECT_EQ(encodeText("A", "UTF-32"), "\xFF\xFE\0\0" "A\0\0\0"s);
  EXPECT_EQ(encodeText("A", "ISO-8859-1"), "A");

  std::stringstream empty;
  {
    TextWriter w(empty, "UTF-16", TextWriter::Mode::append);
    ASSERT_TRUE(w.write("A"));
  }
  EXPECT_EQ(empty.str(), "\xFF\xFE" "A\0"s);
  std::stringstream filled("x\0"s);
  {
    TextWriter w(filled, "UTF-16", TextWriter::Mode::append);
    ASSERT_TRUE(w.write("B"));
  }
  EXPECT_EQ(filled.str(), "x\0B\0"s);
}

TEST(TextWriter, ConversionIsLossless) {
  // A NUL stays one byte, characters beyond the 16-bit range are one 4-byte sequence, and long
  // text that grows threefold is not cut off.
  EXPECT_EQ(encodeText("a\0b"s, "UTF-8"), "a\0b"s);
  EXPECT_EQ(encodeText("\xF0\x9F\x98\x80", "UTF-16LE"), "\xFF\xFE\x3D\xD8\x00\xDE"s);
  const std::string latin(5000, '\xE9');
  Iconv toUtf8("ISO-8859-1", "UTF-8");
  const std::string utf8 = toUtf8.convert(latin);
  EXPECT_EQ(utf8.size(), 10000u);
  Iconv toEuc("UTF-8", "EUC-JP");
  const std::string kanji = std::string(3000, 'x') + "\xE6\xBC\xA2";
  Iconv back("EUC-JP", "UTF-8");
  EXPECT_EQ(back.convert(toEuc.convert(kanji)), kanji);
  EXPECT_THROW((void)encodeText("\xE2\x82\xAC", "ISO-8859-1"), CharsetError);  // no euro sign there
}

TEST(TextWriter, StatefulCharsetRoundTrip) {
  const std::string text = "a\xE6\xBC\xA2" "b";
  const std::string jis = encodeText(text, "ISO-2022-JP");
  EXPECT_EQ(jis.find('\x1B'), 1u);  // shift sequence after the "a"
  EXPECT_EQ(decodeText(jis, "ISO-2022-JP"), text);
}

TEST(Iconv, LocalCharsetAndNames) {
  EXPECT_FALSE(Iconv::localCharset().empty());
  EXPECT_NO_THROW(Iconv("ISO-8859-1"));
  EXPECT_TRUE(sameCharsetName("utf8", "UTF-8"));
  EXPECT_TRUE(sameCharsetName("utf_16le", "UTF-16LE"));
  EXPECT_FALSE(sameCharsetName("UTF-16", "UTF-16LE"));
  EXPECT_EQ(unicodeFormOf("utf-32be"), UnicodeForm::utf32be);
  EXPECT_FALSE(unicodeFormOf("ISO-8859-1"));
  EXPECT_EQ(completeUtf8Prefix("ab\xE2\x82"), 2u);
  EXPECT_EQ(completeUtf8Prefix("ab\xE2\x82\xAC"), 5u);
}

}  // namespace
}  // namespace geomuxer
