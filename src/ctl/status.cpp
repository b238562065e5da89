#include "ctl/status.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDateTime>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>

#include "common/constants.h"
#include "platform/accounts/accountintegration.h"

namespace {

const QString StatusPath = QLatin1String(Constants::StatusObjectPath);
const QString StatusInterface = QLatin1String(Constants::StatusInterface);
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr int CallTimeoutMs = 5000;
// A sync that starts nothing within this time will not; the longest import gives up after 90 s.
constexpr int StartWaitMs = 10000;
constexpr int SyncWaitMs = 150000;

struct ImportName
{
    const char *property;
    const char *json;
    const char *label;
};
const ImportName Imports[] = {
        {"NewsFeedImport", "newsFeed", "News feed"},
        {"NotificationImport", "notifications", "Notifications"},
        {"FriendImport", "friends", "Friends"},
};

QString serviceName()
{
    return QString::fromLatin1(Constants::ServiceName);
}

bool isRunning(const QDBusConnection &bus)
{
    return bus.isConnected() && bus.interface()->isServiceRegistered(serviceName()).value();
}

// What the bus hands over as QDBusArgument (maps, arrays inside variants), as plain values.
QVariant plain(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        return plain(value.value<QDBusVariant>().variant());
    if (value.userType() != qMetaTypeId<QDBusArgument>())
        return value;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentType() == QDBusArgument::MapType) {
        QVariantMap map;
        argument.beginMap();
        while (!argument.atEnd()) {
            QString key;
            QVariant item;
            argument.beginMapEntry();
            argument >> key >> item;
            argument.endMapEntry();
            map.insert(key, plain(item));
        }
        argument.endMap();
        return map;
    }
    if (argument.currentType() == QDBusArgument::ArrayType && argument.currentSignature() == QLatin1String("as")) {
        QStringList list;
        argument >> list;
        return list;
    }
    return QVariant();
}

QJsonObject importJson(const QVariantMap &import)
{
    return QJsonObject::fromVariantMap(import);
}

QString localTime(const QString &iso)
{
    const QDateTime time = QDateTime::fromString(iso, Qt::ISODateWithMs);
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

QString importLine(const QVariantMap &import)
{
    const QString result = import.value(QStringLiteral("result")).toString();
    if (result.isEmpty())
        return QStringLiteral("never");
    const QString started = localTime(import.value(QStringLiteral("started")).toString());
    const QString ended = localTime(import.value(QStringLiteral("ended")).toString());
    if (result == QLatin1String("running"))
        return QStringLiteral("running since %1").arg(started);
    return QStringLiteral("%1 (%2 - %3)").arg(result, started, ended.mid(11));
}

// Where the account stands when no daemon runs; and what to do about it.
QString accountState(QString *hint)
{
    AccountIntegration account;
    if (!account.isValidAccount()) {
        *hint = QStringLiteral("run quillnetctl login");
        return QStringLiteral("none");
    }
    if (!account.isAccountEnabled()) {
        *hint = QStringLiteral("enable the account: enabled=true in %1").arg(account.filePath());
        return QStringLiteral("disabled");
    }
    *hint = QStringLiteral("start quillnet-daemon (systemctl --user start quillnet-daemon)");
    return QStringLiteral("ready");
}

void writeJson(QTextStream &out, const QJsonObject &object)
{
    out << QJsonDocument(object).toJson(QJsonDocument::Indented);
}

// Watches the status object's changes for as long as it lives.
class ChangeWatcher : public QObject
{
    Q_OBJECT

public:
    explicit ChangeWatcher(const QDBusConnection &bus)
        : mBus(bus)
    {
        mBus.connect(serviceName(), StatusPath, PropertiesInterface, QStringLiteral("PropertiesChanged"), this,
                     SLOT(onChanged(QString, QVariantMap, QStringList)));
    }
    ~ChangeWatcher() override
    {
        mBus.disconnect(serviceName(), StatusPath, PropertiesInterface, QStringLiteral("PropertiesChanged"), this,
                        SLOT(onChanged(QString, QVariantMap, QStringList)));
    }

    QVariantMap values;

signals:
    void changed();

private slots:
    void onChanged(const QString &interface, const QVariantMap &changedValues, const QStringList &)
    {
        if (interface != StatusInterface)
            return;
        for (auto it = changedValues.cbegin(); it != changedValues.cend(); ++it)
            values.insert(it.key(), plain(it.value()));
        emit changed();
    }

private:
    QDBusConnection mBus;
};

} // namespace

namespace Ctl {

std::optional<QVariantMap> readStatus(const QDBusConnection &bus)
{
    QDBusMessage call
            = QDBusMessage::createMethodCall(serviceName(), StatusPath, PropertiesInterface, QStringLiteral("GetAll"));
    call << StatusInterface;
    const QDBusMessage reply = bus.call(call, QDBus::Block, CallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    const QVariant values = plain(reply.arguments().constFirst());
    if (values.userType() != QMetaType::QVariantMap)
        return std::nullopt;
    return values.toMap();
}

int status(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    const bool json = arguments.contains(QStringLiteral("--json"));
    if (arguments.size() > (json ? 1 : 0)) {
        err << "usage: quillnetctl status [--json]\n";
        return Usage;
    }
    const QDBusConnection bus = QDBusConnection::sessionBus();
    const bool running = isRunning(bus);
    const std::optional<QVariantMap> values = running ? readStatus(bus) : std::nullopt;
    if (running && !values) {
        err << "quillnet-daemon is running but does not answer.\n";
        return NotLoggedIn;
    }
    if (!values) {
        QString hint;
        const QString account = accountState(&hint);
        if (json) {
            writeJson(out,
                      {{QStringLiteral("running"), false},
                       {QStringLiteral("account"), account},
                       {QStringLiteral("hint"), hint}});
        } else {
            out << "quillnet-daemon is not running";
            out << (account == QLatin1String("none")               ? QStringLiteral(": there is no account")
                            : account == QLatin1String("disabled") ? QStringLiteral(": the account is disabled")
                                                                   : QString());
            out << ".\nTo do: " << hint << "\n";
        }
        return NotRunning;
    }

    const QVariantMap &v = *values;
    const auto text = [&v](const char *name) { return v.value(QLatin1String(name)).toString(); };
    const auto flag = [&v](const char *name) { return v.value(QLatin1String(name)).toBool(); };
    const auto number = [&v](const char *name) { return v.value(QLatin1String(name)).toInt(); };
    const bool loggedIn = flag("LoggedIn");
    if (json) {
        QJsonObject imports;
        for (const ImportName &import : Imports)
            imports.insert(QLatin1String(import.json), importJson(v.value(QLatin1String(import.property)).toMap()));
        writeJson(out,
                  {{QStringLiteral("running"), true},
                   {QStringLiteral("runningSince"), text("RunningSince")},
                   {QStringLiteral("account"), text("AccountName")},
                   {QStringLiteral("loggedIn"), loggedIn},
                   {QStringLiteral("loginError"), text("LoginError")},
                   {QStringLiteral("imports"), imports},
                   {QStringLiteral("published"),
                    QJsonObject {{QStringLiteral("items"), number("Items")},
                                 {QStringLiteral("groups"), number("Groups")},
                                 {QStringLiteral("friends"), number("Friends")}}},
                   {QStringLiteral("peers"),
                    QJsonObject {{QStringLiteral("eventFeed"), flag("EventFeedPresent")},
                                 {QStringLiteral("notificationServer"), flag("NotificationServerPresent")},
                                 {QStringLiteral("capabilities"),
                                  QJsonArray::fromStringList(
                                          v.value(QStringLiteral("NotificationServerCapabilities")).toStringList())},
                                 {QStringLiteral("app"), flag("AppConnected")},
                                 {QStringLiteral("appView"), text("AppView")}}},
                   {QStringLiteral("summary"), text("Summary")}});
        return loggedIn ? Ok : NotLoggedIn;
    }

    const auto row = [&out](const char *label, const QString &value) {
        out << QString::fromLatin1(label).leftJustified(21) << value << "\n";
    };
    row("quillnet-daemon:", QStringLiteral("running since %1").arg(localTime(text("RunningSince"))));
    row("Account:",
        loggedIn ? QStringLiteral("%1, logged in").arg(text("AccountName"))
                : text("LoginError").isEmpty()
                ? QStringLiteral("%1, logging in").arg(text("AccountName"))
                : QStringLiteral("%1, not logged in: %2").arg(text("AccountName"), text("LoginError")));
    for (const ImportName &import : Imports)
        row((QByteArray(import.label) + ':').constData(), importLine(v.value(QLatin1String(import.property)).toMap()));
    row("Published:",
        QStringLiteral("%1 feed items, %2 notification groups, %3 friends")
                .arg(number("Items"))
                .arg(number("Groups"))
                .arg(number("Friends")));
    row("Event Feed:", flag("EventFeedPresent") ? QStringLiteral("present") : QStringLiteral("absent"));
    const QStringList capabilities = v.value(QStringLiteral("NotificationServerCapabilities")).toStringList();
    row("Notification server:",
        !flag("NotificationServerPresent") ? QStringLiteral("absent")
                : capabilities.isEmpty()   ? QStringLiteral("present")
                                         : QStringLiteral("present (%1)").arg(capabilities.join(QStringLiteral(", "))));
    row("Quillnet app:",
        !flag("AppConnected")               ? QStringLiteral("not connected")
                : text("AppView").isEmpty() ? QStringLiteral("connected")
                                            : QStringLiteral("connected, showing \"%1\"").arg(text("AppView")));
    if (!loggedIn && !text("LoginError").isEmpty())
        out << "To do: check the account (quillnetctl login signs in again).\n";
    return loggedIn ? Ok : NotLoggedIn;
}

int sync(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    if (!arguments.isEmpty()) {
        err << "usage: quillnetctl sync\n";
        return Usage;
    }
    const QDBusConnection bus = QDBusConnection::sessionBus();
    ChangeWatcher watcher(bus);
    const std::optional<QVariantMap> before = isRunning(bus) ? readStatus(bus) : std::nullopt;
    if (!before) {
        err << "quillnet-daemon is not running.\n";
        return NotRunning;
    }
    if (!before->value(QStringLiteral("LoggedIn")).toBool()) {
        err << "quillnet-daemon is not logged in: " << before->value(QStringLiteral("LoginError")).toString() << "\n";
        return NotLoggedIn;
    }
    watcher.values = *before;

    // The imports of this sync: those that start after the call, and those still running from before
    // (a running import is not started again).
    const auto import
            = [&watcher](const ImportName &name) { return watcher.values.value(QLatin1String(name.property)).toMap(); };
    QList<const ImportName *> waited;
    for (const ImportName &name : Imports) {
        if (import(name).value(QStringLiteral("result")) == QLatin1String("running"))
            waited << &name;
    }
    const QString name = serviceName();
    const QDBusMessage reply = bus.call(
            QDBusMessage::createMethodCall(name, QStringLiteral("/quillnetveldo"), name, QStringLiteral("sync")),
            QDBus::Block, CallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        err << "quillnet-daemon did not take the sync: " << reply.errorMessage() << "\n";
        return NotLoggedIn;
    }

    QEventLoop loop;
    QTimer startWait;
    startWait.setSingleShot(true);
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QDBusServiceWatcher gone(name, bus, QDBusServiceWatcher::WatchForUnregistration);
    bool daemonGone = false;
    bool finished = false;
    const auto ended = [&import](const ImportName *candidate) {
        return import(*candidate).value(QStringLiteral("result")) != QLatin1String("running");
    };
    const auto check = [&] {
        for (const ImportName &candidate : Imports) {
            const QVariant started = import(candidate).value(QStringLiteral("started"));
            if (!waited.contains(&candidate)
                && started != before->value(QLatin1String(candidate.property)).toMap().value(QStringLiteral("started")))
                waited << &candidate;
        }
        finished = !waited.isEmpty() && std::all_of(waited.cbegin(), waited.cend(), ended);
        if (finished)
            loop.quit();
    };
    QObject::connect(&watcher, &ChangeWatcher::changed, &loop, check);
    QObject::connect(&gone, &QDBusServiceWatcher::serviceUnregistered, &loop, [&] {
        daemonGone = true;
        loop.quit();
    });
    QObject::connect(&startWait, &QTimer::timeout, &loop, [&] {
        if (waited.isEmpty())
            loop.quit();
    });
    QObject::connect(&giveUp, &QTimer::timeout, &loop, &QEventLoop::quit);
    startWait.start(StartWaitMs);
    giveUp.start(SyncWaitMs);
    check();
    if (!finished)
        loop.exec();

    if (daemonGone) {
        err << "quillnet-daemon ended during the sync.\n";
        return NotRunning;
    }
    if (waited.isEmpty()) {
        err << "The sync started no import: the news feed and notifications may be switched off, or the "
               "machine is offline.\n";
        return NotLoggedIn;
    }
    bool allOk = finished;
    for (const ImportName *candidate : std::as_const(waited)) {
        const QVariantMap result = import(*candidate);
        allOk = allOk && result.value(QStringLiteral("result")) == QLatin1String("ok");
        out << QString::fromLatin1(candidate->label).leftJustified(15) << importLine(result) << "\n";
    }
    if (!finished)
        err << "The sync did not end within " << SyncWaitMs / 1000 << " s.\n";
    return allOk ? Ok : NotLoggedIn;
}

int why(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QStringList words = arguments;
    const bool json = words.removeAll(QStringLiteral("--json")) > 0;
    if (words.size() != 2) {
        err << "usage: quillnetctl why <friendreq|event|message|notif> <id> [--json]\n";
        return Usage;
    }
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!isRunning(bus)) {
        err << "quillnet-daemon is not running.\n";
        return NotRunning;
    }
    QDBusMessage call
            = QDBusMessage::createMethodCall(serviceName(), StatusPath, StatusInterface, QStringLiteral("Why"));
    call << words.at(0) << words.at(1);
    const QDBusMessage reply = bus.call(call, QDBus::Block, CallTimeoutMs);
    const QVariant answer = reply.arguments().isEmpty() ? QVariant() : plain(reply.arguments().constFirst());
    if (reply.type() != QDBusMessage::ReplyMessage || answer.userType() != QMetaType::QVariantMap) {
        err << "quillnet-daemon did not answer: " << reply.errorMessage() << "\n";
        return NotLoggedIn;
    }
    const QVariantMap map = answer.toMap();
    if (map.value(QStringLiteral("error")).toBool()) {
        err << map.value(QStringLiteral("verdict")).toString() << "\n";
        return Usage;
    }
    if (json) {
        writeJson(out, QJsonObject::fromVariantMap(map));
        return Ok;
    }
    const auto yes = [&map](const char *key) {
        return map.value(QLatin1String(key)).toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    };
    const auto at = [&map](const char *key) {
        const QString time = localTime(map.value(QLatin1String(key)).toString());
        return time.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(time);
    };
    out << words.at(0) << " " << words.at(1) << ": " << map.value(QStringLiteral("verdict")).toString() << "\n";
    out << "  shown:               " << yes("shown") << at("shownAt") << "\n";
    out << "  seen:                " << yes("seen") << at("seenAt") << "\n";
    if (!map.value(QStringLiteral("suppressed")).toString().isEmpty())
        out << "  suppressed:          " << map.value(QStringLiteral("suppressed")).toString() << "\n";
    out << "  notifications:       " << (map.value(QStringLiteral("notificationsOn")).toBool() ? "on" : "off") << "\n";
    out << "  switch " << map.value(QStringLiteral("switch")).toString() << ": "
        << (map.value(QStringLiteral("switchOn")).toBool() ? "on" : "off") << "\n";
    out << "  app view:            "
        << (map.value(QStringLiteral("appConnected")).toBool()
                    ? QStringLiteral("\"%1\"").arg(map.value(QStringLiteral("appView")).toString())
                    : QStringLiteral("app not connected"))
        << "\n";
    out << "  notification server: "
        << (map.value(QStringLiteral("serverPresent")).toBool()
                    ? map.value(QStringLiteral("serverCapabilities")).toStringList().join(QStringLiteral(", "))
                    : QStringLiteral("absent"))
        << "\n";
    out << "  unread at service:   " << map.value(QStringLiteral("unread")).toString() << at("unreadAsOf") << "\n";
    return Ok;
}

} // namespace Ctl

#include "status.moc"
