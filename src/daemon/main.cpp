#include <QCoreApplication>
#include <QStringList>

#include <sys/stat.h>

#include "daemon/quillnetdaemon.h"
#include "platform/system/helper.h"

int main(int argc, char *argv[])
{
    // Everything the daemon creates (databases, downloads, settings, their lock and journal files)
    // is the user's alone from the moment it exists.
    ::umask(077);

    QCoreApplication app(argc, argv);
    const bool debug = QCoreApplication::arguments().contains(QStringLiteral("--debug"));
    Helper::setDebugCallback("quillnet-daemon", debug);

    int result = 0;
    {
        QuillnetDaemon daemon;
        // Start-up runs at normal priority; the daemon's lasting work does not.
        Helper::setLowPriority();
        result = app.exec();
    }
    return result;
}
