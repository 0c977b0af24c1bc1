// vkr-sim: a simulated controller on a pseudo-terminal, spoken to over the controller's serial
// protocol. It prints the locator to type into the tool and serves until SIGINT or SIGTERM.
#include "ptyserver.h"
#include "replayserver.h"
#include "serialresponder.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace {

int stopPipe[2] = {-1, -1};

// Only what is safe in a signal handler: one write to the pipe the server polls.
extern "C" void requestStop(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
    errno = savedErrno;
}

bool installStopHandlers()
{
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

void announce(const std::string& slavePath)
{
    std::cout << "vkr-sim: simulated controller on " << slavePath << "\n"
              << "locator: serial:" << slavePath << std::endl;
}

int exitStatus(PtyServer::End end, const char* whose)
{
    switch (end) {
    case PtyServer::End::Stopped:
        return 0;
    case PtyServer::End::HungUp:
        std::cerr << "vkr-sim: hung up the line as " << whose << " asks; the pseudo-terminal is gone\n";
        return 0;
    case PtyServer::End::Failed:
        break;
    }
    std::cerr << "vkr-sim: the line failed\n";
    return 1;
}

int replay(const std::string& path, double speed, bool verbose, const std::string& link)
{
    std::string error;
    std::string ending;
    const std::optional<SerialReplay> conversation = SerialReplay::load(path, error, ending);
    if (!conversation) {
        std::cerr << "vkr-sim: the recording cannot be replayed: " << error << "\n";
        return 2;
    }
    if (!ending.empty())
        std::cerr << "vkr-sim: " << ending << "\n";
    ReplayServer server(*conversation, speed, std::cerr, verbose ? &std::cerr : nullptr);
    if (!installStopHandlers() || !server.open(error, link)) {
        std::cerr << "vkr-sim: cannot provide a pseudo-terminal: " << error << "\n";
        return 1;
    }
    announce(server.slavePath());
    return exitStatus(server.serve(stopPipe[0]), "the recording");
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vkr-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VKR_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulates a VKR positioning controller on a pseudo-terminal. Type the printed locator into\n"
        "the tool; the controller answers the serial protocol until SIGINT or SIGTERM."));
    // Not addHelpOption(): it also offers --help-all for Qt's own options, which this program does not
    // take.
    parser.addOption(QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Displays help on commandline options.")));
    parser.addVersionOption();
    const QCommandLineOption scenarioOption(
        QStringLiteral("scenario"),
        QStringLiteral("The controller's behaviour: the items of a sim: locator, plus serial-line faults "
                       "(see docs/simulator.md or vkr-sim(1))."),
        QStringLiteral("text"));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"), QStringLiteral("Log every command received and reply sent on stderr."));
    const QCommandLineOption replayOption(
        QStringLiteral("replay"),
        QStringLiteral("Answer as the controller did in a recording of vkr-calibrate --record, and report on "
                       "stderr where the tool departs from it."),
        QStringLiteral("file"));
    const QCommandLineOption speedOption(
        QStringLiteral("speed"),
        QStringLiteral("With --replay: play the recorded gaps N times faster (0.001 to 1000)."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption truthOption(
        QStringLiteral("truth"),
        QStringLiteral("Append the controller's own account of events to the file, one JSON line each: "
                       "handshake, calibrations started, completed, stopped, and what still runs when the "
                       "host closes the line or vkr-sim ends."),
        QStringLiteral("file"));
    const QCommandLineOption linkOption(
        QStringLiteral("link"),
        QStringLiteral("Also reach the pseudo-terminal through a symbolic link at this path, which the "
                       "locator names and which is removed when the line is hung up or vkr-sim ends."),
        QStringLiteral("path"));
    parser.addOption(scenarioOption);
    parser.addOption(linkOption);
    parser.addOption(truthOption);
    parser.addOption(verboseOption);
    parser.addOption(replayOption);
    parser.addOption(speedOption);
    // process() would end a bad command line with status 1, which means a failed line here.
    if (!parser.parse(QCoreApplication::arguments())) {
        std::cerr << "vkr-sim: " << parser.errorText().toStdString() << "\nTry 'vkr-sim --help'.\n";
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        std::cerr << "vkr-sim: unexpected argument: " << parser.positionalArguments().first().toStdString()
                  << "\nTry 'vkr-sim --help'.\n";
        return 2;
    }

    const std::string link = parser.value(linkOption).toLocal8Bit().toStdString();
    if (parser.isSet(replayOption) || parser.isSet(speedOption)) {
        bool isNumber = false;
        const double speed = parser.value(speedOption).toDouble(&isNumber);
        if (!parser.isSet(replayOption) || parser.isSet(scenarioOption)) {
            std::cerr << "vkr-sim: --replay takes no --scenario, and --speed goes with --replay\n"
                         "Try 'vkr-sim --help'.\n";
            return 2;
        }
        if (!isNumber || !(speed >= ReplayServer::SlowestSpeed && speed <= ReplayServer::FastestSpeed)) {
            std::cerr << "vkr-sim: --speed takes a number from " << ReplayServer::SlowestSpeed << " to "
                      << ReplayServer::FastestSpeed << "\nTry 'vkr-sim --help'.\n";
            return 2;
        }
        return replay(parser.value(replayOption).toLocal8Bit().toStdString(), speed,
                      parser.isSet(verboseOption), link);
    }

    std::string error;
    const std::unique_ptr<SerialResponder> responder =
        SerialResponder::fromScenario(parser.value(scenarioOption).toStdString(), &error);
    if (!responder) {
        std::cerr << "vkr-sim: the scenario does not parse: " << error << "\n";
        return 2;
    }

    std::shared_ptr<SimTruth> truth;
    if (parser.isSet(truthOption)) {
        const std::string path = parser.value(truthOption).toLocal8Bit().toStdString();
        if (!(truth = SimTruth::open(path))) {
            std::cerr << "vkr-sim: the truth file " << path << " cannot be opened: " << std::strerror(errno)
                      << "\n";
            return 2;
        }
    }

    PtyServer server(*responder, parser.isSet(verboseOption) ? &std::cerr : nullptr);
    if (!installStopHandlers() || !server.open(error, link)) {
        std::cerr << "vkr-sim: cannot provide a pseudo-terminal: " << error << "\n";
        return 1;
    }
    responder->keepTruth(truth, server.slavePath());
    announce(server.slavePath());
    const PtyServer::End end = server.serve(stopPipe[0]);
    responder->accountRunning("ended");
    return exitStatus(end, "the scenario");
}
