// What the simulator generates: the seed that makes its world reproducible and the world's sizes.
#pragma once

#include <QtGlobal>

namespace QuillnetSim {

struct SimConfig
{
    quint32 seed = 1;
    int friends = 40;
    int posts = 40;
    int threads = 8;
    int notifications = 12;
    int friendRequests = 3;
    int eventInvitations = 2;

    // Largest accepted size of each list; bigger values are cut to it.
    static constexpr int MaxCount = 100000;
};

} // namespace QuillnetSim
