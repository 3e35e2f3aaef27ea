#include "App/Views/PlainButton.h"

#include <QPainter>
#include <QStyle>

#include <cmath>

namespace {

// How much a pressed button fades, so a click shows without chrome.
constexpr qreal pressedOpacity = 0.6;

} // namespace

PlainButton::PlainButton(const QString& text, QWidget* parent) : QAbstractButton(parent)
{
    setText(text);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void PlainButton::setTextColor(const QColor& color)
{
    m_textColor = color;
    update();
}

void PlainButton::setFill(std::optional<QColor> color)
{
    m_fill = color;
    update();
}

void PlainButton::setCornerRadius(qreal radius)
{
    m_cornerRadius = radius;
    update();
}

void PlainButton::setVerticalPadding(int padding)
{
    m_verticalPadding = padding;
    updateGeometry();
    update();
}

void PlainButton::setTextAlignment(Qt::Alignment alignment)
{
    m_textAlignment = alignment & Qt::AlignHorizontal_Mask;
    update();
}

QSize PlainButton::sizeHint() const
{
    const QFontMetricsF metrics(font());
    return {static_cast<int>(std::ceil(metrics.horizontalAdvance(text()))),
            static_cast<int>(std::ceil(metrics.height())) + 2 * m_verticalPadding};
}

void PlainButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown())
        painter.setOpacity(pressedOpacity);
    if (m_fill) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(*m_fill);
        // Qt clamps the radius to half the shorter side, so a large one draws a capsule.
        painter.drawRoundedRect(QRectF(rect()), m_cornerRadius, m_cornerRadius);
    }
    painter.setPen(m_textColor);
    painter.setFont(font());
    const Qt::Alignment alignment = QStyle::visualAlignment(layoutDirection(), m_textAlignment);
    painter.drawText(rect().adjusted(0, m_verticalPadding, 0, -m_verticalPadding),
                     alignment | Qt::AlignVCenter | Qt::TextSingleLine, text());
}
