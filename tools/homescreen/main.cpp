// homescreen: the home screen's Event Feed, notification area and a stand-in of the Quillnet app on
// the session bus, and a contacts view of the social provider's persons, printing every change and
// call until it is terminated.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

#include "homescreen/commandinput.h"
#include "homescreen/contactsview.h"
#include "homescreen/eventfeedservice.h"
#include "homescreen/feeditemviewer.h"
#include "homescreen/notificationserver.h"
#include "homescreen/pageserver.h"
#include "homescreen/phoneactions.h"
#include "homescreen/quillnetapp.h"
#include "platform/support/unixsignals.h"

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
            "A home screen on the session bus: the Event Feed com.tarvo.home.EventFeed at /eventfeed, the "
            "notification server org.freedesktop.Notifications at /org/freedesktop/Notifications, and a stand-in "
            "of the Quillnet app, com.tarvo.quillnet at /OpenView and com.tarvo.quillnet.eventfeed at "
            "/EventFeedMessage. Prints \"owns <name> <path>\" for each once it "
            "has them all, then one line per change or call: \"added <id> <key>=<value>...\", \"updated <id> "
            "<key>=<value>...\", \"removed <id>\", \"removed-source <name> <count>\", \"refresh-requested\"; "
            "\"notify <id> app=... summary=... body=... [icon=...] [actions=[...]] [hints=...] timeout=<ms>|never\", "
            "\"update <id> ...\" (the same fields), \"action <id> key=\\\"default\\\"\", \"close <id> reason=<n>\" "
            "(1 expired, 2 dismissed, 3 closed by the program); \"openView kind=\\\"...\\\" id=\\\"...\\\"\", "
            "\"showItem post=\\\"...\\\"\" (a tapped feed item).\n"
            "A contacts view asks the social provider com.tarvo.socialprovider.quillnet for all persons whenever it "
            "appears, and for the announced ones on each personsUpdate: \"contact <id> first=... last=... ...\" per "
            "person and \"contacts <n>\" per answer, \"persons-update <n>\", \"contacts-error type=<n> "
            "description=...\".\n"
            "Commands on standard input, one per line: \"tap <id>\" invokes a notification's default action, "
            "\"close <id>\" dismisses it, \"refresh\" asks the Event Feed's publishers to refresh, as SIGUSR1 does, "
            "\"contacts\" asks the social provider for all persons again. SIGINT and SIGTERM end the program.\n"
            "--page also serves all of it as a web page on 127.0.0.1 (a free port, printed as \"page <address>\" "
            "after the owns lines), with buttons for a person's taps, updated live. The address holds a secret of "
            "this run, which every request must carry."));
    parser.addHelpOption();
    const QCommandLineOption noNotifications(
            QStringLiteral("no-notifications"),
            QStringLiteral("Runs without the notification server, leaving its name to another program."));
    const QCommandLineOption noApp(QStringLiteral("no-app"),
                                   QStringLiteral("Runs without the stand-ins of the Quillnet app."));
    const QCommandLineOption noContacts(QStringLiteral("no-contacts"),
                                        QStringLiteral("Runs without the contacts view, leaving the social provider "
                                                       "alone."));
    parser.addOption(noNotifications);
    parser.addOption(noApp);
    const QCommandLineOption page(QStringLiteral("page"),
                                  QStringLiteral("Serves the home screen as a web page on 127.0.0.1."));
    parser.addOption(noContacts);
    parser.addOption(page);
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        QTextStream(stderr) << "homescreen: takes no arguments (--help tells more)\n";
        return 2;
    }

    // Handled before the names are taken: whoever saw the start lines may signal at once.
    Support::UnixSignals signalWatcher({SIGINT, SIGTERM, SIGUSR1});
    if (!signalWatcher.isValid())
        return 1;

    HomeScreen::EventFeedService feed;
    std::unique_ptr<HomeScreen::NotificationServer> notifications;
    if (!parser.isSet(noNotifications))
        notifications = std::make_unique<HomeScreen::NotificationServer>();
    std::unique_ptr<HomeScreen::QuillnetApp> quillnetApp;
    std::unique_ptr<HomeScreen::FeedItemViewer> feedItemViewer;
    if (!parser.isSet(noApp)) {
        quillnetApp = std::make_unique<HomeScreen::QuillnetApp>();
        feedItemViewer = std::make_unique<HomeScreen::FeedItemViewer>();
    }

    const std::pair<HomeScreen::BusService *, const char *> services[] = {
            {&feed, nullptr},
            {notifications.get(), "--no-notifications"},
            {quillnetApp.get(), "--no-app"},
            {feedItemViewer.get(), "--no-app"},
    };
    bool busLost = false;
    // Each service and the contacts view have a connection of their own; the first to lose it ends
    // the program.
    const auto onBusLost = [&busLost] {
        if (!busLost)
            qWarning("the session bus is gone");
        busLost = true;
        QCoreApplication::exit(0);
    };
    for (const auto &[service, option] : services) {
        if (!service)
            continue;
        QObject::connect(service, &HomeScreen::BusService::changeReported, &printLine);
        if (!service->registerOnBus()) {
            QTextStream err(stderr);
            err << "homescreen: " << service->errorString();
            if (option)
                err << " (" << option << " runs without it)";
            err << '\n';
            return 1;
        }
        QObject::connect(service, &HomeScreen::BusService::busLost, &app, onBusLost);
    }
    QObject::connect(&signalWatcher, &Support::UnixSignals::received, &app, [&feed](int signalNumber) {
        if (signalNumber == SIGUSR1)
            feed.requestRefresh();
        else
            QCoreApplication::exit(0);
    });
    std::unique_ptr<HomeScreen::ContactsView> contacts;
    if (!parser.isSet(noContacts)) {
        contacts = std::make_unique<HomeScreen::ContactsView>();
        QObject::connect(contacts.get(), &HomeScreen::ContactsView::changeReported, &printLine);
        QObject::connect(contacts.get(), &HomeScreen::ContactsView::busLost, &app, onBusLost);
    }
    std::unique_ptr<HomeScreen::PhoneActions> actions;
    std::unique_ptr<HomeScreen::PageServer> pageServer;
    if (parser.isSet(page)) {
        actions = std::make_unique<HomeScreen::PhoneActions>();
        pageServer = std::make_unique<HomeScreen::PageServer>(&feed, notifications.get(), actions.get());
        HomeScreen::PageServer *server = pageServer.get();
        QObject::connect(&feed, &HomeScreen::BusService::changeReported, server,
                         &HomeScreen::PageServer::reportFeedChange);
        if (notifications)
            QObject::connect(notifications.get(), &HomeScreen::BusService::changeReported, server,
                             &HomeScreen::PageServer::reportNotificationChange);
        if (quillnetApp)
            QObject::connect(quillnetApp.get(), &HomeScreen::BusService::changeReported, server,
                             &HomeScreen::PageServer::reportActivity);
        QObject::connect(actions.get(), &HomeScreen::PhoneActions::changeReported, &printLine);
        QObject::connect(actions.get(), &HomeScreen::PhoneActions::changeReported, server,
                         &HomeScreen::PageServer::reportActivity);
        if (contacts) {
            QObject::connect(contacts.get(), &HomeScreen::ContactsView::contactReceived, server,
                             &HomeScreen::PageServer::setContact);
            // One line per contact would push every other line off the page's short list.
            QObject::connect(contacts.get(), &HomeScreen::ContactsView::changeReported, server,
                             [server](const QString &line) {
                                 if (!line.startsWith(QLatin1String("contact ")))
                                     server->reportActivity(line);
                             });
        }
        if (!pageServer->listen()) {
            QTextStream(stderr) << "homescreen: " << pageServer->errorString() << '\n';
            return 1;
        }
    }
    HomeScreen::CommandInput commands(&feed, notifications.get(), contacts.get());
    commands.listen(STDIN_FILENO);

    for (const auto &[service, option] : services) {
        if (service)
            printLine(QStringLiteral("owns %1 %2").arg(service->serviceName(), service->objectPath()));
    }
    if (pageServer)
        printLine(QStringLiteral("page %1").arg(pageServer->address()));
    // After the names: a provider that is there already is asked at once, and its contacts follow the
    // start lines.
    if (contacts && !contacts->start()) {
        QTextStream(stderr) << "homescreen: " << contacts->errorString() << " (--no-contacts runs without it)\n";
        return 1;
    }
    return app.exec();
}
