// vkr-tango-server as a facility runs it, for the tests: a child process with a data folder of its
// own (its calibration history), without a database or registered in the tests' own Tango database.
#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

class TangoServerProcess
{
public:
    ~TangoServerProcess();

    // With -nodb and device test/vkr/1, or with the locator as its property in a property file.
    bool start(const QString& locatorProperty = QString());
    // As instance INSTANCE of a server registered in the database at tangoHost.
    bool startRegistered(const QString& tangoHost, const QString& instance,
                         const QStringList& environment = QStringList());
    // test/vkr/1 without a database.
    QString device() const;
    // The last entry of the server's calibration history, empty while there is none.
    QJsonObject lastHistoryEntry() const;

    QTemporaryDir home;
    QProcess process;
    quint16 port = 0;

private:
    bool launch(const QStringList& arguments, bool ownPort);
};

// The tests' own Tango database: MariaDB and DataBaseds started by tools/private-tango-db.sh for
// the first test that asks, ended when the tests end. The machine's own databases are left alone.
class TangoDatabase
{
public:
    static TangoDatabase& shared();
    ~TangoDatabase() { stop(); }
    void stop();

    // Why there is no database: a package absent, or the start failed; empty when it runs.
    QString unavailable();
    QString host() const { return tangoHost; } // 127.0.0.1:PORT
    QString device(const QString& name) const { return "tango://" + tangoHost + "/" + name; }
    // Runs tango_admin with the arguments against the database; its output when it failed.
    QString admin(const QStringList& arguments);
    // Registers vkr-tango-server/INSTANCE with its devices, each with its Locator property.
    QString addServer(const QString& instance, const QStringList& devices, const QString& locator,
                      const QString& stopLimit = QString());
    // Ends DataBaseds, MariaDB left running: a database that is down, for the last test that needs one.
    bool endDataBaseds();

private:
    bool started = false;
    QString failure;
    QString tangoHost;
    QTemporaryDir folder;
};
