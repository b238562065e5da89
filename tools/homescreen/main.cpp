// homescreen: the home screen's Event Feed service on the session bus, printing every change to
// its items until it is terminated.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <csignal>
#include <cstdio>

#include "homescreen/eventfeedservice.h"
#include "homescreen/unixsignals.h"

namespace {

// Whoever watches (a person, a script, a test) sees each line the moment it happens.
void printLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("homescreen"));
    qSetMessagePattern(
            QStringLiteral("homescreen: %{if-warning}warning: %{endif}%{if-critical}error: %{endif}%{message}"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "The home screen's Event Feed on the session bus: the service com.tarvo.home.EventFeed with the object "
            "/eventfeed. Prints \"owns com.tarvo.home.EventFeed /eventfeed\" once it has the name, then one line per "
            "change: \"added <id> <key>=<value>...\", \"updated <id> <key>=<value>...\", \"removed <id>\", "
            "\"removed-source <name> <count>\", \"refresh-requested\". SIGUSR1 asks the feed's publishers to "
            "refresh; SIGINT and SIGTERM end the program."));
    parser.addHelpOption();
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        QTextStream(stderr) << "homescreen: takes no arguments (--help tells more)\n";
        return 2;
    }

    // Handled before the name is taken: whoever saw the start line may signal at once.
    HomeScreen::UnixSignals signalWatcher({SIGINT, SIGTERM, SIGUSR1});
    if (!signalWatcher.isValid())
        return 1;

    HomeScreen::EventFeedService service;
    QObject::connect(&service, &HomeScreen::EventFeedService::changeReported, &printLine);
    if (!service.registerOnBus()) {
        QTextStream(stderr) << "homescreen: " << service.errorString() << '\n';
        return 1;
    }
    QObject::connect(&service, &HomeScreen::EventFeedService::busLost, &app, [] {
        qWarning("the session bus is gone");
        QCoreApplication::exit(0);
    });
    QObject::connect(&signalWatcher, &HomeScreen::UnixSignals::received, &app, [&service](int signalNumber) {
        if (signalNumber == SIGUSR1)
            service.requestRefresh();
        else
            QCoreApplication::exit(0);
    });

    printLine(QStringLiteral("owns %1 %2")
                      .arg(QLatin1String(HomeScreen::EventFeedService::ServiceName),
                           QLatin1String(HomeScreen::EventFeedService::ObjectPath)));
    return app.exec();
}
