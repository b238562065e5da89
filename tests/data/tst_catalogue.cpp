// What the user reads in the locale of the day: the catalogue's texts as the daemon loads them
// (German with its plural forms, the engineering English for every locale without a catalogue of its
// own), each with its count (%n) or its argument (%1) where it takes one, and names joined into one
// phrase.
#include <QLocale>
#include <QTest>

#include "platform/notifications/mlocale.h"
#include "platform/system/helper.h"

namespace {

struct Text
{
    const char *id;
    int count; // -1: none
    const char *argument; // filled in as the code fills it in; null: none
    const char *english;
    const char *german;
};

const Text Texts[] = {
        {"qtn_qnk_event_feed_like", 1, nullptr, "1 like", "Gefällt 1 Person"},
        {"qtn_qnk_event_feed_like", 2, nullptr, "2 likes", "Gefällt 2 Personen"},
        // 21 takes the plural as 2 does: a catalogue of another language's plural rules would not.
        {"qtn_qnk_event_feed_like", 21, nullptr, "21 likes", "Gefällt 21 Personen"},
        {"qtn_qnk_event_feed_comment", 1, nullptr, "1 comment", "1 Kommentar"},
        {"qtn_qnk_event_feed_comment", 2, nullptr, "2 comments", "2 Kommentare"},
        // The poster's name fills the title's marker.
        {"qtn_qnk_title_events_feed", -1, "Ann", "Ann", "Ann"},
        {"qtn_qnk_notification_new_message", 1, nullptr, "1 new message", "1 neue Nachricht"},
        {"qtn_qnk_notification_new_message", 2, nullptr, "2 new messages", "2 neue Nachrichten"},
        {"qtn_qnk_notification_new_friend_request", 1, nullptr, "1 new friend request", "1 neue Freundschaftsanfrage"},
        {"qtn_qnk_notification_new_friend_request", 2, nullptr, "2 new friend requests",
         "2 neue Freundschaftsanfragen"},
        {"qtn_qnk_notification_event", 1, nullptr, "1 new event invitation", "1 neue Einladung"},
        {"qtn_qnk_notification_event", 2, nullptr, "2 new event invitations", "2 neue Einladungen"},
        {"qtn_qnk_notification_new_notification", 1, nullptr, "1 new notification", "1 neue Benachrichtigung"},
        {"qtn_qnk_notification_new_notification", 2, nullptr, "2 new notifications", "2 neue Benachrichtigungen"},
        // One text, two uses: a count of several, or the one asker's name.
        {"qtn_qnk_new_friend_request_banner", 2, nullptr, "2 friend requests", "2 Freundschaftsanfragen"},
        {"qtn_qnk_new_friend_request_banner", -1, "Ann", "Friend request from Ann", "Freundschaftsanfrage von Ann"},
        {"qtn_qnk_new_message_banner", -1, "7", "Unread messages: 7", "Ungelesene Nachrichten: 7"},
        {"qtn_qnk_new_event_banner", -1, "7", "Event invitations: 7", "Einladungen zu Veranstaltungen: 7"},
};

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("QUILLNET_TRANSLATIONS_DIR", QUILLNET_TRANSLATIONS_BUILD_DIR); }
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void textsOfTheLocale_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<bool>("german");
        QTest::addColumn<QString>("names");

        QTest::newRow("de_DE") << "de_DE" << true << "Ann, Bo und Cy";
        QTest::newRow("de_CH") << "de_CH" << true << "Ann, Bo und Cy";
        QTest::newRow("C") << "C" << false << "Ann, Bo, Cy";
        QTest::newRow("en_US") << "en_US" << false << "Ann, Bo, and Cy";
        QTest::newRow("fr_FR") << "fr_FR" << false << "Ann, Bo et Cy";
    }

    void textsOfTheLocale()
    {
        QFETCH(QString, locale);
        QFETCH(bool, german);
        QFETCH(QString, names);

        // Made before the locale changes: the one in use when asked is the one that counts.
        const MLocale mlocale;
        QLocale::setDefault(QLocale(locale));
        QVERIFY(!Helper().setLocale(QStringLiteral("nosuchcatalogue")));
        {
            Helper helper;
            QVERIFY(helper.setLocale(QStringLiteral("quillnet")));
            for (const Text &text : Texts) {
                QString translated = qtTrId(text.id, text.count);
                if (text.argument)
                    translated = translated.arg(QLatin1String(text.argument));
                QCOMPARE(translated, QString::fromUtf8(german ? text.german : text.english));
            }
        }
        // The catalogue goes with its helper.
        QCOMPARE(qtTrId(Texts[0].id, 1), QLatin1String(Texts[0].id));
        QCOMPARE(mlocale.joinStringList({QStringLiteral("Ann"), QStringLiteral("Bo"), QStringLiteral("Cy")}), names);
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
