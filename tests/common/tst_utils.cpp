#include "common/utils.h"
#include "testfiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A 1x1 GIF: Qt reads GIF but cannot write it.
const QByteArray TinyGif
        = QByteArray::fromHex("47494638396101000100800000000000ffffff21f90401000000002c00000000010001000002024401003b");

// A small picture in the format; empty when no plugin writes it.
QByteArray picture(const QByteArray &format)
{
    if (format == "gif")
        return TinyGif;
    QImage image(16, 12, QImage::Format_ARGB32);
    image.fill(QColor(10, 200, 30, 128));
    QByteArray content;
    QBuffer buffer(&content);
    return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, format.constData()) ? content : QByteArray();
}

// Files below root, each holding its own name, with the directories they need; a name ending in
// "/" is an empty directory.
bool makeTree(const QString &root, const QStringList &names)
{
    for (const QString &name : names) {
        const QString path = root + QLatin1Char('/') + name;
        const bool isDir = name.endsWith(QLatin1Char('/'));
        if (!QDir().mkpath(isDir ? path : QFileInfo(path).path()) || (!isDir && !writeFile(path, name.toUtf8())))
            return false;
    }
    return true;
}

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

const QRegularExpression RefusalWarning(QStringLiteral("Refusing to clear"));
int refusals = 0;

} // namespace

class TestUtils : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void phoneNumbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("number"); // phoneNumberFromUri
        QTest::addColumn<QString>("digits"); // phoneNumberDigits, plain
        QTest::addColumn<QString>("uriDigits"); // phoneNumberDigits, from a URI
        const auto row = [](const char *tag, const QString &text, const char *number, const char *digits,
                            const char *uriDigits) { QTest::newRow(tag) << text << number << digits << uriDigits; };

        // Read plainly, a SIP address stops at the "p" of "sip": callers fall back to the URI reading.
        row("sips", "sips:%2B15550100123@example.com", "+15550100123", "", "15550100123");
        row("encoded blanks", "sip:+1%20555%200100@host", "+1 555 0100", "", "15550100");
        row("phone-context, parameter", "sip:1234;phone-context=+44;ext=7@host", "+441234", "", "441234");
        row("phone-context, NUL", "sip:1234;phone-context=+44%00junk@host", "+441234", "", "441234");
        row("other parameter", "sip:5550100;user=phone@host", "5550100", "", "5550100");
        row("sip letters", "sip:alice@example.com", "", "", "");
        row("prefix case", "SIP:5550100@host", "", "", "");
        row("dash", "+1 (555) 010-9999", "", "15550109999", "");
        row("semicolon outside sip", "5550100;ext=1", "", "5550100", "");
        row("four digits", "1234", "1234", "1234", "1234");
        row("short after trimming", "  123  ", "", "123", "");
        row("service code", "*31#555p12,3w4x5", "*31#555p12,3w4x5", "555", "555");
        row("non-ascii digits", QString::fromUtf8("\u0661\u0662\u0663\u0664\u0665"), "", "", "");
        row("empty", "", "", "", "");
        row("wait", "12345W678", "12345W678", "12345", "12345");
        row("extension", "12345x678", "12345x678", "12345", "12345");
        row("leading comma", ",5551234", ",5551234", "", "");
        row("leading X", "X5551234", "X5551234", "", "");
        row("hash restarts", "12#34", "12#34", "34", "34");
    }

    void phoneNumbers()
    {
        QFETCH(QString, text);
        QFETCH(QString, number);
        QFETCH(QString, digits);
        QFETCH(QString, uriDigits);
        QCOMPARE(Utils::phoneNumberFromUri(text), number);
        QCOMPARE(Utils::phoneNumberDigits(text, false), digits);
        QCOMPARE(Utils::phoneNumberDigits(text, true), uriDigits);
    }

    void fixImageSuffix_data()
    {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("expected"); // the name the path ends with afterwards
        const auto row = [](const char *tag, const char *format, const char *name, const char *expected) {
            QTest::newRow(tag) << QByteArray(format) << name << expected;
        };
        row("png as jpg", "png", "pic.jpg", "pic.jpg.png");
        row("png as png", "png", "pic.png", "pic.png");
        row("jpeg as jpeg", "jpeg", "pic.jpeg", "pic.jpeg");
        row("jpeg as jpg", "jpeg", "pic.jpg", "pic.jpg");
        row("jpeg as JPG", "jpeg", "pic.JPG", "pic.JPG.jpg");
        row("gif as png", "gif", "pic.png", "pic.png.gif");
        row("gif as gif", "gif", "pic.gif", "pic.gif");
        row("tiff as tif", "tiff", "pic.tif", "pic.tif.tiff");
        row("tiff as tiff", "tiff", "pic.tiff", "pic.tiff");
        row("not an image", "", "pic.jpg", "pic.jpg");
    }

    void fixImageSuffix()
    {
        QFETCH(QByteArray, format);
        QFETCH(QString, fileName);
        QFETCH(QString, expected);

        const QByteArray content = format.isEmpty() ? QByteArray("no picture here, just text") : picture(format);
        if (content.isEmpty())
            QSKIP("No image plugin to write this format");
        QTemporaryDir dir;
        const QString original = dir.filePath(fileName);
        QVERIFY(writeFile(original, content));

        QString path = original;
        Utils::fixImageSuffix(path);

        QCOMPARE(path, dir.filePath(expected));
        QCOMPARE(readFile(path), content);
        QCOMPARE(readFile(original), content);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), expected == fileName ? 1 : 2);
    }

    void copyWithSuffix_data()
    {
        QTest::addColumn<QString>("source"); // relative to the test directory
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("warning"); // none when the copy is made
        const auto row = [](const char *tag, const char *source, const char *suffix, const char *warning) {
            QTest::newRow(tag) << source << suffix << warning;
        };
        const char *openFailure = "Failure while trying to open files";
        row("new copy", "picture", ".png", "");
        row("stale copy replaced", "picture", ".gif", "");
        row("link replaced, not written through", "picture", ".jpg", "");
        row("source is a directory", "folder", ".png", openFailure);
        row("target is a directory", "picture", ".d", openFailure);
        row("empty suffix", "picture", "", "Unusable suffix");
        row("suffix leaves the directory", "picture", "/../escaped", "Unusable suffix");
    }

    void copyWithSuffix()
    {
        QFETCH(QString, source);
        QFETCH(QString, suffix);
        QFETCH(QString, warning);

        QTemporaryDir dir;
        const QString original = dir.filePath("picture");
        const QString outside = dir.filePath("outside");
        // Several copy blocks, each different, and a partial last one.
        const QByteArray content = QByteArray("0123456789").repeated(1000);
        QVERIFY(writeFile(original, content) && setMode(original, 0644)
                && makeTree(dir.path(), {"outside", "folder/", "picture.d/"}));
        // A longer stale copy that others can read, and a planted link.
        QVERIFY(writeFile(original + ".gif", QByteArray(20000, 's')) && setMode(original + ".gif", 0644));
        QVERIFY(QFile::link(outside, original + ".jpg"));
        const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

        QString path = dir.filePath(source);
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        const mode_t oldMask = ::umask(022);
        Utils::copyWithSuffix(path, suffix);
        ::umask(oldMask);

        QCOMPARE(readFile(original), content);
        QCOMPARE(readFile(outside), QByteArrayLiteral("outside"));
        if (warning.isEmpty()) {
            QCOMPARE(path, original + suffix);
            QVERIFY(!QFileInfo(path).isSymLink());
            QCOMPARE(readFile(path), content);
            QCOMPARE(modeOf(path), 0600);
        } else {
            QCOMPARE(path, dir.filePath(source));
            QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        }
    }

    void clearDirectoryFollowsNoLinkInside()
    {
        QTemporaryDir base;
        const QString tree = base.filePath("tree");
        const QString outside = base.filePath("outside");
        const QString disk = base.filePath("disk/quillnet");
        const QString link = base.filePath("cache");
        QVERIFY(makeTree(outside, {"precious", "sub/nested"}));
        QVERIFY(makeTree(tree,
                         {"a/b/c/deep.txt", "a/top.txt", ".hidden", ".hiddendir/.inner/.file", "empty/", "readonly"}));
        QVERIFY(setMode(tree + "/readonly", 0400));
        QVERIFY(::mkfifo(QFile::encodeName(tree + "/a/fifo").constData(), 0600) == 0);
        // Links out of the tree (absolute and relative), a dangling one, and loops.
        const QList<QPair<QString, QString>> links = {{outside, "dirlink"},
                                                      {outside + "/precious", "filelink"},
                                                      {"../../../outside", "a/b/relative"},
                                                      {"nowhere", "dangling"},
                                                      {tree, "a/toroot"},
                                                      {"..", "a/up"},
                                                      {"self", "self"},
                                                      {"ping", "pong"},
                                                      {"pong", "ping"}};
        for (const auto &[target, name] : links)
            QVERIFY(QFile::link(target, tree + '/' + name));

        Utils::clearDirectory(tree + '/');
        QCOMPARE(modeOf(tree), -1);

        // A cache directory moved to another disk and linked back: what it names goes, then the
        // link; a link inside it is still not followed.
        for (const char *ending : {"", "/", "/."}) {
            QVERIFY(makeTree(disk, {"qndaemon-cache.db", "qncache/pic.png", "private/qncache.db"}));
            QVERIFY(QFile::link(outside, disk + "/out"));
            QVERIFY(QFile::link(disk, link));
            Utils::clearDirectory(link + QLatin1String(ending));
            QVERIFY2(modeOf(link) < 0 && modeOf(disk) < 0, ending);
        }

        // Kept two levels below the link, with a trailing separator as cache directory names are given:
        // found below the directory the link names, its siblings and a look-alike name go, the link stays.
        QVERIFY(makeTree(disk,
                         {"qndaemon-cache.db", "private/qncache/db", "private/qncache/inner/file", "private/qncacheold",
                          "private/pic.png"}));
        QVERIFY(QFile::link(disk, link));
        Utils::clearDirectory(link, link + "/private/qncache/");
        QVERIFY(QFileInfo(link).isSymLink());
        const auto entries = [](const QString &path) {
            return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        };
        QCOMPARE(entries(disk) + entries(disk + "/private") + entries(disk + "/private/qncache"),
                 (QStringList {"private", "qncache", "db", "inner"}));
        QCOMPARE(readFile(disk + "/private/qncache/inner/file"), QByteArrayLiteral("private/qncache/inner/file"));
        // A kept path outside the tree changes nothing: all of it goes.
        Utils::clearDirectory(link, base.filePath("elsewhere"));
        QVERIFY(modeOf(link) < 0 && modeOf(disk) < 0);

        // A dangling link: only the link goes.
        QVERIFY(QFile::link(base.filePath("gone"), link));
        Utils::clearDirectory(link);
        QVERIFY(modeOf(link) < 0 && modeOf(base.filePath("gone")) < 0);
        // Nothing the links inside named was touched.
        QCOMPARE(readFile(outside + "/precious") + readFile(outside + "/sub/nested"),
                 QByteArrayLiteral("precioussub/nested"));
    }

    void imageFormatAgreesWithImageReader_data()
    {
        QTest::addColumn<QByteArray>("content");

        const QByteArrayList formats = QImageWriter::supportedImageFormats() << "gif";
        for (const QByteArray &format : formats) {
            if (const QByteArray content = picture(format); !content.isEmpty())
                QTest::newRow(format.constData()) << content;
        }
        QTest::newRow("big-endian tiff header") << QByteArray("MM\0*\0\0\0\x08", 8);
        QTest::newRow("png signature cut") << QByteArray("\x89PN", 3);
        QTest::newRow("jpeg marker only") << QByteArray("\xff\xd8");
        QTest::newRow("text") << QByteArray("GIF is a format, this is text");
        QTest::newRow("empty") << QByteArray();
    }

    void imageFormatAgreesWithImageReader()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath("picture");
        QVERIFY(writeFile(path, content));

        // The reader knows more formats; only these five get a suffix.
        QByteArray expected = QImageReader::imageFormat(path);
        if (!QByteArrayList {"jpeg", "png", "gif", "tiff", "webp"}.contains(expected))
            expected.clear();
        QCOMPARE(Utils::imageFormat(path), expected);
    }

    // The calls run in a child process whose root and working directory are a scratch directory, so
    // that a regression can empty nothing but that directory.
    void clearDirectoryRefuses()
    {
        QTemporaryDir scratch;
        QVERIFY(makeTree(scratch.path(), {"victim/file"}));

        enum ChildResult { Kept = 0, Removed = 1, Unconfined = 2, NoWarning = 3 };
        const QByteArray scratchPath = QFile::encodeName(scratch.path());
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            // Nothing is cleared unless the confinement holds.
            if ((::geteuid() != 0 && ::unshare(CLONE_NEWUSER) != 0) || ::chroot(scratchPath.constData()) != 0
                || ::chdir("/") != 0)
                ::_exit(Unconfined);
            qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
                refusals += type == QtWarningMsg && text.contains(RefusalWarning) ? 1 : 0;
            });
            // Empty, relative, the root, and a name for the root.
            const QStringList paths = {"", "victim", "/", "/victim/.."};
            for (const QString &path : paths) {
                Utils::clearDirectory(path);
                if (!QFile::exists("/victim/file"))
                    ::_exit(Removed);
            }
            ::_exit(refusals == paths.size() ? Kept : NoWarning);
        }

        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        if (WEXITSTATUS(status) == Unconfined)
            QSKIP("Cannot confine a child process to a scratch root here");
        QCOMPARE(WEXITSTATUS(status), int(Kept));
        QCOMPARE(readFile(scratch.filePath("victim/file")), QByteArrayLiteral("victim/file"));
    }
};

QTEST_GUILESS_MAIN(TestUtils)

#include "tst_utils.moc"
