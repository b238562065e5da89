#include "platform/system/helper.h"
#include "platform/support/logging.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QLoggingCategory>
#include <QTranslator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

namespace {

QByteArray gProgramName("quillnet-daemon");

// systemd's levels: 2 crit, 4 warning, 6 info, 7 debug.
int priorityOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 7;
    case QtInfoMsg:
        return 6;
    case QtWarningMsg:
        return 4;
    case QtCriticalMsg:
    case QtFatalMsg:
        return 2;
    }
    return 4;
}

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    const QByteArray line = Helper::formatLine(type, QString::fromLocal8Bit(gProgramName), text).toLocal8Bit() + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
    fflush(stderr);
}

} // namespace

Helper::Helper(QObject *parent)
    : QObject(parent)
{}

Helper::~Helper()
{
    if (mTranslator)
        QCoreApplication::removeTranslator(mTranslator);
    delete mTranslator;
}

void Helper::setDebugCallback(const char *name, bool debug)
{
    gProgramName = QByteArray(name ? name : "");
    // Without --debug, debug and info lines are off in every category before they are formatted;
    // QT_LOGGING_RULES is read after these rules, so it can still turn one subsystem on.
    QLoggingCategory::setFilterRules(debug ? QString() : QStringLiteral("*.debug=false\n*.info=false"));
    qInstallMessageHandler(messageHandler);
}

QString Helper::formatLine(QtMsgType type, const QString &name, const QString &text)
{
    // A multi-line message stays one journal entry per line, each with its priority.
    QStringList lines = text.split(QLatin1Char('\n'));
    const QString prefix = QStringLiteral("<%1>%2: ").arg(priorityOf(type)).arg(name);
    for (QString &line : lines)
        line.prepend(prefix);
    return lines.join(QLatin1Char('\n'));
}

void Helper::setLowPriority()
{
    // Background work must not compete with the foreground applications. On Linux the nice value
    // belongs to each thread: every thread that exists now (the D-Bus and event dispatch threads
    // started before this call) is lowered, and threads started later inherit the value.
    const QStringList threads = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QList<id_t> ids;
    for (const QString &name : threads) {
        bool ok = false;
        const uint id = name.toUInt(&ok);
        if (ok)
            ids << id_t(id);
    }
    if (ids.isEmpty())
        ids << 0; // no /proc: at least the calling thread
    for (const id_t id : std::as_const(ids)) {
        errno = 0;
        // A thread that ended in the meantime is no failure.
        if (setpriority(PRIO_PROCESS, id, LowPriorityNice) != 0 && errno != ESRCH)
            qCWarning(lcDaemon) << Q_FUNC_INFO << "setpriority failed for thread" << id << ":" << strerror(errno);
    }
}

QStringList Helper::translationDirectories()
{
    QStringList dirs;
    const QString fromEnv = qEnvironmentVariable("QUILLNET_TRANSLATIONS_DIR");
    if (!fromEnv.isEmpty())
        dirs << fromEnv;
    if (QCoreApplication::instance()) {
        const QString binDir = QCoreApplication::applicationDirPath();
        dirs << binDir + QStringLiteral("/translations");
        // Installed under another prefix than the one configured (cmake --install --prefix ~/.local).
        dirs << QDir::cleanPath(binDir + QStringLiteral("/../share/quillnet-daemon/translations"));
    }
    dirs << QStringLiteral(QUILLNET_TRANSLATIONS_INSTALL_DIR);
    return dirs;
}

bool Helper::setLocale(const QString &catalogue)
{
    auto *translator = new QTranslator;
    bool loaded = false;
    for (const QString &dir : translationDirectories()) {
        // Tries catalogue_de_DE.qm, catalogue_de.qm, ... in the order of the user's languages, then
        // catalogue.qm, the engineering English. Without the explicit suffix QTranslator's last
        // resort would be a file named "catalogue" with no suffix at all.
        if (translator->load(QLocale(), catalogue, QStringLiteral("_"), dir, QStringLiteral(".qm"))) {
            loaded = true;
            break;
        }
    }
    if (!loaded) {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "no catalogue" << catalogue << "for" << QLocale().name();
        delete translator;
        return false;
    }
    if (mTranslator) {
        QCoreApplication::removeTranslator(mTranslator);
        delete mTranslator;
    }
    mTranslator = translator;
    QCoreApplication::installTranslator(mTranslator);
    return true;
}
