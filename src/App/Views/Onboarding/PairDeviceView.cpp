#include "App/Views/Onboarding/PairDeviceView.h"

#include "App/Design/Colors.h"
#include "App/Design/OrvaneLabel.h"
#include "App/Design/Spacing.h"
#include "App/Design/Typography.h"
#include "App/Views/PlainButton.h"
#include "Services/AuthStore.h"
#include "Support/UnicodeText.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QVBoxLayout>

#include <qcoro/qcorotask.h>

/** One box of the code: a borderless single-line input on a rounded, lightly filled shape. */
class PairDeviceView::DigitField : public QLineEdit {
public:
    explicit DigitField(QWidget* parent) : QLineEdit(parent)
    {
        setFixedSize(40, 52);
        setFrame(false);
        setAlignment(Qt::AlignCenter);
        setPlaceholderText(QString());
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(24);
        font.setWeight(QFont::DemiBold);
        setFont(font);
        QPalette palette = this->palette();
        palette.setColor(QPalette::Base, Qt::transparent);
        palette.setColor(QPalette::Text, orvaneOnSurface);
        setPalette(palette);
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        {
            QPainter painter(this);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(orvaneSurfaceContainerLow);
            painter.drawRoundedRect(QRectF(rect()), OrvaneRadius::md, OrvaneRadius::md);
        }
        QLineEdit::paintEvent(event);
    }
};

PairDeviceView::PairDeviceView(AuthStore& auth, QWidget* parent)
    : QWidget(parent), m_auth(auth), m_digits(codeLength, QString())
{
    setObjectName(QStringLiteral("pairDeviceView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);

    auto* heading = new QVBoxLayout;
    heading->setSpacing(8);
    auto* title = new OrvaneLabel(tr("Pair this Mac"), this);
    title->setObjectName(QStringLiteral("pairTitle"));
    orvaneFont(title, OrvaneFontStyle::headlineSmall);
    QPalette titlePalette = title->palette();
    titlePalette.setColor(QPalette::WindowText, orvaneOnSurface);
    title->setPalette(titlePalette);
    heading->addWidget(title);

    auto wrapped = [this](const QString& text, const char* name, const QColor& color) {
        auto* label = new OrvaneLabel(text, this);
        label->setObjectName(QString::fromLatin1(name));
        label->setWordWrap(true);
        orvaneFont(label, OrvaneFontStyle::bodyMedium);
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, color);
        label->setPalette(palette);
        return label;
    };
    heading->addWidget(wrapped(tr("Enter the 6-digit code from your parent's Orvane dashboard."),
                               "pairInstructions", orvaneOnSurfaceVariant));
    layout->addLayout(heading);

    layout->addWidget(digitRow(), 0, Qt::AlignLeading);

    m_error = wrapped(QString(), "pairingError", orvaneDanger);
    layout->addWidget(m_error);

    m_button = new PlainButton(QString(), this);
    m_button->setObjectName(QStringLiteral("pairButton"));
    orvaneFont(m_button, OrvaneFontStyle::titleMedium);
    m_button->setTextColor(orvaneOnPrimary);
    m_button->setTextAlignment(Qt::AlignHCenter);
    m_button->setVerticalPadding(12);
    m_button->setCornerRadius(OrvaneRadius::xl);
    m_button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(m_button, &PlainButton::clicked, this, &PairDeviceView::submit);
    layout->addWidget(m_button);

    redraw();
    m_errorSubscription = m_auth.lastError().subscribe([this](const auto&) { redraw(); });
}

PairDeviceView::~PairDeviceView() = default;

QWidget* PairDeviceView::digitRow()
{
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("digitRow"));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    for (int i = 0; i < codeLength; ++i) {
        auto* field = new DigitField(row);
        field->setObjectName(QStringLiteral("digitField%1").arg(i));
        field->setAccessibleName(tr("Digit %1 of the pairing code").arg(i + 1));
        connect(field, &QLineEdit::textEdited, this,
                [this, i](const QString& text) { setDigit(text, i); });
        layout->addWidget(field, 0, Qt::AlignVCenter);
        m_fields[i] = field;
    }
    return row;
}

void PairDeviceView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    focusBox(0);
}

bool PairDeviceView::pairable() const
{
    for (const QString& digit : m_digits) {
        if (digit.size() != 1 || digit.at(0) < QLatin1Char('0') || digit.at(0) > QLatin1Char('9'))
            return false;
    }
    return true;
}

void PairDeviceView::setDigit(const QString& value, int index)
{
    if (index < 0 || index >= codeLength)
        return;
    // Any numeral counts here, of any script; only the decimal digits 0 to 9 make the code
    // complete.
    QList<char32_t> kept;
    for (const char32_t codePoint : value.toUcs4()) {
        if (UnicodeText::isNumeric(codePoint))
            kept.push_back(codePoint);
    }
    const auto text = [](char32_t codePoint) { return QString::fromUcs4(&codePoint, 1); };

    if (kept.size() >= codeLength) {
        // A pasted code fills every box, whichever one it was pasted into.
        for (int i = 0; i < codeLength; ++i)
            m_digits[i] = text(kept[i]);
        redraw();
        focusBox(codeLength - 1);
    } else if (!kept.isEmpty()) {
        m_digits[index] = text(kept.last());
        redraw();
        if (index < codeLength - 1)
            focusBox(index + 1);
    } else {
        m_digits[index].clear();
        redraw();
        if (index > 0)
            focusBox(index - 1);
    }
}

void PairDeviceView::submit()
{
    if (!pairable() || m_isSubmitting)
        return;
    m_isSubmitting = true;
    redraw();
    const QString code = m_digits.join(QString());
    // The outcome reaches the view only through the store; this just ends the submission,
    // unless the view is gone by then (the store paired the device and the panel moved on).
    QCoro::connect(m_auth.enroll(code), this, [this] {
        m_isSubmitting = false;
        redraw();
    });
}

void PairDeviceView::focusBox(int index)
{
    if (index >= 0 && index < codeLength)
        m_fields[index]->setFocus(Qt::OtherFocusReason);
}

void PairDeviceView::redraw()
{
    for (int i = 0; i < codeLength; ++i) {
        if (m_fields[i]->text() != m_digits[i])
            m_fields[i]->setText(m_digits[i]);
    }

    const auto& error = m_auth.lastError().get();
    m_error->setText(error ? error->userFacingMessage() : QString());
    m_error->setVisible(error.has_value());

    const bool complete = pairable();
    m_button->setText(m_isSubmitting ? tr("Pairing…") : tr("Pair device"));
    m_button->setFill(complete ? orvanePrimary : orvaneSurfaceContainerHigh);
    m_button->setEnabled(complete && !m_isSubmitting);
}
