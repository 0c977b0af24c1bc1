// Linked into every test program: before main, the program gets data and configuration folders of
// its own, so that nothing it runs (the tool in-process, vkr-calibrate, the Tango server, the
// window) ever reads or writes the user's calibration history or settings, whether ctest started
// the test or a developer did by hand. The folders go when the program ends.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>

namespace {

QString& scratchFolder()
{
    static QString path;
    return path;
}

void removeScratchFolder()
{
    QDir(scratchFolder()).removeRecursively();
}

[[maybe_unused]] const bool environmentSet = [] {
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/vkr-test-XXXXXX"));
    if (!folder.isValid())
        std::abort(); // a test that may reach the user's files must not run
    folder.setAutoRemove(false);
    scratchFolder() = folder.path();
    for (const char* variable : {"XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
        const QString path = folder.path() + QLatin1Char('/') + QLatin1String(variable);
        QDir().mkpath(path);
        qputenv(variable, QFile::encodeName(path));
    }
    std::atexit(removeScratchFolder);
    return true;
}();

} // namespace
