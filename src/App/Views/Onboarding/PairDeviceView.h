#pragma once

#include "Support/Subscription.h"

#include <QStringList>
#include <QWidget>

#include <array>

class AuthStore;
class OrvaneLabel;
class PlainButton;

/**
 * The pairing form: six one-digit boxes for the code the parent's dashboard shows, and the
 * button that hands it to the session store. Its only state is the six texts, the focus and
 * whether a pairing it started is under way; the error line follows the store's lastError.
 */
class PairDeviceView : public QWidget {
    Q_OBJECT
public:
    static constexpr int codeLength = 6;

    /** auth must outlive the view. */
    explicit PairDeviceView(AuthStore& auth, QWidget* parent = nullptr);
    ~PairDeviceView() override;

    /** The contents of the six boxes, box 0 first. */
    [[nodiscard]] QStringList digits() const { return m_digits; }
    [[nodiscard]] bool isSubmitting() const { return m_isSubmitting; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    class DigitField;

    QWidget* digitRow();
    [[nodiscard]] bool pairable() const;
    void setDigit(const QString& value, int index);
    void submit();
    void focusBox(int index);
    void redraw();

    AuthStore& m_auth;
    QStringList m_digits;
    bool m_isSubmitting = false;

    std::array<DigitField*, codeLength> m_fields{};
    OrvaneLabel* m_error = nullptr;
    PlainButton* m_button = nullptr;
    Subscription m_errorSubscription;
};
