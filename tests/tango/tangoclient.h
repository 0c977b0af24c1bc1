// A Tango client of one device, for the tests: commands, attributes and change events as text, with
// Tango's own types (and its global `using namespace std`) kept out of the tests' sources.
#pragma once

#include <QStringList>
#include <memory>

class TangoClient
{
public:
    // tango://127.0.0.1:PORT/test/vkr/1#dbase=no, or tango://DATABASE_HOST:PORT/test/vkr/1
    explicit TangoClient(const QString& device, int timeoutMs = 3000);
    ~TangoClient();

    // Each gives the first reason of the DevFailed that refused it, empty when it went through.
    QString command(const char* name, const QString& argument = QString());
    QString write(const char* attribute, const QString& value);
    // The bytes as they stand, not UTF-8 (PyTango sends a str as Latin-1).
    QString writeBytes(const char* attribute, const QByteArray& value);
    // The text (description) of the last refusal.
    QString lastRefusal() const;
    QString subscribe(const char* attribute, bool archive = false);
    // Polls the attribute; then reads take the polling buffer's values (Tango's CACHE source).
    QString poll(const char* attribute, int periodMs);
    void readPolledValues();
    // The value now (a state by its name, a spectrum's items joined by commas), or why it failed.
    QString read(const char* attribute);
    // Several attributes in one request, each value as read() gives it; one item, the failure,
    // when the request failed.
    QStringList read(const QStringList& attributes);
    // The values events brought, without repeats (Tango sends the first twice) unless asked for.
    QStringList events(const char* attribute, bool archive = false, bool repeats = false) const;
    // When the last event with that value arrived (steady clock, ms), or -1.
    qint64 arrival(const char* attribute, const QString& value) const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
