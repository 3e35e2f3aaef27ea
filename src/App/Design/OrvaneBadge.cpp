#include "App/Design/OrvaneBadge.h"

#include "App/Design/Colors.h"

#include <QPainter>
#include <QPainterPath>

namespace {

// Width to height of the shield.
constexpr qreal aspectRatio = 0.86;

// The shield in a unit square, drawn as a path so that it scales to any size.
QPainterPath shield(const QRectF& r)
{
    auto at = [&r](qreal x, qreal y) {
        return QPointF(r.left() + x * r.width(), r.top() + y * r.height());
    };
    QPainterPath path;
    path.moveTo(at(0.5, 0.0));
    path.cubicTo(at(0.66, 0.10), at(0.84, 0.14), at(1.0, 0.15));
    path.lineTo(at(1.0, 0.46));
    path.cubicTo(at(1.0, 0.74), at(0.78, 0.90), at(0.5, 1.0));
    path.cubicTo(at(0.22, 0.90), at(0.0, 0.74), at(0.0, 0.46));
    path.lineTo(at(0.0, 0.15));
    path.cubicTo(at(0.16, 0.14), at(0.34, 0.10), at(0.5, 0.0));
    path.closeSubpath();
    return path;
}

QPainterPath checkMark(const QRectF& r)
{
    auto at = [&r](qreal x, qreal y) {
        return QPointF(r.left() + x * r.width(), r.top() + y * r.height());
    };
    QPainterPath path;
    path.moveTo(at(0.27, 0.50));
    path.lineTo(at(0.44, 0.66));
    path.lineTo(at(0.74, 0.36));
    return path;
}

QRectF fitted(const QRectF& rect)
{
    const qreal height = std::min(rect.height(), rect.width() / aspectRatio);
    const qreal width = height * aspectRatio;
    return {rect.center().x() - width / 2, rect.center().y() - height / 2, width, height};
}

QPen markPen(const QRectF& shieldRect, const QColor& color)
{
    QPen pen(color, shieldRect.width() * 0.13);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

} // namespace

QPixmap OrvaneBadge::pixmap(int size, const QColor& color, qreal devicePixelRatio)
{
    QPixmap pixmap(QSize(size, size) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF r = fitted(QRectF(0, 0, size, size));
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawPath(shield(r));
    // The mark is a hole in the shield, like a filled symbol's.
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(markPen(r, Qt::black));
    painter.drawPath(checkMark(r));
    painter.end();
    return pixmap;
}

QIcon OrvaneBadge::trayIcon()
{
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal edge = std::max(1.0, size / 16.0);
        const QRectF r = fitted(QRectF(0, 0, size, size).adjusted(edge, edge, -edge, -edge));
        painter.setPen(QPen(orvaneOnPrimary, edge));
        painter.setBrush(orvanePrimary);
        painter.drawPath(shield(r));
        painter.setBrush(Qt::NoBrush);
        painter.setPen(markPen(r, orvaneOnPrimary));
        painter.drawPath(checkMark(r));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
