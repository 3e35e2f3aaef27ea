#pragma once

#include <QFont>

class QWidget;

/** The ten text styles of the theme. */
enum class OrvaneFontStyle {
    displayLarge,
    displayMedium,
    headlineMedium,
    headlineSmall,
    titleLarge,
    titleMedium,
    bodyLarge,
    bodyMedium,
    labelMedium,
    labelSmall,
};

/** What one style sets, in points. */
struct OrvaneTextStyle {
    int size;
    QFont::Weight weight;
    /** Added between the lines of a multi-line text (line height minus font size). */
    int lineSpacing;
    /** Extra space after each character: size times the style's factor. */
    qreal tracking;
    bool upperCase;

    bool operator==(const OrvaneTextStyle&) const = default;
};

OrvaneTextStyle orvaneTextStyle(OrvaneFontStyle style);

/** The system font in the style's size, weight and tracking, upper-cased for the label styles. */
QFont orvaneSystemFont(OrvaneFontStyle style);

/**
 * Applies the style to the widget and everything inside it: the font (with tracking and case)
 * and, on the OrvaneLabels among them, the extra line spacing.
 */
void orvaneFont(QWidget* widget, OrvaneFontStyle style);
