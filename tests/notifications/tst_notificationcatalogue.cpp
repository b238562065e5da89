// The notification texts of the catalogue as the daemon loads it: where each text takes its count
// (%n, with plural forms) and where its argument (%1, filled in by the handler), in German and in
// the engineering English of every locale without a catalogue of its own.
#include <QLocale>
#include <QTest>

#include "platform/system/helper.h"

class TestNotificationCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void textsOfTheLocale_data();
    void textsOfTheLocale();
};

void TestNotificationCatalogue::initTestCase()
{
    qputenv("QUILLNET_TRANSLATIONS_DIR", QUILLNET_TRANSLATIONS_BUILD_DIR);
}

void TestNotificationCatalogue::cleanup()
{
    QLocale::setDefault(QLocale::c());
}

void TestNotificationCatalogue::textsOfTheLocale_data()
{
    QTest::addColumn<QString>("locale");
    // For each id with a count: the texts for 1, 2 and 21.
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QStringList>("severalRequests"); // the banner, for 2 and 21
    QTest::addColumn<QStringList>("invitations");
    QTest::addColumn<QStringList>("notifications");
    // The texts without a count, with their argument 7 (or the name "Ann").
    QTest::addColumn<QStringList>("banners");

    const QStringList english[] = {
            {"1 new message", "2 new messages", "21 new messages"},
            {"1 new friend request", "2 new friend requests", "21 new friend requests"},
            {"2 friend requests", "21 friend requests"},
            {"1 new event invitation", "2 new event invitations", "21 new event invitations"},
            {"1 new notification", "2 new notifications", "21 new notifications"},
            {"Unread messages: 7", "Friend request from Ann", "Event invitations: 7"},
    };
    const QStringList german[] = {
            {"1 neue Nachricht", "2 neue Nachrichten", "21 neue Nachrichten"},
            {"1 neue Freundschaftsanfrage", "2 neue Freundschaftsanfragen", "21 neue Freundschaftsanfragen"},
            {"2 Freundschaftsanfragen", "21 Freundschaftsanfragen"},
            {"1 neue Einladung", "2 neue Einladungen", "21 neue Einladungen"},
            {"1 neue Benachrichtigung", "2 neue Benachrichtigungen", "21 neue Benachrichtigungen"},
            {"Ungelesene Nachrichten: 7", "Freundschaftsanfrage von Ann", "Einladungen zu Veranstaltungen: 7"},
    };
    for (const char *locale : {"de_DE", "de_CH"}) {
        QTest::newRow(locale) << locale << german[0] << german[1] << german[2] << german[3] << german[4] << german[5];
    }
    for (const char *locale : {"C", "en_GB", "fr_FR"}) {
        QTest::newRow(locale) << locale << english[0] << english[1] << english[2] << english[3] << english[4]
                              << english[5];
    }
}

void TestNotificationCatalogue::textsOfTheLocale()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, requests);
    QFETCH(QStringList, severalRequests);
    QFETCH(QStringList, invitations);
    QFETCH(QStringList, notifications);
    QFETCH(QStringList, banners);

    QLocale::setDefault(QLocale(locale));
    Helper helper;
    QVERIFY(helper.setLocale(QStringLiteral("quillnet")));
    const QList<int> counts {1, 2, 21};
    for (int i = 0; i < counts.size(); ++i) {
        const int n = counts.at(i);
        QCOMPARE(qtTrId("qtn_qnk_notification_new_message", n), messages.at(i));
        QCOMPARE(qtTrId("qtn_qnk_notification_new_friend_request", n), requests.at(i));
        QCOMPARE(qtTrId("qtn_qnk_notification_event", n), invitations.at(i));
        QCOMPARE(qtTrId("qtn_qnk_notification_new_notification", n), notifications.at(i));
    }
    QCOMPARE(qtTrId("qtn_qnk_new_friend_request_banner", 2), severalRequests.at(0));
    QCOMPARE(qtTrId("qtn_qnk_new_friend_request_banner", 21), severalRequests.at(1));

    // Without a count each takes one argument, as the handler fills it in.
    const QString seven = QString::number(qint64(7));
    QCOMPARE(qtTrId("qtn_qnk_new_message_banner").arg(seven), banners.at(0));
    QCOMPARE(qtTrId("qtn_qnk_new_friend_request_banner").arg(QStringLiteral("Ann")), banners.at(1));
    QCOMPARE(qtTrId("qtn_qnk_new_event_banner").arg(seven), banners.at(2));
}

QTEST_GUILESS_MAIN(TestNotificationCatalogue)
#include "tst_notificationcatalogue.moc"
