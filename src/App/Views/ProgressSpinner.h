#pragma once

#include <QWidget>

class QVariantAnimation;

/** A small indeterminate circular progress indicator; it turns only while it is shown. */
class ProgressSpinner : public QWidget {
    Q_OBJECT
public:
    explicit ProgressSpinner(QWidget* parent = nullptr);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] bool isSpinning() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QVariantAnimation* m_rotation;
    qreal m_angle = 0;
};
