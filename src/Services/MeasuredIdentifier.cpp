#include "Services/MeasuredIdentifier.h"

#include "Support/UnicodeText.h"

#include <QRegularExpression>

bool MeasuredIdentifier::accepts(const QString& identifier)
{
    // One compiled pattern per thread: matching never waits for another thread.
    thread_local const QRegularExpression pattern = [] {
        QRegularExpression expression(QRegularExpression::anchoredPattern(
            QStringLiteral(R"([A-Za-z][A-Za-z0-9_-]*(\.[A-Za-z0-9_-]+)+)")));
        expression.optimize();
        return expression;
    }();
    // A text of at most 200 UTF-16 units has at most 200 characters: no need to count them.
    return pattern.match(identifier).hasMatch() &&
           (identifier.size() <= maximumLength ||
            UnicodeText::characterCount(identifier) <= maximumLength);
}
