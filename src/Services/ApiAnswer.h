#pragma once

#include "Models/ApiError.h"
#include "Models/ApiErrorBody.h"
#include "Models/EmptyResponse.h"
#include "Support/Json.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <type_traits>
#include <typeinfo>

/** What came back from the service: the HTTP status and at most the client's limit of body. */
struct ApiAnswer {
    int status = 0;
    QByteArray body;
    bool bodyTooLarge = false;
};

template <typename R>
QString apiRecordName()
{
    if constexpr (requires { R::typeName; })
        return QString::fromUtf8(R::typeName.data(), static_cast<qsizetype>(R::typeName.size()));
    else
        return QString::fromUtf8(typeid(R).name());
}

/**
 * Rules 3 to 5 of reading an answer: the record, or an ApiError passed through redact (which
 * takes the tokens out of its texts). A pure function of the answer, apart from the client.
 */
template <typename Response, typename Redact>
Response readApiAnswer(const ApiAnswer& answer, const Redact& redact)
{
    if (answer.status == 204) {
        if constexpr (std::is_same_v<Response, EmptyResponse>)
            return EmptyResponse{};
        else
            throw ApiError::decoding(apiRecordName<Response>(),
                                     QStringLiteral("204 but response type expects a body"));
    }
    if (answer.status < 200 || answer.status > 299) {
        std::optional<ApiErrorBody> problem;
        if (!answer.bodyTooLarge) {
            try {
                problem = Json::decode<ApiErrorBody>(answer.body);
            } catch (const Json::DecodingError&) {
            }
        }
        const auto traceId = problem ? problem->traceId : std::nullopt;
        throw redact(ApiError::http(answer.status, std::move(problem), traceId));
    }
    if (answer.bodyTooLarge)
        throw ApiError::decoding(apiRecordName<Response>(),
                                 QStringLiteral("answer body larger than 16 MiB, not read"));
    try {
        return Json::decode<Response>(answer.body);
    } catch (const Json::DecodingError& e) {
        throw redact(ApiError::decoding(apiRecordName<Response>(), QString::fromUtf8(e.what())));
    }
}
