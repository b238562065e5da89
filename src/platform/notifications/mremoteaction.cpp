#include "platform/notifications/mremoteaction.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDataStream>
#include <QDebug>
#include <QIODevice>
#include <QRegularExpression>
#include <QStringList>
#include <QtEndian>

#include <algorithm>

#include "platform/support/logtext.h"
#include "platform/support/logging.h"

namespace {

constexpr int MaxNameLength = 255;

bool matches(const QString &text, const QRegularExpression &pattern)
{
    return text.size() <= MaxNameLength && pattern.match(text).hasMatch();
}

// A well-known bus name: an action addresses a program by the name it owns.
bool isServiceName(const QString &name)
{
    static const QRegularExpression pattern(
            QStringLiteral("\\A[A-Za-z_-][A-Za-z0-9_-]*(\\.[A-Za-z_-][A-Za-z0-9_-]*)+\\z"));
    return matches(name, pattern);
}

bool isObjectPath(const QString &path)
{
    static const QRegularExpression pattern(QStringLiteral("\\A/([A-Za-z0-9_]+(/[A-Za-z0-9_]+)*)?\\z"));
    return pattern.match(path).hasMatch();
}

bool isInterfaceName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z_][A-Za-z0-9_]*(\\.[A-Za-z_][A-Za-z0-9_]*)+\\z"));
    return matches(name, pattern);
}

bool isMemberName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z_][A-Za-z0-9_]*\\z"));
    return matches(name, pattern);
}

// Types that D-Bus carries as they are and whose stream form holds no nested counts; a text from
// a file never makes QDataStream build anything else (an image, a map).
bool isArgumentType(int typeId)
{
    switch (typeId) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QString:
    case QMetaType::QByteArray:
        return true;
    default:
        return false;
    }
}

QString encodeArgument(const QVariant &argument)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << argument;
    return QString::fromLatin1(bytes.toBase64());
}

bool decodeArgument(const QString &text, QVariant &argument)
{
    const auto result = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray &bytes = result.decoded;
    if (!result || bytes.size() < 4)
        return false;
    // The type number leads the stream form: checked before QDataStream acts on it.
    if (!isArgumentType(int(qFromBigEndian<quint32>(bytes.constData()))))
        return false;
    QDataStream stream(bytes);
    stream >> argument;
    return stream.status() == QDataStream::Ok && stream.atEnd() && isArgumentType(argument.typeId());
}

} // namespace

MRemoteAction::MRemoteAction(const QString &serviceName, const QString &objectPath, const QString &interface,
                             const QString &methodName, const QList<QVariant> &arguments, QObject *parent)
    : QObject(parent)
    , mServiceName(serviceName)
    , mObjectPath(objectPath)
    , mInterface(interface)
    , mMethodName(methodName)
    , mArguments(arguments)
{
    mValid = isServiceName(serviceName) && isObjectPath(objectPath) && isInterfaceName(interface)
            && isMemberName(methodName)
            && std::all_of(arguments.cbegin(), arguments.cend(),
                           [](const QVariant &argument) { return isArgumentType(argument.typeId()); });
    if (!mValid)
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Not a valid remote action:" << serviceName << objectPath
                                   << interface << methodName << arguments;
}

MRemoteAction::MRemoteAction(const QString &string, QObject *parent)
    : QObject(parent)
{
    if (string.size() > MaxTextLength) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Remote action text too long:" << string.size() << "characters";
        return;
    }
    const QStringList parts = string.split(QLatin1Char(' '));
    if (parts.size() < 4 || !isServiceName(parts.at(0)) || !isObjectPath(parts.at(1)) || !isInterfaceName(parts.at(2))
        || !isMemberName(parts.at(3))) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Not a remote action:" << Support::logText(string);
        return;
    }
    QList<QVariant> arguments;
    for (qsizetype i = 4; i < parts.size(); ++i) {
        QVariant argument;
        if (!decodeArgument(parts.at(i), argument)) {
            qCWarning(lcNotifications) << Q_FUNC_INFO
                                       << "Remote action with an unreadable argument:" << Support::logText(string);
            return;
        }
        arguments << argument;
    }
    mServiceName = parts.at(0);
    mObjectPath = parts.at(1);
    mInterface = parts.at(2);
    mMethodName = parts.at(3);
    mArguments = arguments;
    mValid = true;
}

MRemoteAction::~MRemoteAction() = default;

QString MRemoteAction::toString() const
{
    if (!mValid)
        return QString();
    QStringList parts = {mServiceName, mObjectPath, mInterface, mMethodName};
    for (const QVariant &argument : mArguments)
        parts << encodeArgument(argument);
    return parts.join(QLatin1Char(' '));
}

bool MRemoteAction::trigger()
{
    if (!mValid) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Invalid remote action not triggered";
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(mServiceName, mObjectPath, mInterface, mMethodName);
    call.setArguments(mArguments);
    qCDebug(lcNotifications) << Q_FUNC_INFO << mServiceName << mObjectPath << mInterface << mMethodName;

    // The action may be gone before the answer comes: the watcher lives on its own.
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call));
    const QString target = mServiceName + QLatin1Char(' ') + mMethodName;
    const char *where = Q_FUNC_INFO;
    const auto report = [target, where](QDBusPendingCallWatcher *finished) {
        if (finished->isError())
            qCWarning(lcNotifications) << where << target << "failed:" << finished->error().name()
                                       << Support::logText(finished->error().message());
        finished->deleteLater();
    };
    if (watcher->isFinished())
        report(watcher);
    else
        connect(watcher, &QDBusPendingCallWatcher::finished, watcher, report);
    return true;
}
