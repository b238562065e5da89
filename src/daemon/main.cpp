#include <QCoreApplication>
#include <QStringList>

#include "daemon/quillnetdaemon.h"
#include "platform/system/helper.h"

int main(int argc, char* argv[])
{
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
