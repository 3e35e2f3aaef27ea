#pragma once

#include <QWidget>

/**
 * A card: the content inset by OrvaneCardPadding on a rounded rectangle (OrvaneRadius::xl)
 * filled with orvaneSurfaceContainerLowest.
 */
class OrvaneCard : public QWidget {
    Q_OBJECT
public:
    /** Takes the content over as its child. */
    explicit OrvaneCard(QWidget* content, QWidget* parent = nullptr);

    [[nodiscard]] QWidget* content() const { return m_content; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* m_content;
};

/** Puts the content on a card and returns the card, which then owns it. */
OrvaneCard* orvaneCard(QWidget* content);
