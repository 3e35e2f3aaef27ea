#include "App/Views/MenuBarView.h"

#include "App/Design/Colors.h"
#include "App/Design/OrvaneBadge.h"
#include "App/Design/OrvaneLabel.h"
#include "App/Design/Typography.h"
#include "App/Views/PlainButton.h"
#include "App/Views/RootView.h"
#include "App/Views/Status/StatusView.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace {

constexpr int badgeSize = 26;
constexpr int topInset = 24;
constexpr int sideInset = 24;
constexpr int bottomInset = 16;
constexpr int spacing = 16;

OrvaneLabel* text(const QString& content, const char* name, OrvaneFontStyle style,
                  const QColor& color, QWidget* parent)
{
    auto* label = new OrvaneLabel(content, parent);
    label->setObjectName(QString::fromLatin1(name));
    orvaneFont(label, style);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

PlainButton* link(const QString& content, const char* name, const QColor& color, QWidget* parent)
{
    auto* button = new PlainButton(content, parent);
    button->setObjectName(QString::fromLatin1(name));
    orvaneFont(button, OrvaneFontStyle::bodyMedium);
    button->setTextColor(color);
    return button;
}

} // namespace

MenuBarView::MenuBarView(AuthStore& auth, DeviceStatusStore& status, const Clock& clock,
                         const QString& dashboardAddress, QWidget* parent)
    : QWidget(parent), m_dashboardAddress(dashboardAddress),
      m_root(new RootView(auth, status, clock, this))
{
    setObjectName(QStringLiteral("menuBarView"));
    setFixedSize(panelSize);
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, orvaneSurface);
    setPalette(background);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);

    // The content's glow room comes out of the panel's insets and the space below the header;
    // header and footer keep to the insets.
    const QMargins room(StatusView::glowRoom, 0, StatusView::glowRoom, 0);
    auto* header = new QHBoxLayout;
    header->setContentsMargins(room);
    header->setSpacing(12);
    auto* badge = new QLabel(this);
    badge->setObjectName(QStringLiteral("badge"));
    badge->setPixmap(OrvaneBadge::pixmap(badgeSize, orvanePrimary, devicePixelRatioF()));
    badge->setFixedSize(badgeSize, badgeSize);
    header->addWidget(badge, 0, Qt::AlignVCenter);
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    names->addWidget(
        text(tr("Orvane"), "productName", OrvaneFontStyle::titleMedium, orvaneOnSurface, this));
    names->addWidget(text(tr("MAC AGENT"), "productSubtitle", OrvaneFontStyle::labelSmall,
                          orvaneOnSurfaceVariant, this));
    header->addLayout(names);
    header->addStretch(1);
    layout->addLayout(header);

    layout->addSpacing(spacing - StatusView::glowRoom);
    layout->addWidget(m_root, 1);
    layout->addSpacing(spacing);
    layout->addStretch(1);
    layout->addSpacing(spacing);

    auto* footer = new QVBoxLayout;
    footer->setContentsMargins(room);
    footer->setSpacing(8);
    auto* dashboard = link(tr("Open Orvane dashboard"), "dashboardButton", orvanePrimary, this);
    connect(dashboard, &PlainButton::clicked, this, &MenuBarView::openDashboard);
    footer->addWidget(dashboard, 0, Qt::AlignLeading);
    auto* quit = link(tr("Quit Orvane"), "quitButton", orvaneOnSurfaceVariant, this);
    quit->setToolTip(tr("Quitting the menu-bar UI. The background helper keeps running."));
    // Ends this program only; the helper is a process of its own.
    connect(quit, &PlainButton::clicked, qApp, &QCoreApplication::quit);
    footer->addWidget(quit, 0, Qt::AlignLeading);
    layout->addLayout(footer);

    fitContent();
}

void MenuBarView::fitContent()
{
    // The stack is centred in the panel's fixed size: a column wider than the insets leave (the
    // six digit boxes) takes from the side insets, and one taller than the panel (pairing with
    // a long error) from the top and bottom ones, as much as it needs.
    QLayout* stack = layout();
    const int room = StatusView::glowRoom;
    const int column =
        std::max(panelSize.width() - 2 * sideInset, m_root->minimumSizeHint().width() - 2 * room);
    const int side = std::clamp((panelSize.width() - column) / 2, room, sideInset);
    stack->setContentsMargins(side - room, topInset, side - room, bottomInset);
    const int excess = stack->totalHeightForWidth(panelSize.width()) - panelSize.height();
    const int top = topInset - std::clamp((excess + 1) / 2, 0, topInset);
    const int bottom = bottomInset - std::clamp(excess / 2, 0, bottomInset);
    stack->setContentsMargins(side - room, top, side - room, bottom);
}

bool MenuBarView::event(QEvent* event)
{
    if (event->type() == QEvent::LayoutRequest)
        fitContent();
    return QWidget::event(event);
}

void MenuBarView::openDashboard()
{
    const QUrl url(m_dashboardAddress, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return;
    QDesktopServices::openUrl(url);
}
