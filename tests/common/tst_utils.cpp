#include "common/utils.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
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
const QByteArray TinyGif = QByteArray::fromHex(
    "47494638396101000100800000000000ffffff21f90401000000002c00000000010001000002024401003b");

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray imageBytes(const QByteArray &format)
{
    if (format == "gif")
        return TinyGif;
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    return image.save(&buffer, format.constData()) ? data : QByteArray();
}

mode_t permissionBits(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

bool isLinkOrExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

const QRegularExpression RefusalWarning(QStringLiteral("Refusing to clear"));
const QRegularExpression OpenFailureWarning(QStringLiteral("Failure while trying to open files"));

} // namespace

class TestUtils : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void phoneNumberFromUri_data();
    void phoneNumberFromUri();
    void phoneNumberDigits_data();
    void phoneNumberDigits();

    void fixImageSuffix_data();
    void fixImageSuffix();
    void copyWithSuffixMakesPrivateFullCopy();
    void copyWithSuffixReplacesWhatIsAtTheTarget();
    void copyWithSuffixFailureKeepsPath_data();
    void copyWithSuffixFailureKeepsPath();

    void clearDirectoryRemovesNestedAndHiddenEntries();
    void clearDirectoryKeepsLinkTargetsOutside();
    void clearDirectorySparesTheKeptSubtree();
    void clearDirectoryEndsOnLinkLoops();
    void clearDirectoryRemovesOnlyALinkGivenAsPath_data();
    void clearDirectoryRemovesOnlyALinkGivenAsPath();
    void clearDirectoryRefusesRelativePaths_data();
    void clearDirectoryRefusesRelativePaths();
    void clearDirectoryRefusesRoot_data();
    void clearDirectoryRefusesRoot();
};

void TestUtils::phoneNumberFromUri_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("sip percent-encoded plus") << "sip:%2B15550100123@example.com" << "+15550100123";
    QTest::newRow("sips") << "sips:%2B15550100123@example.com" << "+15550100123";
    QTest::newRow("sip without host") << "sip:5550100" << "5550100";
    QTest::newRow("encoded blanks") << "sip:+1%20555%200100@host" << "+1 555 0100";
    QTest::newRow("phone-context in front") << "sip:1234;phone-context=+44@example.com" << "+441234";
    QTest::newRow("phone-context then parameter") << "sip:1234;phone-context=+44;ext=7@host" << "+441234";
    QTest::newRow("phone-context cut at NUL") << "sip:1234;phone-context=+44%00junk@host" << "+441234";
    QTest::newRow("other parameter dropped") << "sip:5550100;user=phone@host" << "5550100";
    QTest::newRow("sip letters") << "sip:alice@example.com" << "";
    QTest::newRow("prefix is case-sensitive") << "SIP:5550100@host" << "";
    QTest::newRow("dash not allowed") << "+1 (555) 010-9999" << "";
    QTest::newRow("at sign outside sip") << "5550100@host" << "";
    QTest::newRow("semicolon outside sip") << "5550100;ext=1" << "";
    QTest::newRow("three digits too short") << "123" << "";
    QTest::newRow("four digits stay") << "1234" << "1234";
    QTest::newRow("short after trimming") << "  123  " << "";
    QTest::newRow("trimmed") << "  1234 " << "1234";
    QTest::newRow("marks and symbols kept") << "*31#555p12,3w4x5" << "*31#555p12,3w4x5";
    QTest::newRow("non-ascii digits") << QString::fromUtf8("\u0661\u0662\u0663\u0664\u0665") << "";
    QTest::newRow("empty") << "" << "";
}

void TestUtils::phoneNumberFromUri()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(Utils::phoneNumberFromUri(text), expected);
}

void TestUtils::phoneNumberDigits_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<bool>("fromUri");
    QTest::addColumn<QString>("expected");

    QTest::newRow("sip address") << "sip:%2B15550100123@example.com" << true << "15550100123";
    // The plain reading stops at the "p" of "sip": callers fall back to the address reading.
    QTest::newRow("sip address read plainly") << "sip:%2B15550100123@example.com" << false << "";
    QTest::newRow("sip phone-context") << "sip:1234;phone-context=+44@host" << true << "441234";
    QTest::newRow("separators skipped") << "+1 (555) 010-9999" << false << "15550109999";
    QTest::newRow("dash unusable as address") << "+1 (555) 010-9999" << true << "";
    QTest::newRow("too short as address") << "123" << true << "";
    QTest::newRow("short plain number") << "123" << false << "123";
    QTest::newRow("pause p") << "12345p678" << false << "12345";
    QTest::newRow("wait W") << "12345W678" << true << "12345";
    QTest::newRow("extension x") << "12345x678" << false << "12345";
    QTest::newRow("comma") << "12345,678" << false << "12345";
    QTest::newRow("leading comma") << ",5551234" << false << "";
    QTest::newRow("leading p") << "p5551234" << false << "";
    QTest::newRow("leading x") << "x5551234" << true << "";
    QTest::newRow("hash restarts") << "12#34" << false << "34";
    QTest::newRow("service code prefix") << "*31#5551234" << true << "5551234";
    QTest::newRow("trailing hash") << "5551234#" << false << "";
    QTest::newRow("empty") << "" << false << "";
}

void TestUtils::phoneNumberDigits()
{
    QFETCH(QString, number);
    QFETCH(bool, fromUri);
    QFETCH(QString, expected);
    QCOMPARE(Utils::phoneNumberDigits(number, fromUri), expected);
}

void TestUtils::fixImageSuffix_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("expected"); // the name the path ends with afterwards

    QTest::newRow("png as jpg") << QByteArray("png") << "pic.jpg" << "pic.jpg.png";
    QTest::newRow("png as png") << QByteArray("png") << "pic.png" << "pic.png";
    QTest::newRow("jpeg as jpeg") << QByteArray("jpeg") << "pic.jpeg" << "pic.jpeg";
    QTest::newRow("jpeg as jpg") << QByteArray("jpeg") << "pic.jpg" << "pic.jpg";
    QTest::newRow("jpeg as JPG") << QByteArray("jpeg") << "pic.JPG" << "pic.JPG.jpg";
    QTest::newRow("jpeg without suffix") << QByteArray("jpeg") << "c0ffee" << "c0ffee.jpg";
    QTest::newRow("gif as png") << QByteArray("gif") << "pic.png" << "pic.png.gif";
    QTest::newRow("gif as gif") << QByteArray("gif") << "pic.gif" << "pic.gif";
    QTest::newRow("tiff as tif") << QByteArray("tiff") << "pic.tif" << "pic.tif.tiff";
    QTest::newRow("tiff as tiff") << QByteArray("tiff") << "pic.tiff" << "pic.tiff";
    QTest::newRow("bmp keeps any name") << QByteArray("bmp") << "pic.dat" << "pic.dat";
    QTest::newRow("not an image") << QByteArray() << "pic.jpg" << "pic.jpg";
}

void TestUtils::fixImageSuffix()
{
    QFETCH(QByteArray, format);
    QFETCH(QString, fileName);
    QFETCH(QString, expected);

    if (!format.isEmpty() && format != "gif" && !QImageWriter::supportedImageFormats().contains(format))
        QSKIP("No image plugin to write this format");
    const QByteArray content = format.isEmpty() ? QByteArray("no picture here, just text") : imageBytes(format);
    QVERIFY(!content.isEmpty());
    if (format == "gif")
        QVERIFY(!QImage::fromData(TinyGif).isNull());

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString original = dir.filePath(fileName);
    QVERIFY(writeFile(original, content));

    QString path = original;
    Utils::fixImageSuffix(path);

    QCOMPARE(path, dir.filePath(expected));
    QCOMPARE(readFile(path), content);
    QCOMPARE(readFile(original), content);
    const int expectedFiles = expected == fileName ? 1 : 2;
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), expectedFiles);
}

void TestUtils::copyWithSuffixMakesPrivateFullCopy()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString original = dir.filePath(QStringLiteral("picture"));
    // Several copy blocks and a partial last one.
    QByteArray content;
    for (int i = 0; i < 10000; ++i)
        content.append(char(i * 7 % 251));
    QVERIFY(writeFile(original, content));
    QVERIFY(::chmod(QFile::encodeName(original).constData(), 0644) == 0);

    const mode_t oldMask = ::umask(022);
    QString path = original;
    Utils::copyWithSuffix(path, QStringLiteral(".png"));
    ::umask(oldMask);

    QCOMPARE(path, original + QStringLiteral(".png"));
    QCOMPARE(readFile(path), content);
    QCOMPARE(readFile(original), content);
    QCOMPARE(permissionBits(path), mode_t(0600));
}

void TestUtils::copyWithSuffixReplacesWhatIsAtTheTarget()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString original = dir.filePath(QStringLiteral("a"));
    QVERIFY(writeFile(original, QByteArrayLiteral("new picture")));

    // A stale copy that others could read.
    const QString stale = original + QStringLiteral(".gif");
    QVERIFY(writeFile(stale, QByteArrayLiteral("older and longer picture data")));
    QVERIFY(::chmod(QFile::encodeName(stale).constData(), 0644) == 0);
    QString path = original;
    Utils::copyWithSuffix(path, QStringLiteral(".gif"));
    QCOMPARE(path, stale);
    QCOMPARE(readFile(stale), QByteArrayLiteral("new picture"));
    QCOMPARE(permissionBits(stale), mode_t(0600));

    // A link at the target must not be written through.
    const QString outside = dir.filePath(QStringLiteral("outside.txt"));
    QVERIFY(writeFile(outside, QByteArrayLiteral("keep me")));
    const QString linked = original + QStringLiteral(".jpg");
    QVERIFY(QFile::link(outside, linked));
    path = original;
    Utils::copyWithSuffix(path, QStringLiteral(".jpg"));
    QCOMPARE(path, linked);
    QVERIFY(!QFileInfo(linked).isSymLink());
    QCOMPARE(readFile(linked), QByteArrayLiteral("new picture"));
    QCOMPARE(readFile(outside), QByteArrayLiteral("keep me"));
}

void TestUtils::copyWithSuffixFailureKeepsPath_data()
{
    QTest::addColumn<QString>("source");    // relative to the test directory
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("warning");

    QTest::newRow("missing source") << "missing" << ".png" << OpenFailureWarning.pattern();
    QTest::newRow("source is a directory") << "folder" << ".png" << OpenFailureWarning.pattern();
    QTest::newRow("target is a directory") << "picture" << ".d" << OpenFailureWarning.pattern();
    QTest::newRow("empty suffix") << "picture" << "" << "Unusable suffix";
    QTest::newRow("suffix leaves the directory") << "picture" << "/../escaped" << "Unusable suffix";
}

void TestUtils::copyWithSuffixFailureKeepsPath()
{
    QFETCH(QString, source);
    QFETCH(QString, suffix);
    QFETCH(QString, warning);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("picture")), QByteArrayLiteral("data")));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("picture.d")));
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    const QString original = dir.filePath(source);
    QString path = original;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    Utils::copyWithSuffix(path, suffix);

    QCOMPARE(path, original);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("picture"))), QByteArrayLiteral("data"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("escaped"))));
}

void TestUtils::clearDirectoryRemovesNestedAndHiddenEntries()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString tree = base.filePath(QStringLiteral("tree"));
    QDir root(base.path());
    QVERIFY(root.mkpath(QStringLiteral("tree/a/b/c")));
    QVERIFY(root.mkpath(QStringLiteral("tree/.hiddendir/.inner")));
    QVERIFY(root.mkpath(QStringLiteral("tree/empty")));
    QVERIFY(writeFile(tree + QStringLiteral("/.hidden"), "x"));
    QVERIFY(writeFile(tree + QStringLiteral("/a/b/c/deep.txt"), "x"));
    QVERIFY(writeFile(tree + QStringLiteral("/a/top.txt"), "x"));
    QVERIFY(writeFile(tree + QStringLiteral("/.hiddendir/.inner/.file"), "x"));
    QVERIFY(writeFile(tree + QStringLiteral("/readonly"), "x"));
    QVERIFY(::chmod(QFile::encodeName(tree + QStringLiteral("/readonly")).constData(), 0400) == 0);
    QVERIFY(::mkfifo(QFile::encodeName(tree + QStringLiteral("/a/fifo")).constData(), 0600) == 0);
    QVERIFY(QFile::link(tree + QStringLiteral("/nowhere"), tree + QStringLiteral("/dangling")));

    Utils::clearDirectory(tree + QStringLiteral("/"));

    QVERIFY(!isLinkOrExists(tree));
    QVERIFY(QFileInfo::exists(base.path()));
}

void TestUtils::clearDirectorySparesTheKeptSubtree()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString tree = base.filePath(QStringLiteral("tree"));
    QDir root(base.path());
    QVERIFY(root.mkpath(QStringLiteral("tree/private/inner")));
    QVERIFY(root.mkpath(QStringLiteral("tree/qncache/sub")));
    QVERIFY(writeFile(tree + QStringLiteral("/private/db"), "kept"));
    QVERIFY(writeFile(tree + QStringLiteral("/private/inner/file"), "kept"));
    QVERIFY(writeFile(tree + QStringLiteral("/privateer"), "gone"));
    QVERIFY(writeFile(tree + QStringLiteral("/qncache/sub/pic.png"), "gone"));
    QVERIFY(writeFile(tree + QStringLiteral("/daemon.db"), "gone"));

    // The kept path may come with a trailing separator, as cache directory names do.
    Utils::clearDirectory(tree, tree + QStringLiteral("/private/"));

    QCOMPARE(QDir(tree).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("private")}));
    QVERIFY(QFileInfo::exists(tree + QStringLiteral("/private/db")));
    QVERIFY(QFileInfo::exists(tree + QStringLiteral("/private/inner/file")));

    // A kept path outside the tree changes nothing: the tree goes.
    Utils::clearDirectory(tree, base.filePath(QStringLiteral("elsewhere")));
    QVERIFY(!isLinkOrExists(tree));
}

void TestUtils::clearDirectoryKeepsLinkTargetsOutside()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    QDir root(base.path());
    QVERIFY(root.mkpath(QStringLiteral("outside/sub")));
    const QString precious = base.filePath(QStringLiteral("outside/precious"));
    const QString nested = base.filePath(QStringLiteral("outside/sub/nested"));
    QVERIFY(writeFile(precious, "keep"));
    QVERIFY(writeFile(nested, "keep too"));

    QVERIFY(root.mkpath(QStringLiteral("tree/deep/er")));
    const QString tree = base.filePath(QStringLiteral("tree"));
    QVERIFY(QFile::link(base.filePath(QStringLiteral("outside")), tree + QStringLiteral("/dirlink")));
    QVERIFY(QFile::link(precious, tree + QStringLiteral("/filelink")));
    QVERIFY(QFile::link(QStringLiteral("../../../outside"), tree + QStringLiteral("/deep/er/relative")));

    Utils::clearDirectory(tree);

    QVERIFY(!isLinkOrExists(tree));
    QCOMPARE(readFile(precious), QByteArrayLiteral("keep"));
    QCOMPARE(readFile(nested), QByteArrayLiteral("keep too"));
}

void TestUtils::clearDirectoryEndsOnLinkLoops()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    QDir root(base.path());
    QVERIFY(root.mkpath(QStringLiteral("tree/sub")));
    const QString tree = base.filePath(QStringLiteral("tree"));
    QVERIFY(writeFile(tree + QStringLiteral("/sub/file"), "x"));
    QVERIFY(QFile::link(tree, tree + QStringLiteral("/sub/toroot")));
    QVERIFY(QFile::link(QStringLiteral(".."), tree + QStringLiteral("/sub/up")));
    QVERIFY(QFile::link(QStringLiteral("self"), tree + QStringLiteral("/self")));
    QVERIFY(QFile::link(QStringLiteral("ping"), tree + QStringLiteral("/pong")));
    QVERIFY(QFile::link(QStringLiteral("pong"), tree + QStringLiteral("/ping")));

    Utils::clearDirectory(tree);

    QVERIFY(!isLinkOrExists(tree));
}

void TestUtils::clearDirectoryRemovesOnlyALinkGivenAsPath_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("plain") << "";
    QTest::newRow("trailing slash") << "/";
    QTest::newRow("trailing dot") << "/.";
}

void TestUtils::clearDirectoryRemovesOnlyALinkGivenAsPath()
{
    QFETCH(QString, ending);

    QTemporaryDir base;
    QVERIFY(base.isValid());
    QVERIFY(QDir(base.path()).mkpath(QStringLiteral("outside/sub")));
    const QString precious = base.filePath(QStringLiteral("outside/sub/precious"));
    QVERIFY(writeFile(precious, "keep"));
    const QString link = base.filePath(QStringLiteral("cache"));
    QVERIFY(QFile::link(base.filePath(QStringLiteral("outside")), link));

    Utils::clearDirectory(link + ending);

    QVERIFY(!isLinkOrExists(link));
    QCOMPARE(readFile(precious), QByteArrayLiteral("keep"));
}

void TestUtils::clearDirectoryRefusesRelativePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << "";
    QTest::newRow("relative") << "victim";
    QTest::newRow("relative with dot") << "./victim/";
    QTest::newRow("current directory") << ".";
}

void TestUtils::clearDirectoryRefusesRelativePaths()
{
    QFETCH(QString, path);

    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString victim = base.filePath(QStringLiteral("victim/file"));
    QVERIFY(QDir(base.path()).mkdir(QStringLiteral("victim")));
    QVERIFY(writeFile(victim, "keep"));

    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(base.path()));
    QTest::ignoreMessage(QtWarningMsg, RefusalWarning);
    Utils::clearDirectory(path);
    QDir::setCurrent(previous);

    QCOMPARE(readFile(victim), QByteArrayLiteral("keep"));
}

void TestUtils::clearDirectoryRefusesRoot_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("root") << "/";
    QTest::newRow("double slash") << "//";
    QTest::newRow("root dot") << "/.";
    QTest::newRow("up to root") << "/sub/..";
}

// The call runs in a child process confined to a scratch root, so a regression cannot reach
// the machine's real root directory.
void TestUtils::clearDirectoryRefusesRoot()
{
    QFETCH(QString, path);

    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    QVERIFY(QDir(scratch.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(writeFile(scratch.filePath(QStringLiteral("sentinel")), "keep"));

    enum ChildResult { Kept = 0, Removed = 1, Unconfined = 2, NoWarning = 3 };
    const QByteArray scratchPath = QFile::encodeName(scratch.path());
    const QByteArray target = path.toUtf8();
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if (::geteuid() != 0 && ::unshare(CLONE_NEWUSER) != 0)
            ::_exit(Unconfined);
        if (::chroot(scratchPath.constData()) != 0 || ::chdir("/") != 0)
            ::_exit(Unconfined);
        static bool refused = false;
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtWarningMsg && text.contains(RefusalWarning))
                refused = true;
        });
        Utils::clearDirectory(QString::fromUtf8(target));
        if (!QFile::exists(QStringLiteral("/sentinel")) || !QFileInfo::exists(QStringLiteral("/sub")))
            ::_exit(Removed);
        ::_exit(refused ? Kept : NoWarning);
    }

    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    if (WEXITSTATUS(status) == Unconfined)
        QSKIP("Cannot confine a child process to a scratch root here");
    QCOMPARE(WEXITSTATUS(status), int(Kept));
    QCOMPARE(readFile(scratch.filePath(QStringLiteral("sentinel"))), QByteArrayLiteral("keep"));
}

QTEST_GUILESS_MAIN(TestUtils)

#include "tst_utils.moc"
