#pragma once

#include <QLabel>

class QTextLayout;

/**
 * A plain-text label that can add space between the lines of a wrapped text, which QLabel
 * cannot. The line height is the font's own plus the extra line spacing; a single line is as
 * tall as the font's line.
 */
class OrvaneLabel : public QLabel {
    Q_OBJECT
public:
    explicit OrvaneLabel(QWidget* parent = nullptr);
    explicit OrvaneLabel(const QString& text, QWidget* parent = nullptr);

    void setExtraLineSpacing(int points);
    [[nodiscard]] int extraLineSpacing() const { return m_extraLineSpacing; }

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;
    [[nodiscard]] bool hasHeightForWidth() const override { return wordWrap(); }
    [[nodiscard]] int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    /** Lays the text out in lines of the given width; returns the size it takes. */
    QSizeF layOut(QTextLayout& layout, qreal width) const;
    [[nodiscard]] QSize margins() const;

    int m_extraLineSpacing = 0;
};
