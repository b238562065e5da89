// Process-wide services of the platform: the logging callback, a lowered scheduling priority and the
// translation catalogue of the user's language.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QTranslator;

class Helper : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Helper)

public:
    explicit Helper(QObject *parent = nullptr);
    ~Helper() override;

    // Installs the message handler: "<N>name: text" lines on stderr, N being the systemd priority
    // of the message level. Debug and info lines are written only when debug is true.
    static void setDebugCallback(const char *name, bool debug);
    // Lowers the scheduling priority of the whole process, every thread of it, to LowPriorityNice.
    static void setLowPriority();
    static constexpr int LowPriorityNice = 10;

    // Formats one log line as the message handler writes it (without the newline).
    static QString formatLine(QtMsgType type, const QString &name, const QString &text);

    // Loads the catalogue "<catalogue>_<locale>.qm" of the current locale from the translation
    // directories (see translationDirectories()) and installs it. A locale without a catalogue of
    // its own ("C" included) gets the engineering English "<catalogue>.qm". False when neither was
    // found.
    bool setLocale(const QString &catalogue);

    // Where catalogues are looked for: $QUILLNET_TRANSLATIONS_DIR when set, the folder
    // "translations" beside the executable (a build), "../share/quillnet-daemon/translations" from
    // it (an install under any prefix), then the data directory of the configured prefix.
    static QStringList translationDirectories();

private:
    QTranslator *mTranslator = nullptr;
};
