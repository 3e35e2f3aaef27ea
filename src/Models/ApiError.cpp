#include "Models/ApiError.h"

namespace {

QString describe(const ApiError::Case& value)
{
    struct Visitor {
        QString operator()(const ApiError::Network& e) const { return "network: " + e.underlying; }
        QString operator()(const ApiError::Http& e) const
        {
            QString text = QStringLiteral("http %1").arg(e.status);
            if (e.traceId)
                text += " traceId=" + *e.traceId;
            return text;
        }
        QString operator()(const ApiError::Decoding& e) const
        {
            return "decoding " + e.type + ": " + e.underlying;
        }
        QString operator()(const ApiError::Unexpected& e) const { return "unexpected: " + e.text; }
    };
    return std::visit(Visitor{}, value);
}

QString titleOr(const ApiError::Http& e, const char* fallback)
{
    if (e.body && e.body->title)
        return *e.body->title;
    return QString::fromUtf8(fallback);
}

} // namespace

ApiError::ApiError(Case value) : m_case(std::move(value)), m_description(describe(m_case).toStdString()) {}

ApiError ApiError::network(QString underlying)
{
    return ApiError(Network{std::move(underlying)});
}

ApiError ApiError::http(int status, std::optional<ApiErrorBody> body, std::optional<QString> traceId)
{
    return ApiError(Http{status, std::move(body), std::move(traceId)});
}

ApiError ApiError::decoding(QString type, QString underlying)
{
    return ApiError(Decoding{std::move(type), std::move(underlying)});
}

ApiError ApiError::unexpected(QString text)
{
    return ApiError(Unexpected{std::move(text)});
}

QString ApiError::userFacingMessage() const
{
    if (as<Network>())
        return QStringLiteral("Orvane couldn't reach the internet. Please check your connection.");
    if (as<Decoding>())
        return QStringLiteral("Orvane received an unexpected response.");
    if (as<Unexpected>())
        return QStringLiteral("Something went wrong.");

    const Http& e = *as<Http>();
    switch (e.status) {
    case 400:
        return titleOr(e, "That didn't look right \u2014 please try again.");
    case 401:
        return QStringLiteral("Your session expired. Please sign in again.");
    case 403:
        return QStringLiteral("You don't have access to that.");
    case 404:
        return QStringLiteral("We couldn't find that.");
    case 409:
        return titleOr(e, "That action conflicts with the current state.");
    case 429:
        return QStringLiteral("Too many attempts. Try again in a minute.");
    default:
        if (e.status >= 500 && e.status <= 599)
            return QStringLiteral("Orvane is having a moment. Please try again shortly.");
        return titleOr(e, "Something didn't work. Please try again.");
    }
}

int ApiError::status() const
{
    const Http* e = as<Http>();
    return e ? e->status : 0;
}

std::optional<QString> ApiError::traceId() const
{
    const Http* e = as<Http>();
    return e ? e->traceId : std::nullopt;
}
