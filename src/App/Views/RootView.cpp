#include "App/Views/RootView.h"

#include "App/Views/Onboarding/PairDeviceView.h"
#include "App/Views/ProgressSpinner.h"
#include "App/Views/Status/StatusView.h"
#include "Services/AuthStore.h"

#include <QVBoxLayout>

RootView::RootView(AuthStore& auth, DeviceStatusStore& status, const Clock& clock, QWidget* parent)
    : QWidget(parent), m_auth(auth), m_status(status), m_clock(clock),
      m_layout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("rootView"));
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
    m_bootstrappingSubscription = m_auth.isBootstrapping().subscribe([this](bool) { redraw(); });
    m_enrolledSubscription = m_auth.enrolled().subscribe([this](bool) { redraw(); });
}

void RootView::redraw()
{
    const Choice choice = m_auth.isBootstrapping().get() ? Choice::progress
                          : m_auth.enrolled().get()      ? Choice::status
                                                         : Choice::pairing;
    if (choice == m_shown)
        return;
    m_shown = choice;
    while (QLayoutItem* item = m_layout->takeAt(0))
        delete item;
    if (m_content) {
        // Later: this may run while the old content is still on the call stack.
        m_content->hide();
        m_content->deleteLater();
    }
    switch (choice) {
    case Choice::progress:
        m_content = new ProgressSpinner(this);
        m_content->setObjectName(QStringLiteral("progressIndicator"));
        m_layout->addWidget(m_content, 0, Qt::AlignLeading);
        break;
    case Choice::status:
        m_content = new StatusView(m_auth, m_status, m_clock, this);
        m_layout->addWidget(m_content);
        break;
    case Choice::pairing:
    case Choice::none:
        m_content = new PairDeviceView(m_auth, this);
        m_layout->addWidget(m_content);
        break;
    }
    // Only the status grows into the panel's free height; the others keep their own at the top.
    // The status view keeps room for its glow inside; the others get the same room here, so
    // that every content lines up with the header.
    if (choice != Choice::status)
        m_layout->addStretch(1);
    const int room = choice == Choice::status ? 0 : StatusView::glowRoom;
    m_layout->setContentsMargins(room, room, room, 0);
    if (isVisible())
        m_content->show();
}
