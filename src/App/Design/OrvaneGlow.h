#pragma once

#include <QColor>

class QWidget;

/**
 * Draws a soft shadow of the colour, without offset, behind the widget, so that it glows.
 * radius is the blur radius in points; the glow may spill outside the widget's rectangle.
 */
void orvaneGlow(QWidget* widget, const QColor& color, qreal radius);
