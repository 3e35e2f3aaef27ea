#pragma once

#include <QAbstractButton>
#include <QColor>

#include <optional>

/**
 * A button without chrome: its text in its own colour, on an optional filled rounded
 * rectangle. A disabled button keeps its colours; it only stops reacting.
 */
class PlainButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit PlainButton(const QString& text = QString(), QWidget* parent = nullptr);

    void setTextColor(const QColor& color);
    [[nodiscard]] QColor textColor() const { return m_textColor; }

    void setFill(std::optional<QColor> color);
    [[nodiscard]] std::optional<QColor> fill() const { return m_fill; }

    void setCornerRadius(qreal radius);
    void setVerticalPadding(int padding);
    /** Where the text sits horizontally: leading (the default) or centred. */
    void setTextAlignment(Qt::Alignment alignment);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_textColor = Qt::black;
    std::optional<QColor> m_fill;
    qreal m_cornerRadius = 0;
    int m_verticalPadding = 0;
    Qt::Alignment m_textAlignment = Qt::AlignLeading;
};
