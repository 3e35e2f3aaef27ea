#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

/** The product's badge: a filled shield with a check mark cut out, drawn by the program. */
class OrvaneBadge {
public:
    /** The badge on a transparent pixmap of size × size logical pixels; the mark is see-through. */
    static QPixmap pixmap(int size, const QColor& color, qreal devicePixelRatio = 1.0);

    /** The tray item's icon: the badge with a light edge and mark, readable on any panel. */
    static QIcon trayIcon();
};
