#include "app/widgets/coordinate_edit.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QMenu>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>

#include <limits>
#include <memory>

#include "app/widgets/widget_test_app.h"

namespace geomuxer {
namespace {

const NumberFormat kDot{".", ","};
const NumberFormat kComma{",", "."};

TEST(CoordinateTextTest, HemisphereLetterPaddedDegreesAndFixedDecimals) {
  struct Row {
    const char* name;
    double degrees;
    CoordKind kind;
    PosUnit unit;
    const NumberFormat& nf;
    const char* expected;
  };
  const Row rows[] = {
      {"degrees", 8.5, CoordKind::longitude, PosUnit::decimalDegree, kDot, "E008.50000\u00B0"},
      {"degrees west", -123.25, CoordKind::longitude, PosUnit::decimalDegree, kDot, "W123.25000\u00B0"},
      {"whole minutes get decimals", -47.5, CoordKind::latitude, PosUnit::decimalMinute, kDot,
       "S047\u00B0 30.000\u2032"},
      {"minutes", 47.26962, CoordKind::latitude, PosUnit::decimalMinute, kDot, "N047\u00B0 16.177\u2032"},
      {"seconds", 11.3925, CoordKind::longitude, PosUnit::decimalSecond, kDot, "E011\u00B0 23\u2032 33.0\u2033"},
      {"zero is north", 0.0, CoordKind::latitude, PosUnit::decimalMinute, kDot, "N000\u00B0 00.000\u2032"},
      {"zero is east", 0.0, CoordKind::longitude, PosUnit::decimalDegree, kDot, "E000.00000\u00B0"},
      {"locale separator", 8.5, CoordKind::longitude, PosUnit::decimalDegree, kComma, "E008,50000\u00B0"},
      {"locale separator, minutes", 8.5, CoordKind::longitude, PosUnit::decimalMinute, kComma,
       "E008\u00B0 30,000\u2032"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(coordinateText(row.degrees, row.kind, row.unit, row.nf), row.expected) << row.name;
    // Every text the field shows reads back as the value.
    const auto back = parseCoordinateText(QString::fromStdString(row.expected), row.kind, row.nf);
    ASSERT_TRUE(back.has_value()) << row.name;
    EXPECT_NEAR(*back, row.degrees, 1e-4) << row.name;
  }
}

TEST(CoordinateTextTest, ReadingRefusesTheOtherKindAndOutOfRangeValues) {
  EXPECT_FALSE(parseCoordinateText(QStringLiteral("E008.5"), CoordKind::latitude, kDot));
  EXPECT_FALSE(parseCoordinateText(QStringLiteral("N047"), CoordKind::longitude, kDot));
  EXPECT_FALSE(parseCoordinateText(QStringLiteral("91"), CoordKind::latitude, kDot));
  EXPECT_FALSE(parseCoordinateText(QStringLiteral("W180\u00B0 00.001\u2032"), CoordKind::longitude, kDot));
  EXPECT_FALSE(parseCoordinateText(QStringLiteral("N47\u00B0 61\u2032"), CoordKind::latitude, kDot));
  EXPECT_EQ(parseCoordinateText(QStringLiteral("-180"), CoordKind::longitude, kDot), -180.0);
}

TEST(CoordinateTextTest, PasteTriesNumberThenPairThenOwnFormat) {
  const QString pair = QStringLiteral("N47\u00B0 30.000\u2032 W11\u00B0 15.000\u2032");
  EXPECT_EQ(coordinateFromClipboardText(QStringLiteral(" 12.5 "), CoordKind::latitude, kDot), 12.5);
  EXPECT_EQ(coordinateFromClipboardText(QStringLiteral("12,5"), CoordKind::latitude, kComma), 12.5);
  // A plain number is taken as it is; whether it fits is the field's business.
  EXPECT_EQ(coordinateFromClipboardText(QStringLiteral("200"), CoordKind::latitude, kDot), 200.0);
  EXPECT_EQ(coordinateFromClipboardText(pair, CoordKind::latitude, kDot), 47.5);
  EXPECT_EQ(coordinateFromClipboardText(pair, CoordKind::longitude, kDot), -11.25);
  EXPECT_EQ(coordinateFromClipboardText(QStringLiteral("S010\u00B0 30.000\u2032"), CoordKind::latitude, kDot), -10.5);
  EXPECT_FALSE(coordinateFromClipboardText(QStringLiteral("S010\u00B0 30.000\u2032"), CoordKind::longitude, kDot));
  EXPECT_FALSE(coordinateFromClipboardText(QStringLiteral("hello"), CoordKind::longitude, kDot));
}

class CoordinateEditTest : public ::testing::Test {
 protected:
  void SetUp() override { test::widgetApp(); }

  static void setClipboard(const QString& text, bool privateData = false) {
    auto* data = new QMimeData;
    data->setText(text);
    if (privateData) data->setData(QLatin1String(kPrivateClipboardFormat), QByteArray("x"));
    QApplication::clipboard()->setMimeData(data);
  }
};

TEST_F(CoordinateEditTest, OutOfRangeValuesAreRefused) {
  CoordinateEdit lat(CoordKind::latitude);
  lat.setDisplayFormat(PosUnit::decimalDegree, kDot);
  QSignalSpy spy(&lat, &CoordinateEdit::changed);
  lat.setValue(45.0);
  lat.setValue(91.0);
  lat.setValue(-90.5);
  lat.setValue(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(lat.value(), 45.0);
  EXPECT_EQ(lat.text(), QStringLiteral("N045.00000\u00B0"));
  EXPECT_EQ(spy.count(), 1);
  lat.setValue(45.0);
  EXPECT_EQ(spy.count(), 1);

  CoordinateEdit lon(CoordKind::longitude);
  lon.setValue(-180.0);
  EXPECT_EQ(lon.value(), -180.0);
  lon.setValue(180.5);
  EXPECT_EQ(lon.value(), -180.0);
}

TEST_F(CoordinateEditTest, TypedTextBecomesTheValueAndUnreadableTextIsUndone) {
  CoordinateEdit lon(CoordKind::longitude);
  lon.setDisplayFormat(PosUnit::decimalMinute, kDot);
  lon.show();
  QSignalSpy spy(&lon, &CoordinateEdit::changed);

  lon.selectAll();
  QTest::keyClicks(&lon, QStringLiteral("W8 30"));
  EXPECT_EQ(lon.value(), -8.5);
  QTest::keyClick(&lon, Qt::Key_Return);
  EXPECT_EQ(lon.text(), QStringLiteral("W008\u00B0 30.000\u2032"));

  const int changes = spy.count();
  lon.selectAll();
  QTest::keyClicks(&lon, QStringLiteral("N12"));  // a latitude: not for this field
  EXPECT_EQ(lon.value(), -8.5);
  QTest::keyClick(&lon, Qt::Key_Return);
  EXPECT_EQ(lon.text(), QStringLiteral("W008\u00B0 30.000\u2032"));
  EXPECT_EQ(spy.count(), changes);
  lon.hide();
}

TEST_F(CoordinateEditTest, CopyAndPasteThroughTheClipboard) {
  CoordinateEdit lat(CoordKind::latitude);
  lat.setDisplayFormat(PosUnit::decimalDegree, kDot);
  lat.setValue(8.5);
  lat.copyValue();
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("8.5"));
  lat.copyText();
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("N008.50000\u00B0"));

  setClipboard(QStringLiteral("N47\u00B0 30\u2032 E11\u00B0 15\u2032"));
  lat.pasteValue();
  EXPECT_EQ(lat.value(), 47.5);

  setClipboard(QStringLiteral("91"));
  lat.pasteValue();
  EXPECT_EQ(lat.value(), 47.5);

  setClipboard(QStringLiteral("12"), true);  // the program's own data
  EXPECT_FALSE(lat.canPaste());
  lat.pasteValue();
  EXPECT_EQ(lat.value(), 47.5);

  setClipboard(QStringLiteral("12"));
  lat.setReadOnly(true);
  EXPECT_FALSE(lat.canPaste());
  lat.pasteValue();
  EXPECT_EQ(lat.value(), 47.5);
  lat.setReadOnly(false);
  lat.pasteValue();
  EXPECT_EQ(lat.value(), 12.0);
}

TEST_F(CoordinateEditTest, ContextMenuOffersCopyCopyTextAndPaste) {
  CoordinateEdit lat(CoordKind::latitude);
  lat.setReadOnly(true);
  std::unique_ptr<QMenu> menu(lat.createCoordinateMenu(nullptr));
  const QList<QAction*> actions = menu->actions();
  ASSERT_EQ(actions.size(), 3);
  EXPECT_EQ(actions[0]->text(), QStringLiteral("Copy"));
  EXPECT_EQ(actions[0]->shortcut(), QKeySequence(QKeySequence::Copy));
  EXPECT_EQ(actions[1]->text(), QStringLiteral("Copy Text"));
  EXPECT_EQ(actions[2]->text(), QStringLiteral("Paste"));
  EXPECT_FALSE(actions[2]->isEnabled());
}

}  // namespace
}  // namespace geomuxer
