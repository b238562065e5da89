// Names joined into one phrase in the manner of the user's locale.
#include <QLocale>
#include <QTest>

#include "platform/notifications/mlocale.h"

class TestMLocale : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }
    void joinsInTheCurrentLocale_data();
    void joinsInTheCurrentLocale();
};

void TestMLocale::joinsInTheCurrentLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("joined");

    const QStringList three = {QStringLiteral("Ann"), QStringLiteral("Bo"), QStringLiteral("Cy")};
    QTest::newRow("English, three") << "en_US" << three << "Ann, Bo, and Cy";
    QTest::newRow("English, two") << "en_US" << three.mid(0, 2) << "Ann and Bo";
    QTest::newRow("German, three") << "de_DE" << three << "Ann, Bo und Cy";
    QTest::newRow("Finnish, two") << "fi_FI" << three.mid(0, 2) << "Ann ja Bo";
    QTest::newRow("one") << "de_DE" << QStringList {QStringLiteral("Ann")} << "Ann";
    QTest::newRow("none") << "en_US" << QStringList() << "";
}

void TestMLocale::joinsInTheCurrentLocale()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, names);
    QFETCH(QString, joined);

    MLocale mlocale;
    // The locale in use when asked, not when made.
    QLocale::setDefault(QLocale(locale));
    QCOMPARE(mlocale.name(), locale);
    QCOMPARE(mlocale.joinStringList(names), joined);
}

QTEST_GUILESS_MAIN(TestMLocale)
#include "tst_mlocale.moc"
