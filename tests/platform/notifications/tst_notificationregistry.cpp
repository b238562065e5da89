// The file that remembers what this application published: read back as written, and whatever
// else is found in its place (damaged, oversized, planted) is discarded with a warning, never
// written through and never read without bounds.
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <memory>

#include "platform/notifications/mnotification.h"
#include "platform/notifications/mnotificationgroup.h"
#include "platform/notifications/notificationregistry_p.h"
#include "lookups.h"
#include "testfiles.h"

namespace {

const QString Bus = QStringLiteral("0123456789abcdef0123456789abcdef");
const NotificationIssuer Here {Bus, QStringLiteral(":1.7")};
const NotificationIssuer Gone {Bus, QStringLiteral(":1.3")};

const QString OpenView = QStringLiteral("com.tarvo.quillnet /OpenView com.tarvo.quillnet openView");

NotificationRecord record(quint32 id, NotificationRecord::Kind kind, const QString &eventType,
                          const QString &body = QString(), const QString &action = QString())
{
    NotificationRecord r;
    r.id = id;
    r.kind = kind;
    r.eventType = eventType;
    r.summary = QStringLiteral("Ann, Bö");
    r.body = body;
    r.count = id * 10;
    r.action = action;
    r.issuer = Here;
    return r;
}

QList<NotificationRecord> sample()
{
    return {record(5, NotificationRecord::Group, Messages, QStringLiteral("2 new"), OpenView),
            record(6, NotificationRecord::InGroup, Messages, QString(), OpenView),
            record(7, NotificationRecord::Plain, Requests, QStringLiteral("")),
            record(8, NotificationRecord::Group, Requests, QStringLiteral("<b>&amp;</b>"))};
}

// As the first version wrote it: no issuers.
QByteArray firstVersion(const QList<NotificationRecord> &records)
{
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    out << NotificationRegistry::Magic << quint16(1) << quint32(records.size());
    for (const NotificationRecord &r : records)
        out << r.id << quint8(r.kind) << r.count << r.eventType << r.summary << r.body << r.action;
    return data;
}

QByteArray patched(QByteArray data, int offset, const QByteArray &bytes)
{
    return data.replace(offset, bytes.size(), bytes);
}

QByteArray bigEndian(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

// Where the first record's fields start: after magic, version and count.
constexpr int FirstId = 10;
constexpr int FirstKind = 14;

} // namespace

class TestNotificationRegistry : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        mDir = std::make_unique<QTemporaryDir>();
        QVERIFY(mDir->isValid());
        mPath = mDir->filePath(QStringLiteral("cache/quillnet/notifications.registry"));
        MNotification::setRegistryPath(mPath);
        QCOMPARE(MNotification::registryPath(), mPath);
    }

    void recordsReadBackFromAUserOnlyFile()
    {
        // A link in the file's place is replaced, never written through.
        QVERIFY(QDir().mkpath(QFileInfo(mPath).path()));
        const QString target = mDir->filePath(QStringLiteral("target"));
        QVERIFY(writeFile(target, "keep"));
        QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        QVERIFY(QFile::link(target, mPath));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Replacing the link")));
        QVERIFY(NotificationRegistry(mPath).save(sample()));
        QCOMPARE(readFile(target), QByteArray("keep"));
        QCOMPARE(modeOf(target), 0604);
        QVERIFY(!QFileInfo(mPath).isSymLink());
        QCOMPARE(NotificationRegistry(mPath).load(), sample());
        QCOMPARE(NotificationRegistry(mPath).find(Here, 7), sample().at(2));
        QVERIFY(!NotificationRegistry(mPath).find(Here, 9));
        QVERIFY(!NotificationRegistry(mPath).find(Gone, 7));

        // Through the lookups: groups apart from the rest, in the order of their publishing.
        QCOMPARE(eventTypesOf(MNotificationGroup::notificationGroups()), (QStringList {Messages, Requests}));
        QCOMPARE(eventTypesOf(MNotification::notifications()), (QStringList {Messages, Requests}));

        // The file is the user's alone (its folders: tst_support's user-only paths).
        QCOMPARE(modeOf(mPath), 0600);

        // A file found readable by others is replaced by one that is not.
        QVERIFY(QFile::setPermissions(mPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        QVERIFY(NotificationRegistry(mPath).save(sample().mid(1)));
        QCOMPARE(modeOf(mPath), 0600);
    }

    void damagedOrPlantedEntriesAreDiscarded_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("alsoWarned");
        // What is at the path: "file" holds the data; a link, a pipe or a folder leaves it elsewhere.
        QTest::addColumn<QString>("entry");

        const auto row = [](const char *name, const QByteArray &data, const QString &alsoWarned = QString(),
                            const QString &entry = QStringLiteral("file")) {
            QTest::newRow(name) << data << alsoWarned << entry;
        };
        const QByteArray valid = NotificationRegistry::serialise(sample());
        const auto single = [](const NotificationRecord &r) { return NotificationRegistry::serialise({r}); };

        // The malformed forms are the bounded reader's test (tst_support): cut short, a text past the end.
        // Here, the registry's own limits and checks, and that it discards.
        row("other magic", patched(valid, 0, "X"));
        row("later version", patched(valid, 4, QByteArray("\0\3", 2)));
        row("first version, cut short", firstVersion(sample()).chopped(1));
        row("huge count", patched(valid, 6, bigEndian(0xffffffff)));
        QList<NotificationRecord> tooMany;
        for (quint32 id = 1; id <= quint32(NotificationRegistry::MaxRecords) + 1; ++id)
            tooMany << record(id, NotificationRecord::Plain, Messages);
        row("more records than allowed", NotificationRegistry::serialise(tooMany));
        row("trailing byte", valid + QByteArray(1, '\0'));
        row("text longer than allowed",
            single(record(1, NotificationRecord::Plain, QString(NotificationRegistry::MaxTextLength + 1, 'x'))));
        row("id 0", patched(valid, FirstId, bigEndian(0)));
        row("repeated id", patched(valid, FirstId, bigEndian(6)));
        row("unknown kind", patched(valid, FirstKind, QByteArray(1, '\3')));
        row("no event type", single(record(1, NotificationRecord::Plain, QString())));
        NotificationRecord foreign = record(1, NotificationRecord::Plain, Messages);
        foreign.issuer.uniqueName = QStringLiteral("org.example.Server");
        row("issuer not a unique name", single(foreign));
        foreign.issuer = {QStringLiteral("XYZ"), Here.uniqueName};
        row("bus id not hexadecimal", single(foreign));
        foreign.issuer = {Bus, QString()};
        row("bus id without a name", single(foreign));
        row("not an action", single(record(1, NotificationRecord::Plain, Messages, QString(), QStringLiteral("x y"))),
            QStringLiteral("Not a remote action"));
        row("over the size limit",
            valid + QByteArray(int(NotificationRegistry::MaxFileBytes) + 1 - valid.size(), '\0'));
        row("link to a registry", valid, QString(), QStringLiteral("link"));
        row("link to nowhere", valid, QString(), QStringLiteral("dangling"));
        row("named pipe", valid, QString(), QStringLiteral("fifo"));
        row("directory", valid, QStringLiteral("Cannot remove"), QStringLiteral("directory"));
    }

    void damagedOrPlantedEntriesAreDiscarded()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, alsoWarned);
        QFETCH(QString, entry);

        QVERIFY(QDir().mkpath(QFileInfo(mPath).path()));
        const QString elsewhere = mDir->filePath(QStringLiteral("elsewhere"));
        QVERIFY(writeFile(entry == QLatin1String("file") ? mPath : elsewhere, data));
        if (entry == QLatin1String("link"))
            QVERIFY(QFile::link(elsewhere, mPath));
        else if (entry == QLatin1String("dangling"))
            QVERIFY(QFile::link(mDir->filePath(QStringLiteral("nothing")), mPath));
        else if (entry == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(mPath).constData(), 0600), 0);
        else if (entry == QLatin1String("directory"))
            QVERIFY(QDir().mkdir(mPath));
        if (!alsoWarned.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(alsoWarned));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Discarding the notification registry")));
        QCOMPARE(eventTypesOf(MNotificationGroup::notificationGroups()), QStringList());
        QCOMPARE(modeOf(mPath) != -1, entry == QLatin1String("directory"));
        if (entry != QLatin1String("file")) {
            // What a link pointed to is neither read nor touched.
            QCOMPARE(readFile(elsewhere), data);
            return;
        }
        // Gone: the next lookup finds nothing and says nothing.
        QCOMPARE(eventTypesOf(MNotification::notifications()), QStringList());

        // The next publishing starts a clean file.
        QVERIFY(NotificationRegistry(mPath).store(sample().first(), {}, 0));
        QCOMPARE(eventTypesOf(MNotificationGroup::notificationGroups()), QStringList {Messages});
    }

    void fileStaysBoundedDroppingTheOldestNotificationsFirst()
    {
        QList<NotificationRecord> records
                = {record(1, NotificationRecord::Group, Messages), record(2, NotificationRecord::Group, Requests)};
        const quint32 last = NotificationRegistry::MaxRecords + 10;
        for (quint32 id = 3; id <= last; ++id)
            records << record(id, id % 2 ? NotificationRecord::Plain : NotificationRecord::InGroup, Messages);
        QVERIFY(NotificationRegistry(mPath).save(records));

        const QList<NotificationRecord> kept = NotificationRegistry(mPath).load();
        QCOMPARE(kept.size(), NotificationRegistry::MaxRecords);
        QCOMPARE(kept.at(0).id, 1u);
        QCOMPARE(kept.at(1).id, 2u);
        // The newest notifications, in order.
        QCOMPARE(kept.at(2).id, last - NotificationRegistry::MaxRecords + 3);
        QCOMPARE(kept.last().id, last);

        // Texts are cut; beyond the file's size, again the oldest notifications go first.
        const QString longText(NotificationRegistry::MaxTextLength + 100, QLatin1Char('x'));
        records.clear();
        for (quint32 id = 1; id <= 100; ++id) {
            NotificationRecord r
                    = record(id, id == 50 ? NotificationRecord::Group : NotificationRecord::Plain, Messages);
            r.summary = r.body = longText;
            records << r;
        }
        QVERIFY(NotificationRegistry(mPath).save(records));

        QVERIFY(QFileInfo(mPath).size() <= NotificationRegistry::MaxFileBytes);
        const QList<NotificationRecord> cut = NotificationRegistry(mPath).load();
        QVERIFY(cut.size() > 10 && cut.size() < 100);
        QCOMPARE(cut.first().id, 50u);
        QCOMPARE(cut.last().id, 100u);
        for (const NotificationRecord &r : cut) {
            QCOMPARE(r.summary.size(), NotificationRegistry::MaxTextLength);
            QCOMPARE(r.body, longText.left(NotificationRegistry::MaxTextLength));
        }
    }

    void oneRecordPerIdOfItsServer()
    {
        const NotificationRegistry registry(mPath);
        const QList<NotificationRecord> records = sample();
        QVERIFY(registry.save(records));

        // Updated under a new id (a server that was restarted): the old record goes, the new is newest.
        NotificationRecord updated = records.at(0);
        updated.id = 20;
        updated.body = QStringLiteral("3 new");
        QVERIFY(registry.store(updated, Here, 5));
        QCOMPARE(registry.load(), (QList<NotificationRecord> {records.at(1), records.at(2), records.at(3), updated}));

        // An id the server gives out again belongs to the new notification alone; the same id of
        // another server is another notification.
        NotificationRecord reused = record(6, NotificationRecord::Plain, Requests);
        QVERIFY(registry.store(reused, {}, 0));
        reused.issuer = Gone;
        QVERIFY(registry.store(reused, {}, 0));
        QCOMPARE(registry.load().size(), 5);
        QCOMPARE(registry.find(Here, 6)->kind, NotificationRecord::Plain);

        QVERIFY(registry.forget(Here, 7));
        QVERIFY(!registry.forget(Here, 7));
        QVERIFY(!registry.forget(Gone, 20));
        QCOMPARE(registry.load().size(), 4);

        // A file of the first version: its records belong to whichever server owns the name first.
        QVERIFY(writeFile(mPath, firstVersion(sample())));
        QList<NotificationRecord> adopted = sample();
        for (NotificationRecord &r : adopted)
            r.issuer = NotificationIssuer();
        QCOMPARE(registry.load(), adopted);
        QVERIFY(registry.rebind(Here));
        QCOMPARE(registry.load(), sample());
        // Rebound to another server: tst_mnotification's lookupsUpdateInPlaceOnlyOnTheServerOfTheirIds.
    }

private:
    std::unique_ptr<QTemporaryDir> mDir;
    QString mPath;
};

QTEST_GUILESS_MAIN(TestNotificationRegistry)
#include "tst_notificationregistry.moc"
