// Measures the window: the cost of one log fragment as the log grows, the time from process
// start to the window's first paint, and resident memory idle and with a long log. Prints a
// Markdown table for BENCHMARKS.md. Run it from the build folder: build/vkr-figures
// (QT_QPA_PLATFORM=offscreen works without a display).
#include "vkrcalibrator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTextEdit>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

qint64 monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Resident memory in KiB, as the kernel reports it for this process.
long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// The fragments a run writes, one calibrated channel after the other: two fragments per line.
QString fragment(long index)
{
    return index % 2 == 0 ? QStringLiteral("\tChannel %1: calibrating... ").arg(index / 2 % 64)
                          : QStringLiteral("done.\n");
}

void deliverQueued(VKRCalibrator& window, const QString& message)
{
    QMetaObject::invokeMethod(&window, "logMessage", Qt::QueuedConnection, Q_ARG(QString, message));
}

// Child mode: the tool's own start-up (application, window, show), reporting the monotonic clock
// at the window's first paint.
class FirstPaint : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !painted) {
            painted = true;
            std::printf("%lld\n", static_cast<long long>(monotonicNanoseconds()));
            std::fflush(stdout);
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }
    bool painted = false;
};

int startupProbe(int argc, char* argv[])
{
    QApplication application(argc, argv);
    VKRCalibrator window;
    FirstPaint watcher;
    window.installEventFilter(&watcher);
    window.show();
    return application.exec();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--startup-probe") == 0)
        return startupProbe(argc, argv);

    QApplication application(argc, argv);
    std::printf("| Figure | Value |\n|---|---|\n");

    // Start-up: spawn this program in probe mode and read when its window first painted.
    std::vector<double> startups;
    for (int i = 0; i < 15; ++i) {
        QProcess probe;
        const qint64 spawned = monotonicNanoseconds();
        probe.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--startup-probe"), QStringLiteral("-platform"), QStringLiteral("offscreen")});
        if (!probe.waitForFinished(20000))
            return 1;
        const qint64 painted = probe.readAllStandardOutput().trimmed().toLongLong();
        startups.push_back((painted - spawned) / 1e6);
    }
    std::printf("| process start to first paint of the window (offscreen, median of 15; min, max) | %.1f ms "
                "(%.1f, %.1f) |\n",
                median(startups), *std::min_element(startups.begin(), startups.end()),
                *std::max_element(startups.begin(), startups.end()));

    VKRCalibrator window;
    window.show();
    QCoreApplication::processEvents();
    std::printf("| resident memory, window shown, empty log | %.1f MiB |\n", residentKiB() / 1024.0);

    // Log insertion through the real path: a queued call of the window's slot, delivered by the
    // event loop, which also lays out and paints the log after every fragment. The figure for a
    // mark is the mean over the 1000 fragments that end there.
    long inserted = 0;
    for (const long mark : {1000L, 10000L, 100000L}) {
        while (inserted < mark - 1000) {
            deliverQueued(window, fragment(inserted++));
            if (inserted % 64 == 0)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        QElapsedTimer timer;
        timer.start();
        while (inserted < mark) {
            deliverQueued(window, fragment(inserted++));
            QCoreApplication::processEvents();
        }
        std::printf("| log insertion per fragment at %ld fragments (mean of the last 1000, with repaint) | "
                    "%.1f µs |\n",
                    mark, timer.nsecsElapsed() / 1000.0 / 1000);
    }

    // Grow the log to 100 000 lines (two fragments a line) and read the memory again.
    while (inserted < 200000) {
        deliverQueued(window, fragment(inserted++));
        if (inserted % 256 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    const int lines = window.findChild<QTextEdit*>(QStringLiteral("log"))->document()->blockCount() - 1;
    std::printf("| resident memory, %d-line log | %.1f MiB |\n", lines, residentKiB() / 1024.0);
    return 0;
}
