// Where a run stands, as one line for the status bar: the controller, the channel that is
// calibrating and for how many seconds, renewed every second so that a controller that has gone
// quiet is told apart from a slow one.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <optional>

class RunProgress : public QObject
{
    Q_OBJECT

public:
    explicit RunProgress(QObject* parent = nullptr);

    void begin(const QString& locator);
    void channelStarted(quint32 channel, quint32 channelCount);
    // Stops the count; the channel reached stays known until the next begin().
    void end();

    bool running() const { return timer.isActive(); }
    QString text() const;

signals:
    void changed(const QString& text);

private:
    QString locator;
    std::optional<quint32> channel;
    quint32 channelCount = 0;
    QElapsedTimer channelClock;
    QTimer timer;
};
