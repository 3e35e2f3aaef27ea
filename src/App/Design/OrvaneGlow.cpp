#include "App/Design/OrvaneGlow.h"

#include <QGraphicsDropShadowEffect>
#include <QWidget>

void orvaneGlow(QWidget* widget, const QColor& color, qreal radius)
{
    if (!widget)
        return;
    auto* glow = qobject_cast<QGraphicsDropShadowEffect*>(widget->graphicsEffect());
    if (!glow) {
        glow = new QGraphicsDropShadowEffect(widget);
        widget->setGraphicsEffect(glow);
    }
    // Qt's blur radius spans the whole fall-off, about twice the radius of a shadow in points,
    // and it is counted in device pixels.
    glow->setBlurRadius(2 * radius * widget->devicePixelRatioF());
    glow->setOffset(0, 0);
    glow->setColor(color);
}
