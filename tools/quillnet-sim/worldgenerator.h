// Builds the simulator's world from a seed: the same seed and sizes always give the same records.
#pragma once

#include <QRandomGenerator>
#include <QStringList>

#include "simconfig.h"
#include "simworld.h"

namespace QuillnetSim {

class WorldGenerator
{
public:
    // The application whose posts the daemon never publishes (it must equal the daemon's own
    // constant); some generated posts come from it.
    static const QString ExcludedApplicationId;
    // Generated times lie before this instant (fixed, so that the world does not depend on the clock).
    static QDateTime referenceTime();

    explicit WorldGenerator(const SimConfig &config);
    World generate();

private:
    Q_DISABLE_COPY(WorldGenerator)

    int between(int low, int high); // both included
    bool chance(int percent);
    template<typename T>
    const T &pick(const QList<T> &list)
    {
        return list.at(between(0, int(list.size()) - 1));
    }

    Qn::QnUser makeUser(const QString &id);
    QString phoneNumber();
    QString birthday();
    QString website(const QString &slug);
    void makePosts(World &world);
    void makeStatuses(World &world);
    void makeThreads(World &world);
    void makeNotifications(World &world);
    void makeRequestsAndInvitations(World &world);
    QString picture(World &world, const QString &postId, const QByteArray &format, const QString &suffix);
    QString text();
    Qn::QnUserRef randomFriend(const World &world);

    SimConfig mConfig;
    QRandomGenerator mRandom;
    QDateTime mClock; // walks back from the reference time as items are made
};

} // namespace QuillnetSim
