#include "tangoserverprocess.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>

TangoServerProcess::~TangoServerProcess()
{
    process.kill();
    process.waitForFinished();
}

bool TangoServerProcess::start(const QString& locatorProperty)
{
    if (locatorProperty.isEmpty())
        return launch({"test", "-nodb", "-dlist", "test/vkr/1"}, true);
    QFile file(home.filePath(QStringLiteral("server.res")));
    return file.open(QIODevice::WriteOnly) &&
           file.write("vkr-tango-server/test/DEVICE/VKRCalibrator: test/vkr/1\n"
                      "test/vkr/1->Locator: \"" +
                      locatorProperty.toUtf8() + "\"\n") > 0 &&
           file.flush() && launch({"test", "-file=" + file.fileName()}, true);
}

bool TangoServerProcess::startRegistered(const QString& tangoHost, const QString& instance,
                                         const QStringList& environment)
{
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    variables.insert(QStringLiteral("TANGO_HOST"), tangoHost);
    for (const QString& variable : environment)
        variables.insert(variable.section('=', 0, 0), variable.section('=', 1));
    process.setProcessEnvironment(variables);
    return launch({instance}, false);
}

bool TangoServerProcess::launch(const QStringList& arguments, bool ownPort)
{
    QProcessEnvironment environment = process.processEnvironment().isEmpty()
                                          ? QProcessEnvironment::systemEnvironment()
                                          : process.processEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    process.setProcessEnvironment(environment);
    const auto settled = [&] {
        return process.state() == QProcess::NotRunning ||
               process.peek(100).contains("Ready to accept request");
    };
    // omniORB does not tell which port it took, so the test picks one, and another if it is taken.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = quint16(QRandomGenerator::global()->bounded(20000, 60000));
        process.start(VKR_TANGO_SERVER_PATH,
                      QStringList(arguments)
                          << "-ORBendPoint"
                          << QStringLiteral("giop:tcp:127.0.0.1:%1").arg(ownPort ? port : 0));
        if (QTest::qWaitFor(settled, 30000) && process.state() == QProcess::Running)
            return true;
        process.kill();
        process.waitForFinished();
        qWarning("no server on port %u: %s", port, process.readAllStandardError().constData());
    }
    return false;
}

QString TangoServerProcess::device() const
{
    return QStringLiteral("tango://127.0.0.1:%1/test/vkr/1#dbase=no").arg(port);
}

QJsonObject TangoServerProcess::lastHistoryEntry() const
{
    QFile journal(home.filePath(QStringLiteral("vkr-calibrator/history.jsonl")));
    if (!journal.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(journal.readAll().trimmed().split('\n').last()).object();
}

namespace {

const QString DatabaseScript = QStringLiteral(VKR_PRIVATE_TANGO_DB);

} // namespace

TangoDatabase& TangoDatabase::shared()
{
    static TangoDatabase database;
    return database;
}

void TangoDatabase::stop()
{
    if (started)
        QProcess::execute(DatabaseScript, {"stop", folder.path()});
    started = false;
}

QString TangoDatabase::unavailable()
{
    if (!tangoHost.isEmpty() || !failure.isEmpty())
        return failure;
    for (const char* program : {"mariadbd", "mariadb-install-db", "tango_admin"})
        if (QStandardPaths::findExecutable(program, {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}).isEmpty())
            return failure = QLatin1String(program) + " is absent (packages mariadb-server, libtango-tools)";
    for (const char* file :
         {"/usr/lib/tango/DataBaseds", "/usr/share/dbconfig-common/data/tango-db/install/mysql"})
        if (!QFileInfo::exists(file))
            return failure = QLatin1String(file) + " is absent (package tango-db)";
    QProcess script;
    script.start(DatabaseScript, {"start", folder.path()});
    started = true;
    if (!script.waitForFinished(120000) || script.exitCode() != 0)
        return failure = "no Tango database would start: " + script.readAllStandardError();
    tangoHost = QString::fromLatin1(script.readAllStandardOutput().trimmed());
    return failure;
}

QString TangoDatabase::admin(const QStringList& arguments)
{
    QProcess tangoAdmin;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TANGO_HOST"), tangoHost);
    tangoAdmin.setProcessEnvironment(environment);
    tangoAdmin.setProcessChannelMode(QProcess::MergedChannels);
    tangoAdmin.start(QStringLiteral("tango_admin"), arguments);
    if (tangoAdmin.waitForFinished(30000) && tangoAdmin.exitStatus() == QProcess::NormalExit &&
        tangoAdmin.exitCode() == 0)
        return QString();
    return "tango_admin " + arguments.join(' ') + ": " + tangoAdmin.readAll();
}

QString TangoDatabase::addServer(const QString& instance, const QStringList& devices, const QString& locator,
                                 const QString& stopLimit)
{
    QString failed =
        admin({"--add-server", "vkr-tango-server/" + instance, "VKRCalibrator", devices.join(',')});
    for (const QString& device : devices) {
        if (failed.isEmpty())
            failed = admin({"--add-property", device, "Locator", locator});
        if (failed.isEmpty() && !stopLimit.isEmpty())
            failed = admin({"--add-property", device, "StopLimit", stopLimit});
    }
    return failed;
}

bool TangoDatabase::endDataBaseds()
{
    // The pid file names the `timeout` that runs DataBaseds.
    QFile pid(folder.filePath(QStringLiteral("databaseds.pid")));
    QProcess children;
    if (!pid.open(QIODevice::ReadOnly))
        return false;
    children.start(QStringLiteral("pgrep"), {"-P", pid.readAll().trimmed()});
    const QByteArray child =
        children.waitForFinished(10000) ? children.readAllStandardOutput().trimmed() : "";
    // Killed, and gone (its parent reaps it) before this returns.
    return !child.isEmpty() && QProcess::execute(QStringLiteral("kill"), {"-KILL", child}) == 0 &&
           QTest::qWaitFor([&] { return !QFileInfo::exists("/proc/" + child); }, 10000);
}
