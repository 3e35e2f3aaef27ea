#include "App/Design/OrvaneCard.h"

#include "App/Design/Colors.h"
#include "App/Design/Spacing.h"

#include <QPainter>
#include <QVBoxLayout>

OrvaneCard::OrvaneCard(QWidget* content, QWidget* parent) : QWidget(parent), m_content(content)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(OrvaneCardPadding::horizontal, OrvaneCardPadding::top,
                               OrvaneCardPadding::horizontal, OrvaneCardPadding::bottom);
    layout->setSpacing(0);
    if (content)
        layout->addWidget(content);
}

void OrvaneCard::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(orvaneSurfaceContainerLowest);
    painter.drawRoundedRect(QRectF(rect()), OrvaneRadius::xl, OrvaneRadius::xl);
}

OrvaneCard* orvaneCard(QWidget* content)
{
    return new OrvaneCard(content);
}
