// Pins the control interface's introspection text, which other applications code against.
#include <QMetaClassInfo>
#include <QTest>

#include "daemon/quillnetdaemon.h"
#include "quillnetveldoadaptor.h"

namespace {

QString classInfo(const QMetaObject &meta, const char *name)
{
    const int index = meta.indexOfClassInfo(name);
    return index < 0 ? QString() : QString::fromUtf8(meta.classInfo(index).value());
}

} // namespace

class TestQuillnetveldoAdaptor : public QObject
{
    Q_OBJECT

private slots:
    void introspectionText();
};

void TestQuillnetveldoAdaptor::introspectionText()
{
    const QMetaObject &meta = QuillnetveldoAdaptor::staticMetaObject;
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

QTEST_GUILESS_MAIN(TestQuillnetveldoAdaptor)
#include "tst_quillnetveldoadaptor.moc"
