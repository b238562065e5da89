#include <QCoreApplication>
#include <QStringList>

#include <csignal>

#include <sys/stat.h>

#include "daemon/quillnetdaemon.h"
#include "platform/quillnet/environmentproxy.h"
#include "platform/support/unixsignals.h"
#include "platform/system/helper.h"
#include "platform/support/logging.h"

int main(int argc, char *argv[])
{
    // Everything the daemon creates (databases, downloads, settings, their lock and journal files)
    // is the user's alone from the moment it exists.
    ::umask(077);

    QCoreApplication app(argc, argv);
    const bool debug = QCoreApplication::arguments().contains(QStringLiteral("--debug"));
    Helper::setDebugCallback("quillnet-daemon", debug);

    // A stop asked for (systemd, a terminal) ends the event loop, so that what the daemon made is
    // taken down with it: its socket, the write-ahead log folded back into its database.
    Support::UnixSignals stopSignals({SIGTERM, SIGINT});
    QObject::connect(&stopSignals, &Support::UnixSignals::received, &app, [](int signalNumber) {
        qCInfo(lcDaemon, "Stopping on signal %d", signalNumber);
        QCoreApplication::quit();
    });

    // Before the first network access manager asks Qt's system configuration.
    Qn::EnvironmentProxyFactory::install();

    int result = 0;
    {
        QuillnetDaemon daemon;
        // Start-up runs at normal priority; the daemon's lasting work does not.
        Helper::setLowPriority();
        result = app.exec();
    }
    return result;
}
