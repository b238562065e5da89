// Which timeline an activity update belongs to; travels as an int.
#pragma once

#include <QMetaType>

namespace SocialProviderTimeline {

enum TimelineType {
    NoTimeline = 0,
    UserTimeline = 1, // the user's own activities
    FriendsTimeline = 2, // the activities of the user's friends
};

} // namespace SocialProviderTimeline

Q_DECLARE_METATYPE(SocialProviderTimeline::TimelineType)
