// vkr-bench-protocol: what the connection's serial layers cost per exchange. Times getStatus
// through VKRConnection against an instant pseudo-terminal peer, and beside it the least a host
// can do for the same exchange (write the command, bulk-read the reply) and, where it is
// installed, the same exchange through Qt Serial Port; prints their ratios.
#include "replyparser.h"
#include "statuspeer.h"
#include "vkrconnection.h"
#ifdef VKR_BENCH_QT_SERIAL_PORT
#include "qtserialportline.h"
#endif

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <numeric>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The minimal host: a raw 115200 line, one write per command, replies read in bulk.
class RawLine
{
public:
    ~RawLine()
    {
        if (fd >= 0)
            ::close(fd);
    }

    bool open(const std::string& path)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios line;
        if (fd < 0 || ::tcgetattr(fd, &line) != 0)
            return false;
        cfmakeraw(&line);
        cfsetspeed(&line, B115200);
        return ::tcsetattr(fd, TCSANOW, &line) == 0;
    }

    // One exchange; false when the reply is not the expected one or does not come.
    bool exchange()
    {
        static const char command[] = ":GS0\n";
        char reply[64];
        std::size_t length = 0;
        return send(command, sizeof command - 1) && receive(reply, sizeof reply, length) &&
               std::string(reply, length) == ":S0,0\n";
    }

    // The same exchange with the string work VKRConnection does around it: the command text built
    // and framed, the debug line's check, the reply turned into a QString and parsed by ReplyParser.
    bool exchangeWithStringWork()
    {
        const QString text = QLatin1String("GS") + QString::number(0u);
        const QByteArray latin1 = text.toLatin1();
        if (QLoggingCategory::defaultCategory()->isDebugEnabled())
            qDebug("out:%s", latin1.constData());
        QByteArray command;
        command.reserve(latin1.size() + 2);
        command.append(':').append(latin1).append('\n');
        char bytes[64];
        std::size_t length = 0;
        if (!send(command.constData(), std::size_t(command.size())) || !receive(bytes, sizeof bytes, length))
            return false;
        const QString line = QString::fromLatin1(bytes, int(length));
        Reply reply;
        return ReplyParser::parse(line, reply) == 0 && reply.is("S", 2) && reply.values[1] == 0;
    }

private:
    bool send(const char* command, std::size_t size) { return ::write(fd, command, size) == ssize_t(size); }

    bool receive(char* reply, std::size_t capacity, std::size_t& length)
    {
        length = 0;
        while (length == 0 || reply[length - 1] != '\n') {
            const ssize_t count = ::read(fd, reply + length, capacity - length);
            if (count > 0) {
                length += std::size_t(count);
                continue;
            }
            if (count < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 500) <= 0 || length == capacity)
                return false;
        }
        return true;
    }

    int fd = -1;
};

// Wall time and the calling thread's CPU time (user and system) of one exchange, in microseconds.
struct Timing
{
    double wall = 0;
    double cpu = 0;
};

double threadCpuMicroseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

template <typename Exchange> Timing timeExchanges(int exchanges, Exchange exchange)
{
    const double cpuStart = threadCpuMicroseconds();
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < exchanges; ++i) {
        if (!exchange()) {
            std::fprintf(stderr, "vkr-bench-protocol: exchange %d failed\n", i);
            std::exit(1);
        }
    }
    Timing timing;
    timing.wall = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / exchanges;
    timing.cpu = (threadCpuMicroseconds() - cpuStart) / exchanges;
    return timing;
}

// CPU time of one run of piece, in microseconds, over many runs without any I/O.
template <typename Piece> double pieceMicroseconds(Piece piece)
{
    constexpr int runs = 200000;
    const double start = threadCpuMicroseconds();
    for (int i = 0; i < runs; ++i)
        piece();
    return (threadCpuMicroseconds() - start) / runs;
}

// What VKRConnection does per exchange besides the system calls, piece by piece, the way its
// transport and parser do it. Their sum against the measured CPU difference says where it goes.
void printBreakdown(double measuredDifference)
{
    volatile uint32_t sink = 0;
    const double debugLine = pieceMicroseconds(
        [&sink] { sink = sink + uint32_t(QLoggingCategory::defaultCategory()->isDebugEnabled()); });
    const double command = pieceMicroseconds([&sink] {
        const QByteArray text = (QLatin1String("GS") + QString::number(0u)).toLatin1();
        QByteArray bytes;
        bytes.reserve(text.size() + 2);
        bytes.append(':').append(text).append('\n');
        sink = sink + uint32_t(bytes.size());
    });
    const double collect = pieceMicroseconds([&sink] {
        static const char reply[] = ":S0,0\n";
        const QString line = QString::fromLatin1(reply, int(sizeof reply - 1));
        sink = sink + uint32_t(line.size());
    });
    const double parse = pieceMicroseconds([&sink] {
        Reply reply;
        sink = sink + ReplyParser::parse(QStringLiteral(":S0,0\n"), reply) + reply.values[1];
    });
    const double clockReads =
        6 * pieceMicroseconds([&sink] { sink = sink + uint32_t(Clock::now().time_since_epoch().count()); });
    const double sum = debugLine + command + collect + parse + clockReads;

    std::printf("\nWhere the host's extra CPU goes, per exchange (each piece timed alone, 200000 runs):\n");
    std::printf("  %-58s %6.2f us\n", "debug line \"out:GS0\" (filtered out: only checked)", debugLine);
    std::printf("  %-58s %6.2f us\n", "command text: QString::number, toLatin1, framing", command);
    std::printf("  %-58s %6.2f us\n", "reply bytes turned into a QString once", collect);
    std::printf("  %-58s %6.2f us\n", "ReplyParser::parse (one pass over the characters)", parse);
    std::printf("  %-58s %6.2f us\n", "steady_clock::now for each byte's deadline (6 bytes)", clockReads);
    std::printf("  %-58s %6.2f us\n", "sum", sum);
    std::printf("  %-58s %6.2f us\n", "measured CPU difference (median)", measuredDifference);
}

double mean(const std::vector<double>& values)
{
    return std::accumulate(values.begin(), values.end(), 0.0) / double(values.size());
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times getStatus through VKRConnection against a raw exchange."));
    parser.addHelpOption();
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Rounds of each (default 10)."), QStringLiteral("n"),
                                          QStringLiteral("10"));
    const QCommandLineOption exchangesOption(QStringLiteral("exchanges"),
                                             QStringLiteral("Exchanges per round (default 2000)."),
                                             QStringLiteral("n"), QStringLiteral("2000"));
    parser.addOption(roundsOption);
    parser.addOption(exchangesOption);
    parser.process(application);
    const int rounds = std::max(1, parser.value(roundsOption).toInt());
    const int exchanges = std::max(1, parser.value(exchangesOption).toInt());

    // The connection's "out:..." debug lines are off by default (vkr.serial); the string work's
    // stand-in for them, in the default category, is filtered out the same way, so the figures show
    // the exchange and not the console.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    std::string error;
    StatusPeer connectionPeer;
    StatusPeer rawPeer;
    if (!connectionPeer.start(error) || !rawPeer.start(error)) {
        std::fprintf(stderr, "vkr-bench-protocol: %s\n", error.c_str());
        return 1;
    }
    VKRConnection connection;
    const uint32_t opened =
        connection.open(QStringLiteral("serial:") + QString::fromStdString(connectionPeer.slavePath()));
    RawLine raw;
    if (opened != 0 || !raw.open(rawPeer.slavePath())) {
        std::fprintf(stderr, "vkr-bench-protocol: cannot open the lines (connection: %u)\n", opened);
        return 1;
    }
#ifdef VKR_BENCH_QT_SERIAL_PORT
    StatusPeer qtPeer;
    QtSerialPortLine qtLine;
    if (!qtPeer.start(error) || !qtLine.open(qtPeer.slavePath())) {
        std::fprintf(stderr, "vkr-bench-protocol: cannot open the Qt Serial Port line\n");
        return 1;
    }
#endif
    struct Method
    {
        const char* name;
        std::function<bool()> exchange;
        std::vector<double> wall;
        std::vector<double> cpu;
    };
    Method methods[] = {
        {"VKRConnection",
         [&connection] {
             uint32_t status = 1;
             return connection.getStatus(0, status) == 0 && status == 0;
         },
         {},
         {}},
        {"raw", [&raw] { return raw.exchange(); }, {}, {}},
        {"raw+strings", [&raw] { return raw.exchangeWithStringWork(); }, {}, {}},
#ifdef VKR_BENCH_QT_SERIAL_PORT
        {"Qt Serial Port", [&qtLine] { return qtLine.exchange(); }, {}, {}},
#endif
    };
    constexpr int methodCount = int(std::size(methods));
    enum
    {
        ViaConnection,
        Raw,
        RawWithStrings,
        QtSerialPort
    };

    std::printf(
        "Method: one pseudo-terminal per host, each answered at once by its own peer thread "
        "(\":GS0\" -> \":S0,0\").\n"
        "  VKRConnection: getStatus(0) on a connection opened by the real handshake; its debug line\n"
        "    off, as its logging category vkr.serial is by default.\n"
        "  raw: write \":GS0\\n\", read() in bulk (poll while empty) up to the line feed.\n"
        "  raw+strings: raw, plus the string work of VKRConnection (command text built and framed,\n"
        "    the debug line's check, reply turned into a QString and parsed by ReplyParser).\n"
        "  Qt Serial Port (where installed): QSerialPort::write, waitForReadyRead until a whole line\n"
        "    is there, readLine.\n"
        "  %d rounds of %d exchanges per method, the methods in turn (the order rotating every\n"
        "  round), after %d warm-up exchanges each. us = wall time per exchange; cpu = the host\n"
        "  thread's CLOCK_THREAD_CPUTIME_ID per exchange (user and system).\n\n",
        rounds, exchanges, exchanges / 4);
    for (Method& method : methods)
        timeExchanges(exchanges / 4 + 1, method.exchange);

    std::printf("%-7s", "round");
    for (const Method& method : methods)
        std::printf(" %16s us %6s", method.name, "cpu");
    std::printf(" %8s\n", "ratio");
    for (int round = 0; round < rounds; ++round) {
        // A busy spell of the shared machine should fall on every method alike.
        for (int turn = 0; turn < methodCount; ++turn) {
            Method& method = methods[(round + turn) % methodCount];
            const Timing timing = timeExchanges(exchanges, method.exchange);
            method.wall.push_back(timing.wall);
            method.cpu.push_back(timing.cpu);
        }
        std::printf("%-7d", round + 1);
        for (const Method& method : methods)
            std::printf(" %19.2f %6.2f", method.wall.back(), method.cpu.back());
        std::printf(" %8.3f\n", methods[ViaConnection].wall.back() / methods[Raw].wall.back());
    }
    std::printf("%-7s", "median");
    for (const Method& method : methods)
        std::printf(" %19.2f %6.2f", median(method.wall), median(method.cpu));
    std::printf(" %8.3f\n", median(methods[ViaConnection].wall) / median(methods[Raw].wall));
    std::printf("%-7s", "mean");
    for (const Method& method : methods)
        std::printf(" %19.2f %6.2f", mean(method.wall), mean(method.cpu));
    std::printf(" %8.3f\n", mean(methods[ViaConnection].wall) / mean(methods[Raw].wall));

    std::printf("\nRatio VKRConnection / raw (median wall time per exchange): %.3f\n",
                median(methods[ViaConnection].wall) / median(methods[Raw].wall));
    std::printf("Ratio raw+strings / raw (median wall time per exchange):   %.3f\n",
                median(methods[RawWithStrings].wall) / median(methods[Raw].wall));
#ifdef VKR_BENCH_QT_SERIAL_PORT
    std::printf("Ratio Qt Serial Port / raw (median wall time per exchange): %.3f\n",
                median(methods[QtSerialPort].wall) / median(methods[Raw].wall));
    std::printf("Ratio VKRConnection / Qt Serial Port (median wall time):    %.3f\n",
                median(methods[ViaConnection].wall) / median(methods[QtSerialPort].wall));
#endif
    printBreakdown(median(methods[ViaConnection].cpu) - median(methods[Raw].cpu));
    connection.close();
    return 0;
}
