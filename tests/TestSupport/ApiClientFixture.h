#pragma once

#include "Services/ApiClient.h"
#include "Services/HttpTransport.h"
#include "TestSupport/Await.h"
#include "TestSupport/QtPrinters.h"
#include "TestSupport/ScriptedHttpServer.h"


#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

/**
 * An ApiClient over a real HttpTransport (libcurl), talking to a ScriptedHttpServer on
 * 127.0.0.1 below "/api/v1", with a short transfer timeout.
 */
class ApiClientFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen());
        client = makeClient();
    }

    std::unique_ptr<ApiClient> makeClient(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        return std::make_unique<ApiClient>(&transport, server.url(QStringLiteral("/api/v1")),
                                           QStringLiteral("test-client/1.0"), timeout,
                                           BundleInfo());
    }

    HttpTransport transport;
    ScriptedHttpServer server;
    std::unique_ptr<ApiClient> client;
};

/** Awaits the task and returns the ApiError it throws; fails the test if it throws none. */
template <typename T>
std::optional<ApiError> apiErrorOf(QCoro::Task<T>&& task)
{
    try {
        await(std::move(task));
    } catch (const ApiError& e) {
        return e;
    }
    ADD_FAILURE() << "the call succeeded; an ApiError was expected";
    return std::nullopt;
}
