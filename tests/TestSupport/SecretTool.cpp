#include "TestSupport/SecretTool.h"

#include <QProcess>

namespace SecretTool {
namespace {

struct Result {
    int exitCode = -1;
    QByteArray out;
};

Result run(const QStringList& arguments, const QByteArray& input = {})
{
    QProcess process;
    process.start(QStringLiteral("secret-tool"), arguments);
    if (!process.waitForStarted(10'000))
        return {};
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30'000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput()};
}

} // namespace

std::optional<QByteArray> lookup(const QStringList& attributes)
{
    const Result result = run(QStringList{QStringLiteral("lookup")} + attributes);
    if (result.exitCode != 0)
        return std::nullopt;
    return result.out;
}

bool store(const QStringList& attributes, const QByteArray& secret)
{
    return run(QStringList{QStringLiteral("store"), QStringLiteral("--label=stored by hand")} +
                   attributes,
               secret)
               .exitCode == 0;
}

int count(const QStringList& attributes)
{
    // search prints one "[/path]" header line per item, on standard output.
    const Result result =
        run(QStringList{QStringLiteral("search"), QStringLiteral("--all")} + attributes);
    return static_cast<int>(result.out.count("\n[/") + (result.out.startsWith("[/") ? 1 : 0));
}

} // namespace SecretTool
