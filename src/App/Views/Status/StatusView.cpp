#include "App/Views/Status/StatusView.h"

#include "App/Design/Colors.h"
#include "App/Design/OrvaneGlow.h"
#include "App/Design/OrvaneLabel.h"
#include "App/Design/Typography.h"
#include "App/Views/PlainButton.h"
#include "Services/AuthStore.h"
#include "Services/DeviceStatusStore.h"
#include "Support/Clock.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/reldatefmt.h>
#include <unicode/unistr.h>

#include <memory>

namespace {

constexpr int dotSize = 10;
constexpr qreal glowRadius = 4;

/** The filled circle of the chip. */
class StatusDot : public QWidget {
public:
    explicit StatusDot(QWidget* parent) : QWidget(parent) { setFixedSize(dotSize, dotSize); }

    void setColor(const QColor& color)
    {
        if (color == m_color)
            return;
        m_color = color;
        orvaneGlow(this, color, glowRadius);
        update();
    }
    [[nodiscard]] QColor color() const { return m_color; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_color);
        painter.drawEllipse(QRectF(rect()));
    }

private:
    QColor m_color;
};

QColor dotColor(const DeviceStatusStore::Status& status)
{
    if (status.as<DeviceStatusStore::Status::Paused>())
        return orvaneWarning;
    if (status.as<DeviceStatusStore::Status::Protected>())
        return orvaneSuccess;
    if (status.as<DeviceStatusStore::Status::Offline>())
        return orvaneDanger;
    return orvaneOnSurfaceVariant;
}

QString fromIcu(const icu::UnicodeString& text)
{
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}

UDate toIcu(const QDateTime& instant)
{
    return static_cast<UDate>(instant.toMSecsSinceEpoch());
}

/** One short-style formatter in the user's locale for every status view; main thread. */
icu::RelativeDateTimeFormatter* relativeFormatter()
{
    static const std::unique_ptr<icu::RelativeDateTimeFormatter> formatter = [] {
        UErrorCode status = U_ZERO_ERROR;
        auto made = std::make_unique<icu::RelativeDateTimeFormatter>(
            icu::Locale::getDefault(), nullptr, UDAT_STYLE_SHORT, UDISPCTX_CAPITALIZATION_NONE,
            status);
        return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    return formatter.get();
}

icu::DateFormat* hourMinuteFormat()
{
    static const std::unique_ptr<icu::DateFormat> format = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::DateFormat> made(icu::DateFormat::createInstanceForSkeleton(
            icu::UnicodeString::fromUTF8("jmm"), icu::Locale::getDefault(), status));
        return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    return format.get();
}

/**
 * The largest calendar unit in which the two instants differ, with the whole number of them
 * (negative for the past), as a relative description names it.
 */
std::pair<double, URelativeDateTimeUnit> relativeOffset(const QDateTime& instant,
                                                        const QDateTime& now)
{
    const struct {
        UCalendarDateFields field;
        URelativeDateTimeUnit unit;
    } units[] = {
        {UCAL_YEAR, UDAT_REL_UNIT_YEAR},         {UCAL_MONTH, UDAT_REL_UNIT_MONTH},
        {UCAL_WEEK_OF_YEAR, UDAT_REL_UNIT_WEEK}, {UCAL_DATE, UDAT_REL_UNIT_DAY},
        {UCAL_HOUR_OF_DAY, UDAT_REL_UNIT_HOUR},  {UCAL_MINUTE, UDAT_REL_UNIT_MINUTE},
        {UCAL_SECOND, UDAT_REL_UNIT_SECOND},
    };
    const auto bySeconds =
        std::make_pair(static_cast<double>(now.secsTo(instant)), UDAT_REL_UNIT_SECOND);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(status));
    if (U_FAILURE(status))
        return bySeconds;
    calendar->setTime(toIcu(now), status);
    for (const auto& u : units) {
        // Steps the calendar on by the whole units found, as a date-components breakdown does.
        const int32_t difference = calendar->fieldDifference(toIcu(instant), u.field, status);
        if (U_FAILURE(status))
            return bySeconds;
        if (difference != 0)
            return {static_cast<double>(difference), u.unit};
    }
    return {0.0, UDAT_REL_UNIT_SECOND};
}

} // namespace

StatusView::StatusView(AuthStore& auth, DeviceStatusStore& status, const Clock& clock,
                       QWidget* parent)
    : QWidget(parent), m_auth(auth), m_status(status), m_clock(clock)
{
    setObjectName(QStringLiteral("statusView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(glowRoom, glowRoom, glowRoom, 0);
    layout->setSpacing(16);

    // The chip is a row of this view itself, so that the glow has the view's room to show in.
    auto* chipLayout = new QHBoxLayout;
    chipLayout->setSpacing(12);
    m_dot = new StatusDot(this);
    m_dot->setObjectName(QStringLiteral("statusDot"));
    m_label = new OrvaneLabel(this);
    m_label->setObjectName(QStringLiteral("statusLabel"));
    orvaneFont(m_label, OrvaneFontStyle::titleMedium);
    QPalette labelPalette = m_label->palette();
    labelPalette.setColor(QPalette::WindowText, orvaneOnSurface);
    m_label->setPalette(labelPalette);
    chipLayout->addWidget(m_dot, 0, Qt::AlignVCenter);
    chipLayout->addWidget(m_label, 0, Qt::AlignVCenter);
    chipLayout->addStretch(1);
    layout->addLayout(chipLayout);

    auto secondary = [this](const char* name) {
        auto* label = new OrvaneLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        label->setWordWrap(true);
        orvaneFont(label, OrvaneFontStyle::bodyMedium);
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, orvaneOnSurfaceVariant);
        label->setPalette(palette);
        return label;
    };
    m_lastCheck = secondary("lastCheckLine");
    layout->addWidget(m_lastCheck);
    m_resumes = secondary("resumesLine");
    layout->addWidget(m_resumes);

    layout->addStretch(1);

    m_unpair = new PlainButton(tr("Unpair this Mac"), this);
    m_unpair->setObjectName(QStringLiteral("unpairButton"));
    orvaneFont(m_unpair, OrvaneFontStyle::bodyMedium);
    m_unpair->setTextColor(orvaneOnSurfaceVariant);
    m_unpair->setToolTip(tr("Unpairs the device. Only do this if your parent asks."));
    connect(m_unpair, &PlainButton::clicked, this, &StatusView::unpair);
    layout->addWidget(m_unpair, 0, Qt::AlignLeading);

    m_statusSubscription = m_status.status().subscribe([this](const auto&) { redraw(); });
    m_lastCheckSubscription = m_status.lastCheck().subscribe([this](const auto&) { redraw(); });
}

void StatusView::showEvent(QShowEvent* event)
{
    // The relative time is as of the moment the panel is drawn.
    redraw();
    QWidget::showEvent(event);
}

void StatusView::redraw()
{
    const DeviceStatusStore::Status& status = m_status.status().get();
    static_cast<StatusDot*>(m_dot)->setColor(dotColor(status));
    m_label->setText(status.label());

    const auto& lastCheck = m_status.lastCheck().get();
    m_lastCheck->setText(lastCheck ? lastCheckText(*lastCheck, m_clock.now())
                                   : tr("Waiting for first check-in…"));

    const auto* paused = status.as<DeviceStatusStore::Status::Paused>();
    const bool showsEnd = paused && paused->until;
    m_resumes->setText(showsEnd ? resumesText(*paused->until) : QString());
    m_resumes->setVisible(showsEnd);
}

void StatusView::unpair()
{
    // Nothing follows in the view: the session store publishes the outcome.
    [[maybe_unused]] auto task = m_auth.unenroll();
}

QString StatusView::lastCheckText(const QDateTime& lastCheck, const QDateTime& now)
{
    const auto [offset, unit] = relativeOffset(lastCheck, now);
    icu::UnicodeString text;
    UErrorCode status = U_ZERO_ERROR;
    auto* formatter = relativeFormatter();
    if (formatter)
        formatter->formatNumeric(offset, unit, text, status);
    // Without ICU's data the instant itself is the best description left.
    const QString relative =
        formatter && U_SUCCESS(status)
            ? fromIcu(text)
            : QLocale().toString(lastCheck.toLocalTime(), QLocale::ShortFormat);
    return tr("Last check ") + relative;
}

QString StatusView::resumesText(const QDateTime& until)
{
    icu::UnicodeString text;
    if (auto* format = hourMinuteFormat())
        format->format(toIcu(until), text);
    const QString time = text.isEmpty()
                             ? QLocale().toString(until.toLocalTime().time(), QLocale::ShortFormat)
                             : fromIcu(text);
    return tr("Resumes ") + time;
}
