#include "App/Design/Typography.h"

#include "App/Design/OrvaneLabel.h"

#include <QFontDatabase>
#include <QWidget>

namespace {

constexpr qreal labelTrackingFactor = 0.02;

OrvaneTextStyle plain(int size, QFont::Weight weight, int lineSpacing)
{
    return {size, weight, lineSpacing, 0.0, false};
}

OrvaneTextStyle label(int size, QFont::Weight weight, int lineSpacing)
{
    return {size, weight, lineSpacing, size * labelTrackingFactor, true};
}

} // namespace

OrvaneTextStyle orvaneTextStyle(OrvaneFontStyle style)
{
    switch (style) {
    case OrvaneFontStyle::displayLarge:
        return plain(57, QFont::DemiBold, 7);
    case OrvaneFontStyle::displayMedium:
        return plain(45, QFont::DemiBold, 7);
    case OrvaneFontStyle::headlineMedium:
        return plain(28, QFont::DemiBold, 8);
    case OrvaneFontStyle::headlineSmall:
        return plain(24, QFont::DemiBold, 8);
    case OrvaneFontStyle::titleLarge:
        return plain(22, QFont::DemiBold, 6);
    case OrvaneFontStyle::titleMedium:
        return plain(16, QFont::DemiBold, 8);
    case OrvaneFontStyle::bodyLarge:
        return plain(16, QFont::Normal, 8);
    case OrvaneFontStyle::bodyMedium:
        return plain(14, QFont::Normal, 6);
    case OrvaneFontStyle::labelMedium:
        return label(12, QFont::DemiBold, 4);
    case OrvaneFontStyle::labelSmall:
        return label(11, QFont::Medium, 5);
    }
    return plain(14, QFont::Normal, 6);
}

QFont orvaneSystemFont(OrvaneFontStyle style)
{
    const OrvaneTextStyle s = orvaneTextStyle(style);
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    // Points of the theme are device-independent pixels, as on the panel's home platform.
    font.setPixelSize(s.size);
    font.setWeight(s.weight);
    font.setLetterSpacing(QFont::AbsoluteSpacing, s.tracking);
    // The case is a matter of display: the text itself keeps the case it was written in.
    font.setCapitalization(s.upperCase ? QFont::AllUppercase : QFont::MixedCase);
    return font;
}

void orvaneFont(QWidget* widget, OrvaneFontStyle style)
{
    if (!widget)
        return;
    widget->setFont(orvaneSystemFont(style));
    const int lineSpacing = orvaneTextStyle(style).lineSpacing;
    if (auto* label = qobject_cast<OrvaneLabel*>(widget))
        label->setExtraLineSpacing(lineSpacing);
    for (auto* label : widget->findChildren<OrvaneLabel*>())
        label->setExtraLineSpacing(lineSpacing);
}
