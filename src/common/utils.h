// Stateless helpers of the daemon: removing a cache directory tree, reducing phone numbers and SIP
// addresses to dialable numbers and digit keys, giving pictures the suffix of their format, and
// giving freed memory back to the system.
#pragma once

#include <QObject>
#include <QString>

class Utils : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Utils)

public:
    explicit Utils(QObject *parent = nullptr);
    ~Utils() override;

    // Removes the directory at the absolute path with everything below it, depth first. When the
    // path itself is a symbolic link, the directory it names is removed and then the link; links
    // found below are removed as links, never followed. An empty or relative path, or the root
    // directory, is refused with a warning. What cannot be removed stays, and then its parents
    // stay too.
    static void clearDirectory(const QString &path);
    // The same, except that the tree at keep (an absolute path below path) and the directories
    // leading to it stay.
    static void clearDirectory(const QString &path, const QString &keep);

    // The dialable number in a plain dial string or a "sip:"/"sips:" address (percent-decoded, the
    // host dropped, a phone-context put in front of the local number). Empty when the text holds
    // a character a number cannot have, or when three characters or fewer remain.
    static QString phoneNumberFromUri(const QString &text);

    // The decimal digits of a number up to its first pause, wait or extension mark; "#" restarts
    // the collection. With fromUri the text goes through phoneNumberFromUri first. Empty when the
    // number is empty or starts with such a mark.
    static QString phoneNumberDigits(const QString &number, bool fromUri);

    // Copies the file to path + suffix, readable by the user only, and points path at the copy.
    // On failure a warning is written and path is left as it was; the source file always stays.
    static void copyWithSuffix(QString &path, const QString &suffix);

    // When the file's content is a JPEG, GIF, PNG, TIFF or WebP image whose name lacks the matching
    // extension, copies it to a name with that extension and points path at the copy.
    static void fixImageSuffix(QString &path);

    // The text as plain text inside HTML or notification markup: "&" (first), "<", ">", the double
    // quote and the apostrophe as entities.
    static QString escapeHtml(const QString &text);

    // "jpeg", "png", "gif", "tiff" or "webp" when the file starts as an image of that format does
    // (Support::pictureType; the formats fixImageSuffix handles), otherwise empty.
    static QByteArray imageFormat(const QString &path);

    // Gives the heap's free pages back to the system. glibc keeps a peak's freed memory for the
    // process and returns only what lies at the top of the heap; after a friend import that was
    // most of the daemon's resident memory for hours. Does nothing with other C libraries.
    static void releaseFreeMemory();
};
