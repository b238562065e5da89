// The account file as any editor or failing writer may leave it, read as the daemon reads it.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>

#include "fuzzinput.h"
#include "platform/accounts/accountintegration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::silenceLog();
    static QTemporaryDir dir;
    static const QString path = dir.filePath(QStringLiteral("account.conf"));
    static AccountIntegration account(path);
    static qint64 generation = 0;

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    // QSettings reads a file again only when its size or time changed: give every input its own time.
    ++generation;
    const struct timespec times[2] = {{generation, 0}, {generation, 0}};
    if (::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) != 0)
        abort();

    const bool valid = account.isValidAccount();
    const bool enabled = account.isAccountEnabled();
    FUZZ_CHECK(!valid || !account.accountName().isEmpty());
    Q_UNUSED(enabled);
    account.settings({QStringLiteral("qn-news_main"), QStringLiteral("qn-notif_main")});
    account.isServiceEnabled(QStringLiteral("IM"));
    const QUrl url = account.serviceUrl();
    FUZZ_CHECK(url.isEmpty() || url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
    return 0;
}
