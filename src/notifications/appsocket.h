// The local socket through which the service's own phone application reports the view it shows and
// the notification ids the user read (left in a read file), one client at a time.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

#include <sys/types.h>

class QIODevice;
class QLocalServer;
class QLocalSocket;

class AppSocket : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(AppSocket)

public:
    // The socket the service's phone application connects to, for the user alone.
    static constexpr char SocketPath[] = "/tmp/quillnetveldo.sock";
    // The file, below the home directory, in which that application leaves notification ids read.
    static constexpr char ReadFileDir[] = ".quillnet";
    static constexpr char ReadFileName[] = "markReadNtf";
    // A larger read file is not read.
    static constexpr qint64 MaxReadFileBytes = 1024 * 1024;
    // One command is read at a time; what a client sends beyond the buffer waits in the socket.
    static constexpr int MaxCommandBytes = 47;
    static constexpr qint64 SocketReadBufferBytes = 1024;

    // One command of the service's application, as read from its socket.
    struct SocketCommand
    {
        QString text;
        // The application shows this kind: its notifications go; empty for other commands.
        QString clearedEventType;
        // The view the application reports; unchanged by markRead.
        QString view;
        // The application left notification ids read in the read file.
        bool markRead = false;
    };
    // Reads one command (at most MaxCommandBytes, up to a line end or a zero byte) from device.
    static SocketCommand readCommand(QIODevice &device);
    // The read file's content: one QStringList as QDataStream writes it in its default settings.
    // Nothing, with problem set, when the bytes hold anything else.
    static std::optional<QStringList> parseReadIds(const QByteArray &data, QString *problem);

    // Listens at SocketPath, replacing only a stale socket of the user's own there.
    explicit AppSocket(QObject *parent = nullptr);
    // Removes the socket file while it is still the one this object made.
    ~AppSocket() override;

    bool isListening() const;
    // The view the connected application reports; empty while none is connected.
    QString view() const;

signals:
    // The application shows the kind of this event type.
    void kindShown(QString eventType);
    // The ids of the read file, which is gone; never empty.
    void idsRead(QStringList ids);
    // The application connected, reported its view, or went away.
    void viewChanged(bool connected, QString view);

private slots:
    void socketNewConnection();
    void readSocket();

private:
    friend class TestNotificationHandler;

    void listen();
    void unlisten();
    // The ids of the read file, which is deleted; none when it is missing or does not read cleanly.
    QStringList takeReadIds();

    QLocalServer *m_server = nullptr;
    // The device and inode of the socket file listen() made.
    std::optional<std::pair<dev_t, ino_t>> m_socketFile;
    QLocalSocket *m_client = nullptr;
    QString m_clientView;
};
