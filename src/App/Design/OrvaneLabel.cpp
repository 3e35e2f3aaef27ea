#include "App/Design/OrvaneLabel.h"

#include <QPainter>
#include <QStyle>
#include <QTextLayout>

#include <cmath>

namespace {

// Wide enough for any single line of the panel's texts.
constexpr qreal unbounded = 1e6;

} // namespace

OrvaneLabel::OrvaneLabel(QWidget* parent) : OrvaneLabel(QString(), parent) {}

OrvaneLabel::OrvaneLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeading | Qt::AlignTop);
}

void OrvaneLabel::setExtraLineSpacing(int points)
{
    if (points == m_extraLineSpacing)
        return;
    m_extraLineSpacing = points;
    updateGeometry();
    update();
}

QSizeF OrvaneLabel::layOut(QTextLayout& layout, qreal width) const
{
    QTextOption option(QStyle::visualAlignment(layoutDirection(), alignment()) &
                       Qt::AlignHorizontal_Mask);
    option.setWrapMode(wordWrap() ? QTextOption::WrapAtWordBoundaryOrAnywhere
                                  : QTextOption::NoWrap);
    option.setTextDirection(layoutDirection());
    layout.setTextOption(option);
    layout.setFont(font());

    qreal y = 0;
    qreal widest = 0;
    int lines = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLeadingIncluded(true);
        line.setLineWidth(width);
        if (lines++ > 0)
            y += m_extraLineSpacing;
        line.setPosition(QPointF(0, y));
        y += line.height();
        widest = std::max(widest, line.naturalTextWidth());
    }
    layout.endLayout();
    if (lines == 0)
        y = QFontMetricsF(font()).height();
    return {widest, y};
}

QSize OrvaneLabel::margins() const
{
    const QMargins m = contentsMargins();
    return {m.left() + m.right(), m.top() + m.bottom()};
}

QSize OrvaneLabel::sizeHint() const
{
    QTextLayout layout(text());
    const QSizeF natural = layOut(layout, unbounded);
    const int width = static_cast<int>(std::ceil(natural.width()));
    if (!wordWrap())
        return QSize(width, static_cast<int>(std::ceil(natural.height()))) + margins();
    return QSize(width + margins().width(), heightForWidth(width + margins().width()));
}

QSize OrvaneLabel::minimumSizeHint() const
{
    if (!wordWrap())
        return sizeHint();
    // A wrapped text takes any width it is given; its height follows from heightForWidth.
    return QSize(0, static_cast<int>(std::ceil(QFontMetricsF(font()).height()))) + margins();
}

int OrvaneLabel::heightForWidth(int width) const
{
    if (!wordWrap())
        return sizeHint().height();
    QTextLayout layout(text());
    const qreal available = std::max(1, width - margins().width());
    return static_cast<int>(std::ceil(layOut(layout, available).height())) + margins().height();
}

void OrvaneLabel::paintEvent(QPaintEvent*)
{
    const QRect area = contentsRect();
    QTextLayout layout(text());
    const QSizeF size = layOut(layout, area.width());
    qreal top = area.top();
    if (alignment() & Qt::AlignVCenter)
        top += (area.height() - size.height()) / 2;
    else if (alignment() & Qt::AlignBottom)
        top += area.height() - size.height();

    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    layout.draw(&painter, QPointF(area.left(), top));
}
