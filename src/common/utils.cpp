#include "common/utils.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include "platform/support/files.h"
#include "platform/support/logging.h"
#include "platform/support/picturetype.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

const QString SipPrefix = QStringLiteral("sip:");
const QString SecureSipPrefix = QStringLiteral("sips:");
const QByteArray PhoneContextParameter = QByteArrayLiteral("phone-context=");
constexpr int ShortestNumber = 4;
constexpr qint64 CopyBlockSize = 4096;

bool isDecimalDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Pause, wait and extension marks: the digits after them are dialled later, not part of the number.
bool isDialMark(char c)
{
    switch (c) {
    case 'p':
    case 'P':
    case 'w':
    case 'W':
    case 'x':
    case 'X':
    case ',':
        return true;
    default:
        return false;
    }
}

// Everything a dial string may hold besides digits: marks, and visual separators.
bool isDialSymbol(char c)
{
    switch (c) {
    case '#':
    case '*':
    case '+':
    case ' ':
    case '(':
    case ')':
        return true;
    default:
        return isDialMark(c);
    }
}

} // namespace

Utils::Utils(QObject *parent)
    : QObject(parent)
{}

Utils::~Utils() = default;

void Utils::clearDirectory(const QString &path)
{
    clearDirectory(path, QString());
}

void Utils::clearDirectory(const QString &path, const QString &keep)
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << path << keep;

    if (path.isEmpty() || QDir::isRelativePath(path)) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Refusing to clear a relative or empty path" << path;
        return;
    }
    // Cleaned first: a trailing slash would make the system resolve a link given as the path.
    const QString cleanPath = QDir::cleanPath(path);
    if (cleanPath == QDir::rootPath()) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Refusing to clear the root directory";
        return;
    }

    // A cache directory may be a link to another disk: the directory it names is what gets
    // cleared, resolved here once. Links found inside are never followed.
    const QFileInfo info(cleanPath);
    QString dir = cleanPath;
    if (info.isSymLink()) {
        dir = info.canonicalFilePath();
        if (dir.isEmpty()) {
            // Dangling: nothing to clear but the link.
            if (!QFile::remove(cleanPath))
                qCWarning(lcDaemon) << Q_FUNC_INFO << "Cannot remove link" << cleanPath;
            return;
        }
        if (dir == QDir::rootPath()) {
            qCWarning(lcDaemon) << Q_FUNC_INFO << "Refusing to clear the root directory";
            return;
        }
    } else if (!info.exists()) {
        return;
    }
    if (!QFileInfo(dir).isDir()) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Not a directory, left alone:" << cleanPath;
        return;
    }

    // The kept path is named below the configured path; it lies at the same place below the
    // resolved one.
    QStringList kept;
    const QString cleanKeep = keep.isEmpty() ? QString() : QDir::cleanPath(keep);
    if (cleanKeep.startsWith(cleanPath + QLatin1Char('/')))
        kept << dir + cleanKeep.mid(cleanPath.size());

    if (Support::removeTree(dir, kept) && info.isSymLink() && !QFile::remove(cleanPath))
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Cannot remove link" << cleanPath;
}

QString Utils::phoneNumberFromUri(const QString &text)
{
    QString work = text;
    bool sip = false;
    if (work.startsWith(SipPrefix)) {
        work.remove(0, SipPrefix.size());
        sip = true;
    } else if (work.startsWith(SecureSipPrefix)) {
        work.remove(0, SecureSipPrefix.size());
        sip = true;
    }
    if (sip) {
        work = QUrl::fromPercentEncoding(work.toUtf8());
        const int at = work.indexOf(QLatin1Char('@'));
        if (at >= 0)
            work.truncate(at);
    }

    const QByteArray bytes = work.toUtf8();
    QByteArray result;
    for (int i = 0; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (isDecimalDigit(c) || isDialSymbol(c)) {
            result.append(c);
        } else if (sip && (c == '@' || c == ';')) {
            QByteArray rest = bytes.mid(i + 1);
            if (rest.startsWith(PhoneContextParameter)) {
                rest.remove(0, PhoneContextParameter.size());
                // The context value ends where a further parameter (or a decoded NUL) begins.
                for (const char end : {'\0', ';'}) {
                    const int endIndex = rest.indexOf(end);
                    if (endIndex >= 0)
                        rest.truncate(endIndex);
                }
                result.prepend(rest);
            }
            break;
        } else {
            return QString();
        }
    }

    const QString number = QString::fromUtf8(result).trimmed();
    return number.size() < ShortestNumber ? QString() : number;
}

QString Utils::phoneNumberDigits(const QString &number, bool fromUri)
{
    const QByteArray bytes = (fromUri ? phoneNumberFromUri(number) : number).toUtf8();
    if (bytes.isEmpty() || isDialMark(bytes.at(0)))
        return QString();

    QString digits;
    for (const char c : bytes) {
        if (isDialMark(c))
            break;
        if (isDecimalDigit(c))
            digits.append(QLatin1Char(c));
        else if (c == '#')
            digits.clear();
    }
    return digits;
}

void Utils::copyWithSuffix(QString &path, const QString &suffix)
{
    // An empty suffix would make the copy the source itself, a slash would leave its directory.
    if (suffix.isEmpty() || suffix.contains(QLatin1Char('/'))) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Unusable suffix" << suffix << "for" << path;
        return;
    }

    QFile source(path);
    const QString target = path + suffix;
    QFile copy(target);
    // Only regular files: a pipe or device would block or never end.
    bool opened = QFileInfo(path).isFile() && source.open(QIODevice::ReadOnly);
    if (opened) {
        // Whatever is at the target (a stale copy, a planted link) is replaced, never written
        // through; the new file is the user's only.
        const QFileInfo targetInfo(target);
        if (targetInfo.isSymLink() || (targetInfo.exists() && !targetInfo.isDir()))
            QFile::remove(target);
        opened = copy.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    if (!opened) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Failure while trying to open files" << path << target;
        return;
    }

    char buffer[CopyBlockSize];
    bool copied = true;
    for (;;) {
        const qint64 count = source.read(buffer, CopyBlockSize);
        if (count == 0)
            break;
        if (count < 0 || copy.write(buffer, count) != count) {
            copied = false;
            break;
        }
    }
    copied = copy.flush() && copied;
    source.close();
    copy.close();

    // A truncated copy under the right name would be shown as a broken picture.
    if (!copied) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Failure while copying" << path << "to" << target << copy.errorString();
        copy.remove();
        return;
    }
    path = target;
}

QByteArray Utils::imageFormat(const QString &path)
{
    // "image/jpeg" -> "jpeg", as QImageReader names the formats.
    return Support::pictureTypeOfFile(path).name().mid(6).toLatin1();
}

void Utils::fixImageSuffix(QString &path)
{
    if (!QFileInfo(path).isFile())
        return;

    const QByteArray format = imageFormat(path);

    QString suffix;
    if (format == "jpeg" && !path.endsWith(QLatin1String(".jpg")) && !path.endsWith(QLatin1String(".jpeg")))
        suffix = QStringLiteral(".jpg");
    else if (format == "gif" && !path.endsWith(QLatin1String(".gif")))
        suffix = QStringLiteral(".gif");
    else if (format == "png" && !path.endsWith(QLatin1String(".png")))
        suffix = QStringLiteral(".png");
    else if (format == "tiff" && !path.endsWith(QLatin1String(".tiff")))
        suffix = QStringLiteral(".tiff");
    else if (format == "webp" && !path.endsWith(QLatin1String(".webp")))
        suffix = QStringLiteral(".webp");

    if (!suffix.isEmpty())
        copyWithSuffix(path, suffix);
}

QString Utils::escapeHtml(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            escaped += QLatin1String("&amp;");
            break;
        case '<':
            escaped += QLatin1String("&lt;");
            break;
        case '>':
            escaped += QLatin1String("&gt;");
            break;
        case '"':
            escaped += QLatin1String("&quot;");
            break;
        case '\'':
            escaped += QLatin1String("&apos;");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

void Utils::releaseFreeMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
