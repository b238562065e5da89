// Enumerations shared by the Quillnet client library's calls and signals, and the registration of
// the library's value types with Qt's meta-type system.
#pragma once

#include <QMetaType>

namespace Qn {

// How a retrieve call answers.
enum RetrieveBehaviour {
    RetrieveFromCache = 0, // answered at once from the cache into the call's out-parameter
    RetrieveFromNetwork = 1, // a request to the service; the answer comes later by signal
};

// Result of every retrieve call. Only StatusOk means that the call did what was asked.
enum RetrieveStatus {
    StatusNotAvailable = 0, // the service cannot be reached by this client (nothing was sent)
    StatusInvalidArgument = 1, // a required argument is missing or empty (for example a null out-pointer)
    StatusNotFound = 2, // a cache read found nothing for the request
    StatusOk = 3, // request sent (network) or out-parameter filled (cache)
    StatusNoCache = 4, // a cache read without a usable cache
    StatusCacheError = 5, // the cache failed; an error(Qn::QnError) of type CacheError follows
};

// Size of a profile picture. Avatars use SmallPicture. Of a fixed type, so that a number from outside
// that is none of these can be held, checked and refused.
enum PictureType : int {
    SquarePicture = 0,
    SmallPicture = 1,
    NormalPicture = 2,
    LargePicture = 3,
};

// Folder of private message threads; of a fixed type for the same reason.
enum MessageBoxType : int {
    Inbox = 0,
    Outbox = 1,
    Updates = 2,
};

// What a request to the service asked for; requestFailed() names the request that got no answer.
enum RequestKind : int {
    InitRequest = 0,
    NewsFeedRequest = 1,
    DataRequest = 2,
    ProfilePictureRequest = 3,
    FriendsRequest = 4,
    ProfileRequest = 5,
    LatestStatusMessageRequest = 6,
    AllNotificationsRequest = 7,
    EventDetailsRequest = 8,
    ThreadsRequest = 9,
    MessagesRequest = 10,
    MarkNotificationsReadRequest = 11,
};

// Registers the library's records, lists and enumerations (also under their "Qn::" names, so that
// string-based connections and queued signals work). Safe to call more than once; the client object
// calls it on construction.
void registerMetaTypes();

} // namespace Qn

Q_DECLARE_METATYPE(Qn::PictureType)
Q_DECLARE_METATYPE(Qn::MessageBoxType)
Q_DECLARE_METATYPE(Qn::RequestKind)
