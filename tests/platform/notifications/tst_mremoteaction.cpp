// The remote action's text form, byte for byte where other programs read it, what it refuses, and
// the call it makes on the bus.
#include <QDBusConnection>
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

// The other end of a triggered action: a program on the bus with a method of its own, which the
// bus reaches only with the arguments' own types ("sib").
class Receiver : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.quillnet.test.Receiver")

public:
    QList<QVariantList> received;

public slots:
    void receive(const QString &text, int number, bool flag) { received << QVariantList {text, number, flag}; }
};

class TestMRemoteAction : public QObject
{
    Q_OBJECT

private slots:
    void textFormRoundTrip_data()
    {
        QTest::addColumn<QStringList>("parts"); // service, path, interface, method
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<QString>("text"); // byte for byte where other programs read it; "-" when refused

        const QStringList openView = OpenView.split(QLatin1Char(' '));
        QTest::newRow("no arguments") << QStringList {"com.tarvo.quillnet", "/", "com.tarvo.quillnet", "sync"}
                                      << QVariantList() << QString();
        QTest::newRow("open view, no item")
                << openView << QVariantList {QStringLiteral("message"), QString()} << QString();
        // Type 10 (string), not null, its length, UTF-16 big-endian.
        QTest::newRow("open view, empty item")
                << openView << QVariantList {QStringLiteral("message"), QStringLiteral("")}
                << OpenView + QStringLiteral(" AAAACgAAAAAOAG0AZQBzAHMAYQBnAGU= AAAACgAAAAAA");
        QTest::newRow("event feed item")
                << QStringList {"com.tarvo.quillnet.eventfeed", "/EventFeedMessage", "com.tarvo.quillnet.eventfeed",
                                "showItem"}
                << QVariantList {QStringLiteral("42")}
                << QStringLiteral(
                           "com.tarvo.quillnet.eventfeed /EventFeedMessage com.tarvo.quillnet.eventfeed showItem "
                           "AAAACgAAAAAEADQAMg==");
        QTest::newRow("every argument type")
                << QStringList {"com.tarvo-test.app_1", "/a/b_2/C", "com.tarvo.Test_1", "_call2"}
                << QVariantList {true,
                                 -7,
                                 7u,
                                 qlonglong(-1099511627776),
                                 qulonglong(1) << 63,
                                 2.5,
                                 QByteArray("\0 \xff", 3),
                                 QStringLiteral("spaces and ünïcödé")}
                << QString();
        QTest::newRow("relative path") << QStringList {"com.tarvo.quillnet", "OpenView", "com.tarvo.quillnet",
                                                       "openView"}
                                       << QVariantList {QStringLiteral("x")} << "-";
        QTest::newRow("map argument") << openView << QVariantList {QVariantMap {{QStringLiteral("k"), 1}}} << "-";
        QTest::newRow("invalid argument") << openView << QVariantList {QVariant()} << "-";
    }

    void textFormRoundTrip()
    {
        QFETCH(QStringList, parts);
        QFETCH(QVariantList, arguments);
        QFETCH(QString, text);

        const bool refused = text == QLatin1String("-");
        if (refused)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Not a valid remote action")));
        const MRemoteAction action(parts.at(0), parts.at(1), parts.at(2), parts.at(3), arguments);
        if (refused || !text.isEmpty())
            QCOMPARE(action.toString(), refused ? QString() : text);
        if (refused)
            return;
        text = action.toString();
        const QStringList written = text.split(QLatin1Char(' '));
        QCOMPARE(written.mid(0, 4), parts);
        QCOMPARE(written.size(), 4 + arguments.size());
        for (int i = 0; i < arguments.size(); ++i) {
            QByteArray bytes = QByteArray::fromBase64(written.at(4 + i).toLatin1());
            QDataStream stream(&bytes, QIODevice::ReadOnly);
            QVariant argument;
            stream >> argument;
            QCOMPARE(argument.typeId(), arguments.at(i).typeId());
            QCOMPARE(argument, arguments.at(i));
        }
        QCOMPARE(MRemoteAction(text).toString(), text);
    }

    void refusedTexts_data()
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
        QTest::newRow("string cut short")
                << OpenView + QLatin1Char(' ') + base64(streamed(QStringLiteral("xyz")).chopped(1)) << badArgument;
        QTest::newRow("bytes after the value")
                << OpenView + QLatin1Char(' ') + base64(streamed(QStringLiteral("x")) + QByteArray(1, '\0'))
                << badArgument;
        QTest::newRow("string list") << OpenView + QLatin1Char(' ')
                        + base64(streamed(QStringList {QStringLiteral("x")}))
                                     << badArgument;
        QTest::newRow("map") << OpenView + QLatin1Char(' ') + base64(streamed(QVariantMap {{QStringLiteral("k"), 1}}))
                             << badArgument;
        QTest::newRow("invalid variant") << OpenView + QLatin1Char(' ') + base64(streamed(QVariant())) << badArgument;
        QTest::newRow("too long") << OpenView
                        + (QLatin1Char(' ') + oneString).repeated(MRemoteAction::MaxTextLength / 8)
                                  << QStringLiteral("too long");
    }

    void refusedTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, warning);

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
        MRemoteAction action(text);
        QCOMPARE(action.toString(), QString());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Invalid remote action not triggered")));
        QVERIFY(!action.trigger());
    }

    void triggerCallsTheMethodAndReportsAFailure()
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

        connection.unregisterObject(ReceiverPath);
        connection.unregisterService(ReceiverService);
        QDBusConnection::disconnectFromBus(connectionName);

        // A failed call is reported after the action is gone.
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
};

QTEST_GUILESS_MAIN(TestMRemoteAction)
#include "tst_mremoteaction.moc"
