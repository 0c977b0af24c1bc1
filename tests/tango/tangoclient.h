// A Tango client of one device, for the tests: its commands, attributes and change events, with
// Tango's own types (and its global `using namespace std`) kept out of the tests' sources.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <memory>

class TangoClient
{
public:
    // The device's full name, such as tango://127.0.0.1:PORT/test/vkr/1#dbase=no.
    explicit TangoClient(const QString& device);
    ~TangoClient();

    // Each returns the first reason of the DevFailed that refused it, empty when it went through.
    QString command(const char* name);
    QString write(const char* attribute, const QString& value);
    QString subscribe(const char* attribute);

    // The value read now; a failed read gives its reason (or nothing for the numbers).
    QString state();
    QString text(const char* attribute);
    QStringList names(const char* attribute);
    QVector<quint32> numbers(const char* attribute);

    // The values the attribute's change events brought so far, in order of arrival; State's as
    // state names, Log's and LastReport's as texts.
    QStringList events(const char* attribute) const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
