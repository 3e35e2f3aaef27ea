#include "App/Views/ProgressSpinner.h"

#include "App/Design/Colors.h"

#include <QPainter>
#include <QVariantAnimation>

namespace {

constexpr int diameter = 16;
constexpr int turnMs = 1000;

} // namespace

ProgressSpinner::ProgressSpinner(QWidget* parent)
    : QWidget(parent), m_rotation(new QVariantAnimation(this))
{
    setFixedSize(diameter, diameter);
    m_rotation->setStartValue(0.0);
    m_rotation->setEndValue(360.0);
    m_rotation->setDuration(turnMs);
    m_rotation->setLoopCount(-1);
    connect(m_rotation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_angle = value.toReal();
        update();
    });
}

QSize ProgressSpinner::sizeHint() const
{
    return {diameter, diameter};
}

bool ProgressSpinner::isSpinning() const
{
    return m_rotation->state() == QAbstractAnimation::Running;
}

void ProgressSpinner::showEvent(QShowEvent*)
{
    m_rotation->start();
}

void ProgressSpinner::hideEvent(QHideEvent*)
{
    m_rotation->stop();
}

void ProgressSpinner::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal width = 2;
    const QRectF ring = QRectF(rect()).adjusted(width, width, -width, -width);
    QColor track = orvaneOnSurfaceVariant;
    track.setAlphaF(0.2);
    painter.setPen(QPen(track, width));
    painter.drawEllipse(ring);
    QPen arc(orvaneOnSurfaceVariant, width);
    arc.setCapStyle(Qt::RoundCap);
    painter.setPen(arc);
    // Angles in sixteenths of a degree, counter-clockwise from three o'clock.
    painter.drawArc(ring, static_cast<int>(-m_angle * 16), 90 * 16);
}
