#pragma once

#include <QByteArray>
#include <QStringList>

#include <optional>

/**
 * The `secret-tool` command of libsecret, run against the session's Secret Service: what a
 * user sees of the items, and items stored the way a user would.
 */
namespace SecretTool {

/** `secret-tool lookup <attribute value>...`: the secret, or nothing when there is no match. */
std::optional<QByteArray> lookup(const QStringList& attributes);

/** `secret-tool store --label=<label> <attribute value>...` with the secret on standard input. */
bool store(const QStringList& attributes, const QByteArray& secret);

/** The number of items `secret-tool search --all <attribute value>...` lists. */
int count(const QStringList& attributes);

} // namespace SecretTool
