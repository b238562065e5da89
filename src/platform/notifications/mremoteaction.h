// A D-Bus method call kept for later, such as the one a tap on a notification makes, with the text
// form in which it is stored and handed to other programs.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

class MRemoteAction : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MRemoteAction)

public:
    // The longest text form accepted; longer texts make an invalid action.
    static constexpr int MaxTextLength = 16384;

    // A call of methodName on interface, object objectPath of serviceName on the session bus.
    // Arguments may be bool, int, uint, qlonglong, qulonglong, double, QString or QByteArray; any
    // other type, or a malformed name, makes an invalid action (warned about, never triggered).
    MRemoteAction(const QString &serviceName, const QString &objectPath, const QString &interface,
                  const QString &methodName, const QList<QVariant> &arguments, QObject *parent = nullptr);
    // From the text form of toString(). A text that is not one makes an invalid action.
    explicit MRemoteAction(const QString &string, QObject *parent = nullptr);
    ~MRemoteAction() override;

    // Service, path, interface and method separated by single spaces, then for each argument a
    // space and the Base64 (standard alphabet, padded) of the QVariant as QDataStream writes it
    // in its default settings. Empty for an invalid action.
    QString toString() const;

    // Sends the call without waiting for its answer; an error answer is logged when it comes.
    // False for an invalid action.
    bool trigger();

private:
    bool mValid = false;
    QString mServiceName;
    QString mObjectPath;
    QString mInterface;
    QString mMethodName;
    QList<QVariant> mArguments;
};
