#include "App/Design/Colors.h"
#include "App/Design/OrvaneCard.h"
#include "App/Design/OrvaneGlow.h"
#include "App/Design/OrvaneLabel.h"
#include "App/Design/Spacing.h"
#include "App/Design/Typography.h"

#include <QFontMetricsF>
#include <QImage>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

QImage render(QWidget& widget)
{
    widget.ensurePolished();
    widget.resize(widget.sizeHint());
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

TEST(Colors, AreTheOpaqueSrgbValuesOfThePalette)
{
    const struct {
        const char* name;
        QColor color;
        const char* hex;
    } cases[] = {
        {"primary", orvanePrimary, "#1a237e"},
        {"primaryContainer", orvanePrimaryContainer, "#3949ab"},
        {"secondary", orvaneSecondary, "#00bfa5"},
        {"tertiary", orvaneTertiary, "#ffc107"},
        {"surface", orvaneSurface, "#fafafc"},
        {"surfaceContainerLowest", orvaneSurfaceContainerLowest, "#ffffff"},
        {"surfaceContainerLow", orvaneSurfaceContainerLow, "#f4f5f8"},
        {"surfaceContainer", orvaneSurfaceContainer, "#eef0f4"},
        {"surfaceContainerHigh", orvaneSurfaceContainerHigh, "#e8eaf0"},
        {"surfaceContainerHighest", orvaneSurfaceContainerHighest, "#e1e4eb"},
        {"surfaceDim", orvaneSurfaceDim, "#d9dadb"},
        {"surfaceBright", orvaneSurfaceBright, "#ffffff"},
        {"onSurface", orvaneOnSurface, "#191c1d"},
        {"onSurfaceVariant", orvaneOnSurfaceVariant, "#44474a"},
        {"onPrimary", orvaneOnPrimary, "#ffffff"},
        {"outlineVariant", orvaneOutlineVariant, "#c4c7ce"},
        {"success", orvaneSuccess, "#00a67e"},
        {"danger", orvaneDanger, "#e53935"},
        {"warning", orvaneWarning, "#ffb300"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.color.toRgb(), c.color); // held as plain sRGB
        EXPECT_EQ(c.color.alpha(), 255);
        EXPECT_EQ(c.color.name().toStdString(), c.hex);
    }
}

TEST(Typography, StylesFollowTheScale)
{
    const struct {
        OrvaneFontStyle style;
        OrvaneTextStyle expected;
    } cases[] = {
        {OrvaneFontStyle::displayLarge, {57, QFont::DemiBold, 7, 0, false}},
        {OrvaneFontStyle::displayMedium, {45, QFont::DemiBold, 7, 0, false}},
        {OrvaneFontStyle::headlineMedium, {28, QFont::DemiBold, 8, 0, false}},
        {OrvaneFontStyle::headlineSmall, {24, QFont::DemiBold, 8, 0, false}},
        {OrvaneFontStyle::titleLarge, {22, QFont::DemiBold, 6, 0, false}},
        {OrvaneFontStyle::titleMedium, {16, QFont::DemiBold, 8, 0, false}},
        {OrvaneFontStyle::bodyLarge, {16, QFont::Normal, 8, 0, false}},
        {OrvaneFontStyle::bodyMedium, {14, QFont::Normal, 6, 0, false}},
        {OrvaneFontStyle::labelMedium, {12, QFont::DemiBold, 4, 0.24, true}},
        {OrvaneFontStyle::labelSmall, {11, QFont::Medium, 5, 0.22, true}},
    };
    for (const auto& c : cases) {
        const OrvaneTextStyle s = orvaneTextStyle(c.style);
        SCOPED_TRACE(s.size);
        EXPECT_EQ(s.size, c.expected.size);
        EXPECT_EQ(s.weight, c.expected.weight);
        EXPECT_EQ(s.lineSpacing, c.expected.lineSpacing);
        EXPECT_DOUBLE_EQ(s.tracking, c.expected.tracking);
        EXPECT_EQ(s.upperCase, c.expected.upperCase);

        const QFont font = orvaneSystemFont(c.style);
        EXPECT_EQ(font.pixelSize(), c.expected.size);
        EXPECT_EQ(font.weight(), c.expected.weight);
        EXPECT_EQ(font.letterSpacingType(), QFont::AbsoluteSpacing);
        // QFont keeps the spacing in 1/64 pixel.
        EXPECT_NEAR(font.letterSpacing(), c.expected.tracking, 1.0 / 64);
    }
}

TEST(Typography, LabelStyleShowsMixedCaseInUpperCaseAndBodyKeepsIt)
{
    OrvaneLabel written(QStringLiteral("Mac Agent"));
    OrvaneLabel upper(QStringLiteral("MAC AGENT"));
    orvaneFont(&written, OrvaneFontStyle::labelSmall);
    orvaneFont(&upper, OrvaneFontStyle::labelSmall);
    EXPECT_EQ(written.text(), QStringLiteral("Mac Agent")); // the text keeps its case
    EXPECT_EQ(render(written), render(upper));

    OrvaneLabel body(QStringLiteral("Mac Agent"));
    OrvaneLabel bodyUpper(QStringLiteral("MAC AGENT"));
    orvaneFont(&body, OrvaneFontStyle::bodyMedium);
    orvaneFont(&bodyUpper, OrvaneFontStyle::bodyMedium);
    EXPECT_NE(render(body), render(bodyUpper));
    EXPECT_EQ(body.font().capitalization(), QFont::MixedCase);
    EXPECT_EQ(body.font().letterSpacing(), 0);
}

TEST(Typography, ExtraLineSpacingGoesBetweenLinesOnly)
{
    QWidget holder;
    auto* label = new OrvaneLabel(QStringLiteral("one"), &holder);
    label->setWordWrap(true);
    orvaneFont(&holder, OrvaneFontStyle::bodyMedium); // reaches labels inside the widget
    ASSERT_EQ(label->extraLineSpacing(), 6);

    const QFontMetricsF metrics(label->font());
    const int oneLine = label->heightForWidth(200);
    EXPECT_NEAR(oneLine, metrics.height() + metrics.leading(), 1.0);

    const QString word = QStringLiteral("word");
    label->setText(word + QLatin1Char(' ') + word);
    const int narrow = qCeil(metrics.horizontalAdvance(word)) + 2;
    EXPECT_EQ(label->heightForWidth(narrow), 2 * oneLine + 6);
    EXPECT_EQ(label->heightForWidth(200), oneLine);
}

TEST(Decorations, GlowShinesAroundTheWidgetWithoutOffset)
{
    QWidget parent;
    parent.setFixedSize(40, 40);
    parent.setAutoFillBackground(true);
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, Qt::white);
    parent.setPalette(palette);
    auto* dot = new QWidget(&parent);
    dot->setGeometry(15, 15, 10, 10);
    dot->setAutoFillBackground(true);
    QPalette red = dot->palette();
    red.setColor(QPalette::Window, orvaneDanger);
    dot->setPalette(red);
    orvaneGlow(dot, orvaneDanger, 4);

    const QImage image = parent.grab().toImage();
    const QColor left = image.pixelColor(13, 20);
    const QColor right = image.pixelColor(26, 20);
    const QColor above = image.pixelColor(20, 13);
    const QColor below = image.pixelColor(20, 26);
    for (const QColor& c : {left, right, above, below}) {
        EXPECT_LT(c.green(), 250) << "no glow beside the widget";
        EXPECT_GT(c.red(), c.green()) << "the glow has the given colour";
    }
    // No offset: the glow is the same on opposite sides.
    EXPECT_NEAR(left.green(), right.green(), 24);
    EXPECT_NEAR(above.green(), below.green(), 24);
    EXPECT_EQ(image.pixelColor(2, 2), QColor(Qt::white));
}

TEST(Decorations, CardInsetsItsContentOnTheLowestSurface)
{
    QWidget background;
    background.setAutoFillBackground(true);
    QPalette palette = background.palette();
    palette.setColor(QPalette::Window, Qt::black);
    background.setPalette(palette);
    auto* layout = new QVBoxLayout(&background);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* content = new QWidget;
    content->setFixedSize(100, 50);
    OrvaneCard* card = orvaneCard(content);
    layout->addWidget(card);
    background.show();

    EXPECT_EQ(card->size(), QSize(100 + 2 * OrvaneCardPadding::horizontal,
                                  50 + OrvaneCardPadding::top + OrvaneCardPadding::bottom));
    EXPECT_EQ(content->pos(), QPoint(OrvaneCardPadding::horizontal, OrvaneCardPadding::top));
    const QImage image = background.grab().toImage();
    EXPECT_EQ(image.pixelColor(OrvaneRadius::xl, 1), orvaneSurfaceContainerLowest);
    EXPECT_EQ(image.pixelColor(1, 1), QColor(Qt::black)); // outside the rounded corner
}
