#pragma once

#include "Models/ApiErrorBody.h"

#include <QString>

#include <exception>
#include <optional>
#include <string>
#include <variant>

/**
 * The one error of service calls. Thrown by the client and caught by the store that started
 * the work. Only userFacingMessage() is meant for users; the carried texts are for diagnosis.
 */
class ApiError : public std::exception {
public:
    /** The request could not be carried out; the transport's description. */
    struct Network {
        QString underlying;
        bool operator==(const Network&) const = default;
    };
    /** The service answered with a status outside 200 to 299. */
    struct Http {
        int status = 0;
        std::optional<ApiErrorBody> body;
        std::optional<QString> traceId;
        bool operator==(const Http&) const = default;
    };
    /** The answer could not be turned into the expected record. */
    struct Decoding {
        QString type;
        QString underlying;
        bool operator==(const Decoding&) const = default;
    };
    /** Anything else. */
    struct Unexpected {
        QString text;
        bool operator==(const Unexpected&) const = default;
    };
    using Case = std::variant<Network, Http, Decoding, Unexpected>;

    static ApiError network(QString underlying);
    static ApiError http(int status, std::optional<ApiErrorBody> body,
                         std::optional<QString> traceId);
    static ApiError decoding(QString type, QString underlying);
    static ApiError unexpected(QString text);

    [[nodiscard]] const Case& value() const { return m_case; }
    template <typename C>
    [[nodiscard]] const C* as() const { return std::get_if<C>(&m_case); }

    /** The sentence to show a user. */
    [[nodiscard]] QString userFacingMessage() const;
    /** The HTTP status for http, else 0. */
    [[nodiscard]] int status() const;
    /** The trace identifier for http, else absent. */
    [[nodiscard]] std::optional<QString> traceId() const;
    /** True for http with status 401: the service rejected the device token. */
    [[nodiscard]] bool isUnauthorized() const { return status() == 401; }

    /** A one-line description for diagnosis (case and carried texts), never shown to users. */
    [[nodiscard]] const char* what() const noexcept override { return m_description.c_str(); }

    bool operator==(const ApiError& other) const { return m_case == other.m_case; }

private:
    explicit ApiError(Case value);

    Case m_case;
    std::string m_description;
};
