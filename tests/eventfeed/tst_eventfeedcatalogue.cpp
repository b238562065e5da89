// The catalogue's texts as the daemon loads them: German with its plural forms, and the engineering
// English for every locale without a catalogue of its own.
#include <QCoreApplication>
#include <QLocale>
#include <QTest>

#include "platform/system/helper.h"

class TestEventFeedCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void textsOfTheLocale_data();
    void textsOfTheLocale();
};

void TestEventFeedCatalogue::initTestCase()
{
    // The folder the build puts beside the daemon.
    qputenv("QUILLNET_TRANSLATIONS_DIR", QUILLNET_TRANSLATIONS_BUILD_DIR);
}

void TestEventFeedCatalogue::cleanup()
{
    QLocale::setDefault(QLocale::c());
}

void TestEventFeedCatalogue::textsOfTheLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("likes"); // for 1, 2 and 21
    QTest::addColumn<QStringList>("comments");

    const QStringList germanLikes {"Gefällt 1 Person", "Gefällt 2 Personen", "Gefällt 21 Personen"};
    const QStringList germanComments {"1 Kommentar", "2 Kommentare", "21 Kommentare"};
    const QStringList englishLikes {"1 like", "2 likes", "21 likes"};
    const QStringList englishComments {"1 comment", "2 comments", "21 comments"};
    QTest::newRow("de_DE") << "de_DE" << germanLikes << germanComments;
    QTest::newRow("de_AT") << "de_AT" << germanLikes << germanComments;
    QTest::newRow("C") << "C" << englishLikes << englishComments;
    QTest::newRow("en_US") << "en_US" << englishLikes << englishComments;
    QTest::newRow("fr_FR") << "fr_FR" << englishLikes << englishComments;
}

void TestEventFeedCatalogue::textsOfTheLocale()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, likes);
    QFETCH(QStringList, comments);

    QLocale::setDefault(QLocale(locale));
    Helper helper;
    QVERIFY(helper.setLocale(QStringLiteral("quillnet")));
    const QList<int> counts {1, 2, 21};
    for (int i = 0; i < counts.size(); ++i) {
        QCOMPARE(qtTrId("qtn_qnk_event_feed_like", counts.at(i)), likes.at(i));
        QCOMPARE(qtTrId("qtn_qnk_event_feed_comment", counts.at(i)), comments.at(i));
    }
    // The title keeps its marker for the poster's name.
    QCOMPARE(qtTrId("qtn_qnk_title_events_feed"), QStringLiteral("%1"));
}

QTEST_GUILESS_MAIN(TestEventFeedCatalogue)
#include "tst_eventfeedcatalogue.moc"
