// The shared presentation pieces: resource bundle, style sheet, dialog header, QR rendering.
#include "app/DialogHeader.h"
#include "app/QrCode.h"
#include "app/Theme.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <qrcodegen.hpp>

#include <stdexcept>

namespace {

QByteArray resource(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

class ThemeTest : public ::testing::Test {
protected:
    void SetUp() override { dorvex::app::ensureResources(); }
    void TearDown() override { qApp->setStyleSheet(QString()); }
};

TEST_F(ThemeTest, ApplyThemeInstallsTheBundledStyleSheetAndIcon)
{
    ASSERT_TRUE(qApp->styleSheet().isEmpty());
    dorvex::app::applyTheme(*qApp);
    const QByteArray sheet = resource(QStringLiteral(":/theme.qss"));
    ASSERT_FALSE(sheet.isEmpty());
    EXPECT_EQ(qApp->styleSheet(), QString::fromUtf8(sheet));
    EXPECT_FALSE(qApp->windowIcon().isNull());

    // The style actually reaches widgets: a heading label takes the gold title colour.
    QWidget host;
    auto* heading = new QLabel(QStringLiteral("Title"), &host);
    heading->setProperty("role", QStringLiteral("heading"));
    host.ensurePolished();
    heading->ensurePolished();
    EXPECT_EQ(heading->palette().color(QPalette::WindowText), QColor(QStringLiteral("#F0D57A")));
}

TEST_F(ThemeTest, StyleSheetCarriesEveryThemedSelector)
{
    const QString sheet = QString::fromUtf8(resource(QStringLiteral(":/theme.qss")));
    for (const char* selector :
         {"QMainWindow, QDialog, QWidget", "QLabel[role=\"heading\"]", "QLabel[role=\"subtext\"]",
          "QFrame#plate, QWidget#plate", "QPushButton:hover", "QPushButton:disabled", "QPushButton[accent=\"true\"]",
          "QPushButton[accent=\"true\"]:disabled", "QLineEdit:focus", "QLineEdit:read-only", "QTableWidget",
          "QHeaderView::section", "QTabWidget::pane", "QTabBar::tab:selected", "QMenuBar::item:selected",
          "QMenu::item:selected", "QScrollBar::handle:vertical"})
        EXPECT_TRUE(sheet.contains(QLatin1String(selector))) << selector;
}

TEST_F(ThemeTest, OutlineIconsFollowTheHouseStyle)
{
    for (const char* name : {"key", "lock", "copy", "import", "export", "remove", "user-plus", "check-shield"}) {
        const QString path = QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name));
        const QByteArray svg = resource(path);
        ASSERT_FALSE(svg.isEmpty()) << name;
        EXPECT_TRUE(svg.contains("viewBox=\"0 0 24 24\"")) << name;
        EXPECT_TRUE(svg.contains("fill=\"none\"")) << name;
        EXPECT_TRUE(svg.contains("stroke=\"#D4AF37\"")) << name;
        EXPECT_TRUE(svg.contains("stroke-width=\"1.6\"")) << name;
        EXPECT_TRUE(svg.contains("stroke-linecap=\"round\"")) << name;
        EXPECT_TRUE(svg.contains("stroke-linejoin=\"round\"")) << name;
        EXPECT_FALSE(QIcon(path).pixmap(24, 24).isNull()) << name;
    }
    const QByteArray app = resource(QStringLiteral(":/icons/app.svg"));
    EXPECT_TRUE(app.contains("viewBox=\"0 0 48 48\""));
    EXPECT_TRUE(app.contains("linearGradient"));
}

TEST(DialogHeaderTest, IconStaysFortyPixelsWhateverTheTitleLength)
{
    for (const QString& title : {QStringLiteral("Help"), QString(400, QLatin1Char('W'))}) {
        QWidget parent;
        auto* layout = new QVBoxLayout(&parent);
        QWidget* header = buildDialogHeader(&parent, QStringLiteral(":/icons/key.svg"), title, QStringLiteral("Sub"));
        layout->addWidget(header);
        EXPECT_EQ(header->parentWidget(), &parent);
        parent.resize(300, 200);
        parent.show();
        QApplication::processEvents();

        const QList<QLabel*> labels = header->findChildren<QLabel*>();
        ASSERT_EQ(labels.size(), 3);
        EXPECT_EQ(labels[0]->size(), QSize(40, 40));
        EXPECT_EQ(labels[0]->pixmap().size(), QSize(40, 40));
        EXPECT_EQ(labels[1]->text(), title);
        EXPECT_EQ(labels[1]->property("role").toString(), QStringLiteral("heading"));
        EXPECT_EQ(labels[2]->text(), QStringLiteral("Sub"));
        EXPECT_EQ(labels[2]->property("role").toString(), QStringLiteral("subtext"));
        // Ten pixels between the icon and the text column.
        EXPECT_EQ(labels[1]->geometry().left() - labels[0]->geometry().right() - 1, 10);
    }
}

TEST(QrCodeTest, PixmapMatchesTheSymbolModuleForModule)
{
    // 20 bytes in byte mode at MEDIUM need version 2: 25 modules.
    const QString text = QStringLiteral("otpauth://totp/abcde");
    const qrcodegen::QrCode reference = qrcodegen::QrCode::encodeText(text.toUtf8().constData(),
                                                                      qrcodegen::QrCode::Ecc::MEDIUM);
    ASSERT_EQ(reference.getSize(), 25);

    const int scale = 6;
    const QImage image = renderQrCode(text, scale).toImage();
    ASSERT_EQ(image.size(), QSize(198, 198));
    const QRgb white = qRgb(255, 255, 255);
    const QRgb black = qRgb(0, 0, 0);
    for (int y = 0; y < 198; ++y) {
        for (int x = 0; x < 198; ++x) {
            const bool quiet = x < 24 || y < 24 || x >= 174 || y >= 174;
            const QRgb pixel = image.pixel(x, y) & 0xFFFFFF;
            if (quiet) {
                ASSERT_EQ(pixel, white & 0xFFFFFF) << x << "," << y;
                continue;
            }
            const bool dark = reference.getModule(x / scale - 4, y / scale - 4);
            ASSERT_EQ(pixel, (dark ? black : white) & 0xFFFFFF) << x << "," << y;
        }
    }
}

TEST(QrCodeTest, ScaleSetsPixelsPerModuleAndOversizedTextThrows)
{
    const QPixmap one = renderQrCode(QStringLiteral("otpauth://totp/abcde"), 1);
    EXPECT_EQ(one.size(), QSize(33, 33));
    EXPECT_THROW((void)renderQrCode(QString(4000, QLatin1Char('a')), 6), std::length_error);
}

}  // namespace
