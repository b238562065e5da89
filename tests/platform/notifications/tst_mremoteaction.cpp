// The remote action's text form, byte for byte where other programs read it, what it refuses, and
// the call it makes on the bus.
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDataStream>
#include <QRegularExpression>
#include <QTest>

#include "platform/notifications/mremoteaction.h"

namespace {

const QString ReceiverService = QStringLiteral("com.tarvo.quillnet.test.remoteaction");
const QString ReceiverPath = QStringLiteral("/Receiver");
const QString ReceiverInterface = QStringLiteral("com.tarvo.quillnet.test.Receiver");

QByteArray streamed(const QVariant &value)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << value;
    return bytes;
}

QString base64(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

const QString OpenView = QStringLiteral("com.tarvo.quillnet /OpenView com.tarvo.quillnet openView");

} // namespace

// The other end of a triggered action: a program on the bus with a method of its own.
class Receiver : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.quillnet.test.Receiver")

public:
    QList<QVariantList> received;
    QStringList signatures;

public slots:
    void receive(const QString &text, int number, bool flag)
    {
        received << QVariantList {text, number, flag};
        signatures << message().signature();
    }
};

class TestMRemoteAction : public QObject
{
    Q_OBJECT

private slots:
    void textFormRoundTrip_data();
    void textFormRoundTrip();
    void oneArgumentHasItsExactBytes();
    void refusedTexts_data();
    void refusedTexts();
    void refusedParts_data();
    void refusedParts();
    void triggerCallsTheMethodWithItsArguments();
    void failedCallIsReportedAfterTheActionIsGone();
};

void TestMRemoteAction::textFormRoundTrip_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("interface");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");

    QTest::newRow("no arguments") << "com.tarvo.quillnet"
                                  << "/"
                                  << "com.tarvo.quillnet"
                                  << "sync" << QVariantList();
    QTest::newRow("open view, no item") << "com.tarvo.quillnet"
                                        << "/OpenView"
                                        << "com.tarvo.quillnet"
                                        << "openView" << QVariantList {QStringLiteral("message"), QString()};
    QTest::newRow("open view, one item") << "com.tarvo.quillnet"
                                         << "/OpenView"
                                         << "com.tarvo.quillnet"
                                         << "openView"
                                         << QVariantList {QStringLiteral("friendreq"), QStringLiteral("")};
    QTest::newRow("every argument type") << "com.tarvo-test.app_1"
                                         << "/a/b_2/C"
                                         << "com.tarvo.Test_1"
                                         << "_call2"
                                         << QVariantList {true,
                                                          -7,
                                                          7u,
                                                          qlonglong(-1099511627776),
                                                          qulonglong(1) << 63,
                                                          2.5,
                                                          QByteArray("\0 \xff", 3),
                                                          QStringLiteral("spaces and ünïcödé")};
}

void TestMRemoteAction::textFormRoundTrip()
{
    QFETCH(QString, service);
    QFETCH(QString, path);
    QFETCH(QString, interface);
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);

    const MRemoteAction action(service, path, interface, method, arguments);
    const QString text = action.toString();
    const QStringList parts = text.split(QLatin1Char(' '));
    QCOMPARE(parts.mid(0, 4), (QStringList {service, path, interface, method}));
    QCOMPARE(parts.size(), 4 + arguments.size());
    for (int i = 0; i < arguments.size(); ++i) {
        QByteArray bytes = QByteArray::fromBase64(parts.at(4 + i).toLatin1());
        QDataStream stream(&bytes, QIODevice::ReadOnly);
        QVariant argument;
        stream >> argument;
        QCOMPARE(argument.typeId(), arguments.at(i).typeId());
        QCOMPARE(argument, arguments.at(i));
    }

    const MRemoteAction read(text);
    QCOMPARE(read.toString(), text);
}

void TestMRemoteAction::oneArgumentHasItsExactBytes()
{
    // Type 10 (string), not null, 4 bytes, "42" in UTF-16 big-endian.
    const QByteArray bytes = QByteArray::fromHex("0000000a00"
                                                 "00000004"
                                                 "00340032");
    QCOMPARE(streamed(QVariant(QStringLiteral("42"))), bytes);

    const MRemoteAction action(QStringLiteral("com.tarvo.quillnet.eventfeed"), QStringLiteral("/EventFeedMessage"),
                               QStringLiteral("com.tarvo.quillnet.eventfeed"), QStringLiteral("showItem"),
                               {QStringLiteral("42")});
    QCOMPARE(action.toString(),
             QStringLiteral("com.tarvo.quillnet.eventfeed /EventFeedMessage com.tarvo.quillnet.eventfeed showItem "
                            "AAAACgAAAAAEADQAMg=="));

    const MRemoteAction openView(QStringLiteral("com.tarvo.quillnet"), QStringLiteral("/OpenView"),
                                 QStringLiteral("com.tarvo.quillnet"), QStringLiteral("openView"),
                                 {QStringLiteral("message"), QStringLiteral("")});
    QCOMPARE(openView.toString(), OpenView + QStringLiteral(" AAAACgAAAAAOAG0AZQBzAHMAYQBnAGU= AAAACgAAAAAA"));
}

void TestMRemoteAction::refusedTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("warning");

    const QString notAction = QStringLiteral("Not a remote action");
    const QString badArgument = QStringLiteral("unreadable argument");
    const QString oneString = base64(streamed(QStringLiteral("x")));

    QTest::newRow("empty") << QString() << notAction;
    QTest::newRow("three parts") << "com.tarvo.quillnet /OpenView com.tarvo.quillnet" << notAction;
    QTest::newRow("two spaces") << "com.tarvo.quillnet  /OpenView com.tarvo.quillnet openView" << notAction;
    QTest::newRow("path without slash") << "com.tarvo.quillnet OpenView com.tarvo.quillnet openView" << notAction;
    QTest::newRow("path with trailing slash")
            << "com.tarvo.quillnet /OpenView/ com.tarvo.quillnet openView" << notAction;
    QTest::newRow("one-part service") << "quillnet /OpenView com.tarvo.quillnet openView" << notAction;
    QTest::newRow("unique service name") << ":1.42 /OpenView com.tarvo.quillnet openView" << notAction;
    QTest::newRow("service element with digit first")
            << "com.1tarvo /OpenView com.tarvo.quillnet openView" << notAction;
    QTest::newRow("one-part interface") << "com.tarvo.quillnet /OpenView quillnet openView" << notAction;
    QTest::newRow("dotted method") << "com.tarvo.quillnet /OpenView com.tarvo.quillnet open.View" << notAction;
    QTest::newRow("trailing space") << OpenView + QStringLiteral(" ") << badArgument;
    QTest::newRow("not Base64") << OpenView + QStringLiteral(" AAAA*AAA") << badArgument;
    QTest::newRow("shorter than a type") << OpenView + QStringLiteral(" AAA=") << badArgument;
    QTest::newRow("string cut short") << OpenView + QLatin1Char(' ')
                    + base64(streamed(QStringLiteral("xyz")).chopped(1))
                                      << badArgument;
    QTest::newRow("bytes after the value")
            << OpenView + QLatin1Char(' ') + base64(streamed(QStringLiteral("x")) + QByteArray(1, '\0')) << badArgument;
    QTest::newRow("string list") << OpenView + QLatin1Char(' ') + base64(streamed(QStringList {QStringLiteral("x")}))
                                 << badArgument;
    QTest::newRow("map") << OpenView + QLatin1Char(' ') + base64(streamed(QVariantMap {{QStringLiteral("k"), 1}}))
                         << badArgument;
    QTest::newRow("invalid variant") << OpenView + QLatin1Char(' ') + base64(streamed(QVariant())) << badArgument;
    QTest::newRow("too long") << OpenView + (QLatin1Char(' ') + oneString).repeated(MRemoteAction::MaxTextLength / 8)
                              << QStringLiteral("too long");
}

void TestMRemoteAction::refusedTexts()
{
    QFETCH(QString, text);
    QFETCH(QString, warning);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    MRemoteAction action(text);
    QCOMPARE(action.toString(), QString());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Invalid remote action not triggered")));
    QVERIFY(!action.trigger());
}

void TestMRemoteAction::refusedParts_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QVariantList>("arguments");

    QTest::newRow("relative path") << "OpenView" << QVariantList {QStringLiteral("x")};
    QTest::newRow("map argument") << "/OpenView" << QVariantList {QVariantMap {{QStringLiteral("k"), 1}}};
    QTest::newRow("invalid argument") << "/OpenView" << QVariantList {QVariant()};
}

void TestMRemoteAction::refusedParts()
{
    QFETCH(QString, path);
    QFETCH(QVariantList, arguments);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Not a valid remote action")));
    MRemoteAction action(QStringLiteral("com.tarvo.quillnet"), path, QStringLiteral("com.tarvo.quillnet"),
                         QStringLiteral("openView"), arguments);
    QCOMPARE(action.toString(), QString());
}

void TestMRemoteAction::triggerCallsTheMethodWithItsArguments()
{
    const QString connectionName = QStringLiteral("remote-action-receiver");
    QDBusConnection connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
    Receiver receiver;
    QVERIFY(connection.registerService(ReceiverService));
    QVERIFY(connection.registerObject(ReceiverPath, &receiver, QDBusConnection::ExportAllSlots));

    {
        // Read back from its text, as a click on a notification does.
        const MRemoteAction written(ReceiverService, ReceiverPath, ReceiverInterface, QStringLiteral("receive"),
                                    {QStringLiteral("a b"), -3, true});
        MRemoteAction action(written.toString());
        QVERIFY(action.trigger());
    }
    QTRY_COMPARE(receiver.received.size(), 1);
    QCOMPARE(receiver.received.first(), (QVariantList {QStringLiteral("a b"), -3, true}));
    QCOMPARE(receiver.signatures, QStringList {QStringLiteral("sib")});

    connection.unregisterObject(ReceiverPath);
    connection.unregisterService(ReceiverService);
    QDBusConnection::disconnectFromBus(connectionName);
}

void TestMRemoteAction::failedCallIsReportedAfterTheActionIsGone()
{
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous
            = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
                  if (type == QtWarningMsg)
                      warnings << text;
              });
    {
        MRemoteAction action(QStringLiteral("com.tarvo.quillnet.test.nobody"), QStringLiteral("/Nothing"),
                             QStringLiteral("com.tarvo.quillnet.test.Nothing"), QStringLiteral("call"), {});
        QVERIFY(action.trigger());
    }
    QTRY_COMPARE(warnings.size(), 1);
    qInstallMessageHandler(previous);
    QVERIFY2(warnings.first().contains(QStringLiteral("\"com.tarvo.quillnet.test.nobody call\" failed"))
                     && warnings.first().contains(QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown")),
             qPrintable(warnings.first()));
}

QTEST_GUILESS_MAIN(TestMRemoteAction)
#include "tst_mremoteaction.moc"
