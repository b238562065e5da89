#include <QMetaClassInfo>
#include <QTest>

#include "daemon/quillnetdaemon.h"
#include "quillnetveldoadaptor.h"

namespace {

QString classInfo(const QMetaObject& meta, const char* name)
{
    const int index = meta.indexOfClassInfo(name);
    return index < 0 ? QString() : QString::fromUtf8(meta.classInfo(index).value());
}

QStringList membersOf(const QMetaObject& meta, QMetaMethod::MethodType type, QMetaMethod::Access access)
{
    QStringList members;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        if (method.methodType() == type && method.access() == access)
            members << QString::fromLatin1(method.methodSignature());
    }
    return members;
}

} // namespace

class TestQuillnetveldoAdaptor : public QObject
{
    Q_OBJECT

private slots:
    void introspectionText();
    void adaptorMembers();
    void daemonExportsOnlyTheControlSurface();
};

void TestQuillnetveldoAdaptor::introspectionText()
{
    const QMetaObject& meta = QuillnetveldoAdaptor::staticMetaObject;
    QCOMPARE(classInfo(meta, "D-Bus Interface"), QStringLiteral("com.tarvo.quillnetveldo"));
    const QString expected = QStringLiteral("  <interface name=\"com.tarvo.quillnetveldo\">\n"
                                            "    <method name=\"refreshEventFeed\"/>\n"
                                            "    <method name=\"sync\"/>\n"
                                            "    <method name=\"itemSeen\">\n"
                                            "      <arg direction=\"in\" type=\"s\" name=\"id\"/>\n"
                                            "      <arg direction=\"in\" type=\"s\" name=\"type\"/>\n"
                                            "    </method>\n"
                                            "    <signal name=\"syncDone\">\n"
                                            "      <arg direction=\"out\" type=\"s\" name=\"err\"/>\n"
                                            "    </signal>\n"
                                            "    <signal name=\"cacheCleared\"/>\n"
                                            "  </interface>\n");
    QCOMPARE(classInfo(meta, "D-Bus Introspection"), expected);
}

void TestQuillnetveldoAdaptor::adaptorMembers()
{
    const QMetaObject& meta = QuillnetveldoAdaptor::staticMetaObject;
    QCOMPARE(membersOf(meta, QMetaMethod::Signal, QMetaMethod::Public),
             QStringList({QStringLiteral("cacheCleared()"), QStringLiteral("syncDone(QString)")}));
    QCOMPARE(membersOf(meta, QMetaMethod::Slot, QMetaMethod::Public),
             QStringList({QStringLiteral("itemSeen(QString,QString)"), QStringLiteral("refreshEventFeed()"),
                          QStringLiteral("sync()")}));
}

void TestQuillnetveldoAdaptor::daemonExportsOnlyTheControlSurface()
{
    // Registration exports every public slot and signal: anything more would be callable by any
    // application on the bus.
    const QMetaObject& meta = QuillnetDaemon::staticMetaObject;
    QCOMPARE(classInfo(meta, "D-Bus Interface"), QStringLiteral("com.tarvo.quillnetveldo"));
    QCOMPARE(membersOf(meta, QMetaMethod::Slot, QMetaMethod::Public),
             QStringList({QStringLiteral("refreshEventFeed()"), QStringLiteral("itemSeen(QString,QString)"),
                          QStringLiteral("sync()")}));
    QCOMPARE(membersOf(meta, QMetaMethod::Signal, QMetaMethod::Public),
             QStringList({QStringLiteral("syncDone(QString)"), QStringLiteral("cacheCleared()")}));
    const int seen = meta.indexOfSlot("itemSeen(QString,QString)");
    QCOMPARE(meta.method(seen).parameterNames(), QList<QByteArray>({"id", "type"}));
    QCOMPARE(meta.method(meta.indexOfSignal("syncDone(QString)")).parameterNames(), QList<QByteArray>({"err"}));
}

QTEST_GUILESS_MAIN(TestQuillnetveldoAdaptor)
#include "tst_quillnetveldoadaptor.moc"
