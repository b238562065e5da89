// Keeps the simulated world moving on its own, for the demo: every few seconds one new post, like,
// comment, message, friend request or notification, made through the simulator's own changes, as an
// administration call would make it.
#pragma once

#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QTimer>

namespace QuillnetSim {

class Simulator;

class LiveWorld : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(LiveWorld)

public:
    enum Change { Post, Like, Comment, Message, FriendRequest, Notification };
    Q_ENUM(Change)

    static constexpr int MaxIntervalSeconds = 3600;

    // Changes simulator every intervalMs, seeded so that a run can be told again.
    LiveWorld(Simulator *simulator, int intervalMs, quint32 seed, QObject *parent = nullptr);
    ~LiveWorld() override;

    // One change of the kind; false when the world refused it (a full list, nothing to like).
    bool change(Change kind);

signals:
    // "post added_post_3", "like 100000000001000_1", ... after each change made.
    void changed(const QString &what);

private:
    void step();
    QString randomFriendName();

    Simulator *const mSimulator;
    QRandomGenerator mRandom;
    QTimer mTimer;
    int mCount = 0;
};

} // namespace QuillnetSim
