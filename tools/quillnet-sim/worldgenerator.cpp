#include "common/constants.h"
#include "worldgenerator.h"

#include <QtMath>

namespace QuillnetSim {

namespace {

const QStringList FirstNames = {
        "Aino",  "Jürgen", "Zoë",    "Siobhán", "Mateo",  "Priya", "Olu",   "Hannah",
        "Lars",  "Mei",    "José",   "Anneli",  "Kwame",  "Sofía", "Pekka", "Ingrid",
        "Tomás", "Yuki",   "Élodie", "Nikolai", "Fatima", "Oskar", "Leila", "Rui",
};
const QStringList LastNames = {
        "Virtanen", "Müller", "O'Brien", "García", "Nakamura", "Okafor",   "Smith",      "Lindqvist", "Chen",  "Dubois",
        "Kowalski", "Haddad", "Rossi",   "Nguyen", "Järvinen", "da Silva", "McAllister", "Ivanova",   "Björk", "Patel",
};
const QStringList MiddleNames = {"Maria", "J.", "von", "Lee"};
const QStringList Phrases = {
        "Lovely morning at the lake",
        "Anyone up for coffee & cake later?",
        "New record: 10 km in 48 minutes!",
        "Reading \"The Long Winter\" again <3",
        "It's raining. Again.",
        "Moving house next week - boxes everywhere",
        "Hyvää huomenta! Kahvi on valmis ☕",
        "Who left the <b>oven</b> on?",
        "Happy birthday to my favourite person",
        "Conference talk went well, slides online soon",
        "Tried the new ramen place: 5/5",
        "Line one\nline two",
};
const QStringList Places = {"Café Aalto", "Central Station", "Sea Life Park", "Kiasma", "Old Market Hall"};
// Object types of the service's own notifications; the first five are those the daemon notifies.
const QStringList NotifiedObjectTypes = {"stream", "photo", "album", "friend", "event"};
const QStringList OtherObjectTypes = {"group", "page", "question", "Photo", "STREAM", ""};
const QString OtherApplicationId = QStringLiteral("20417398521903746");

// A stable hash (FNV-1a) for values that must not change between runs, unlike qHash's.
quint32 stableHash(const QString &text)
{
    quint32 hash = 2166136261u;
    for (const QChar c : text) {
        hash ^= c.unicode();
        hash *= 16777619u;
    }
    return hash;
}

QString asciiSlug(const QString &text)
{
    QString slug;
    for (const QChar c : text.normalized(QString::NormalizationForm_D)) {
        if (c.isLetterOrNumber() && c.unicode() < 128)
            slug.append(c.toLower());
        else if (c == QLatin1Char(' ') && !slug.endsWith(QLatin1Char('.')))
            slug.append(QLatin1Char('.'));
    }
    return slug;
}

} // namespace

const QString WorldGenerator::ExcludedApplicationId = Constants::ExcludedApplicationId;

QDateTime WorldGenerator::referenceTime()
{
    return QDateTime(QDate(2024, 6, 1), QTime(12, 0), Qt::UTC);
}

QString World::avatarPath(const QString &userId)
{
    return QLatin1String(MediaPrefix) + QLatin1String("avatars/") + userId;
}

MediaRecipe World::mediaRecipe(const QString &path) const
{
    const auto it = media.constFind(path);
    if (it != media.constEnd())
        return it.value();
    const QString avatarPrefix = avatarPath(QString());
    if (path.startsWith(avatarPrefix)) {
        const QString id = path.mid(avatarPrefix.size());
        if (user(id).isValid()) {
            const quint32 hash = stableHash(id);
            return MediaRecipe {hash % 2 ? "png" : "jpeg", hash, 50, 50};
        }
    }
    return MediaRecipe();
}

WorldGenerator::WorldGenerator(const SimConfig &config)
    : mConfig(config)
    , mRandom(config.seed)
    , mClock(referenceTime())
{
    auto clamp = [](int value) { return qBound(0, value, SimConfig::MaxCount); };
    mConfig.friends = clamp(mConfig.friends);
    mConfig.posts = clamp(mConfig.posts);
    mConfig.threads = clamp(mConfig.threads);
    mConfig.notifications = clamp(mConfig.notifications);
    mConfig.friendRequests = clamp(mConfig.friendRequests);
    mConfig.eventInvitations = clamp(mConfig.eventInvitations);
}

int WorldGenerator::between(int low, int high)
{
    return low + int(mRandom.bounded(quint32(high - low + 1)));
}

bool WorldGenerator::chance(int percent)
{
    return int(mRandom.bounded(100u)) < percent;
}

World WorldGenerator::generate()
{
    World world;
    world.me = makeUser(QStringLiteral("100000000000001"));
    for (int i = 0; i < mConfig.friends; ++i)
        world.friends.append(makeUser(QString::number(100000000001000LL + i)));
    makePosts(world);
    makeStatuses(world);
    makeThreads(world);
    makeNotifications(world);
    makeRequestsAndInvitations(world);
    return world;
}

Qn::QnUser WorldGenerator::makeUser(const QString &id)
{
    Qn::QnUser user(id, QString());
    const QString first = pick(FirstNames);
    // Some people go by one name only.
    const QString last = chance(8) ? QString() : pick(LastNames);
    user.setFirstName(first);
    user.setLastName(last);
    QString name = first;
    if (chance(10))
        name += QLatin1Char(' ') + pick(MiddleNames);
    if (!last.isEmpty())
        name += QLatin1Char(' ') + last;
    user.setName(name);
    const QString slug = asciiSlug(name);
    if (chance(85))
        user.setEmail(slug + QLatin1String("@mail.example.org"));
    if (chance(60))
        user.setAbout(pick(Phrases));
    user.setWebsite(website(slug));
    user.setBirthday(birthday());
    user.setMobilePhone(phoneNumber());
    user.setLink(QLatin1String("https://quillnet.example/people/") + id);
    return user;
}

QString WorldGenerator::phoneNumber()
{
    auto digits = [this](int count) {
        QString text;
        for (int i = 0; i < count; ++i)
            text.append(QChar('0' + between(0, 9)));
        return text;
    };
    switch (between(0, 8)) {
    case 0:
        return QStringLiteral("+358 40 %1 %2").arg(digits(3), digits(4));
    case 1:
        return QStringLiteral("(555) %1-%2").arg(digits(3), digits(4));
    case 2:
        return QStringLiteral("040-%1").arg(digits(7));
    case 3:
        return QStringLiteral("+1.555.%1.%2").arg(digits(3), digits(4));
    case 4:
        return QStringLiteral("0044 20 7946 %1").arg(digits(4));
    case 5:
        return QStringLiteral("+49 (0)30 %1").arg(digits(8));
    case 6:
        return QStringLiteral("tel:+4420%1").arg(digits(8));
    case 7:
        return QStringLiteral("555-%1 ext. %2").arg(digits(4), digits(2));
    default:
        return QString(); // no number given
    }
}

QString WorldGenerator::birthday()
{
    const int month = between(1, 12);
    const int day = between(1, 28);
    switch (between(0, 5)) {
    case 0:
    case 1:
    case 2:
        return QStringLiteral("%1/%2/%3")
                .arg(month, 2, 10, QLatin1Char('0'))
                .arg(day, 2, 10, QLatin1Char('0'))
                .arg(between(1950, 2005));
    case 3:
        return QStringLiteral("%1/%2").arg(month, 2, 10, QLatin1Char('0')).arg(day, 2, 10, QLatin1Char('0'));
    case 4:
        return QStringLiteral("02/30/%1").arg(between(1950, 2005)); // no such day
    default:
        return QString();
    }
}

QString WorldGenerator::website(const QString &slug)
{
    switch (between(0, 4)) {
    case 0:
        return QStringLiteral("https://%1.example.net").arg(slug);
    case 1:
        return QStringLiteral("https://%1.example.net  http://blog.example.com/%1\nwww.example.org/~%1 ").arg(slug);
    case 2:
        return QStringLiteral(" http://photos.example.com/%1").arg(slug);
    default:
        return QString();
    }
}

QString WorldGenerator::text()
{
    return pick(Phrases);
}

Qn::QnUserRef WorldGenerator::randomFriend(const World &world)
{
    if (world.friends.isEmpty())
        return world.me.ref();
    return pick(world.friends).ref();
}

QString WorldGenerator::picture(World &world, const QString &postId, const QByteArray &format, const QString &suffix)
{
    const QString path = QLatin1String(World::MediaPrefix) + QLatin1String("photos/") + postId + suffix;
    world.media.insert(path, MediaRecipe {format, mRandom.generate(), between(64, 160), between(48, 120)});
    return path;
}

void WorldGenerator::makePosts(World &world)
{
    // The first posts cover every shape the daemon treats differently; the rest are drawn at random.
    enum Kind {
        SpecialChars,
        Recipients,
        FullLink,
        PhotoPng,
        PhotoJpeg,
        PhotoGif,
        CheckIn,
        StoryOnly,
        Excluded,
        OtherApplication,
        NoSuffix,
        WrongSuffix,
        SharedPicture,
        LinkFieldOnly,
        ByMe,
        KindCount
    };
    QString sharedPicture;
    for (int i = 0; i < mConfig.posts; ++i) {
        int kind = i < KindCount ? i
                                 : pick(QList<int> {SpecialChars, Recipients, FullLink, PhotoPng, PhotoJpeg, PhotoGif,
                                                    CheckIn, StoryOnly, Excluded, Recipients});
        Qn::QnUserRef author = kind == ByMe ? world.me.ref() : randomFriend(world);
        const QString id = QStringLiteral("%1_%2").arg(author.id()).arg(500000 + i);
        Qn::QnPost post(id);
        post.setFrom(author);
        post.setType(QStringLiteral("status"));
        post.setMessage(text());

        switch (kind) {
        case SpecialChars:
            post.setMessage(QStringLiteral("Fish & chips <tonight> at \"Joe's\""));
            break;
        case Recipients: {
            Qn::QnUserRefs to {randomFriend(world)};
            if (chance(50))
                to.append(randomFriend(world));
            post.setTo(to);
            break;
        }
        case FullLink:
        case LinkFieldOnly: {
            post.setType(QStringLiteral("link"));
            const QString link = QStringLiteral("https://news.example.com/article/%1").arg(between(1000, 9999));
            if (kind == FullLink)
                post.setLinkInfo(Qn::QnLinkInfo(link, "Cities plant forests on rooftops", "news.example.com",
                                                "Green roofs cool <the> streets & save energy"));
            else {
                post.setMessage(QString());
                post.setLinkInfo(Qn::QnLinkInfo(link, QString(), "news.example.com", QString()));
            }
            break;
        }
        case PhotoPng:
        case PhotoJpeg:
        case PhotoGif: {
            post.setType(QStringLiteral("photo"));
            const QByteArray format = kind == PhotoPng ? "png" : kind == PhotoJpeg ? "jpeg" : "gif";
            post.setPicture(picture(world, id, format, kind == PhotoJpeg ? ".jpg" : "." + QString::fromLatin1(format)));
            if (kind == PhotoPng && sharedPicture.isEmpty())
                sharedPicture = post.picture();
            break;
        }
        case CheckIn:
            post.setType(QStringLiteral("checkin"));
            post.setMessage(QStringLiteral("at %1").arg(pick(Places)));
            post.setPicture(picture(world, id, "png", ".png"));
            break;
        case StoryOnly:
            post.setMessage(QString());
            post.setStory(QStringLiteral("%1 is now friends with %2.").arg(author.name(), randomFriend(world).name()));
            break;
        case Excluded:
            post.setApplication(ExcludedApplicationId);
            post.setPicture(picture(world, id, "png", ".png"));
            break;
        case OtherApplication:
            post.setApplication(OtherApplicationId);
            post.setLinkInfo(Qn::QnLinkInfo(QString(), QString(), QString(), "Shared from the Trail app"));
            break;
        case NoSuffix:
            post.setType(QStringLiteral("photo"));
            post.setPicture(picture(world, id, "jpeg", QString()));
            break;
        case WrongSuffix:
            post.setType(QStringLiteral("photo"));
            post.setPicture(picture(world, id, "png", ".jpg"));
            break;
        case SharedPicture:
            post.setType(QStringLiteral("photo"));
            post.setPicture(sharedPicture.isEmpty() ? picture(world, id, "png", ".png") : sharedPicture);
            break;
        default:
            break;
        }

        // Counts: the first posts pin the footer variants (comments only, likes only, both).
        if (i == 0) {
            post.setCommentCount(2);
        } else if (i == 1) {
            post.setLikes(1);
        } else if (i == 2) {
            post.setLikes(between(2, 30));
            post.setCommentCount(between(1, 12));
        } else {
            post.setLikes(chance(60) ? between(1, 30) : 0);
            post.setCommentCount(chance(50) ? between(1, 12) : 0);
        }

        mClock = mClock.addSecs(-60 * between(3, 180));
        post.setCreated(mClock);
        post.setUpdated(post.commentCount() > 0 ? mClock.addSecs(60 * between(1, 60)) : mClock);
        world.feed.append(post);
    }
}

void WorldGenerator::makeStatuses(World &world)
{
    for (const Qn::QnUser &user : std::as_const(world.friends)) {
        // Some friends never wrote a status.
        if (!chance(80))
            continue;
        Qn::QnPosts posts;
        QDateTime time = referenceTime().addSecs(-3600 * between(1, 48));
        const int count = between(1, 3);
        for (int n = 0; n < count; ++n) {
            Qn::QnPost post(QStringLiteral("%1_%2").arg(user.id()).arg(700000 + n));
            post.setFrom(user.ref());
            post.setType(QStringLiteral("status"));
            post.setMessage(text());
            post.setCreated(time);
            post.setUpdated(time);
            posts.append(post);
            time = time.addSecs(-3600 * between(1, 240));
        }
        world.statuses.insert(user.id(), posts);
    }
}

void WorldGenerator::makeThreads(World &world)
{
    Qn::QnThreads &inbox = world.threads[Qn::Inbox];
    QDateTime time = referenceTime();
    const int unreadThreads = (mConfig.threads + 1) / 2;
    for (int t = 0; t < mConfig.threads; ++t) {
        const QString id = QString::number(300000000000000LL + t);
        Qn::QnUserRefs people {randomFriend(world)};
        if (chance(30)) {
            const Qn::QnUserRef other = randomFriend(world);
            if (other != people.first())
                people.append(other);
        }
        const int count = t == 0 ? 1 : between(1, 5);
        time = time.addSecs(-60 * between(5, 600));
        // Built oldest first, stored newest first; the newest comes from someone else than the user.
        Qn::QnMessages messages;
        QDateTime messageTime = time.addSecs(-600 * count);
        Qn::QnUserRefs senders;
        for (int m = 0; m < count; ++m) {
            const bool last = m == count - 1;
            const Qn::QnUserRef from = last || chance(60) ? pick(people) : world.me.ref();
            Qn::QnMessage message(QStringLiteral("%1.%2").arg(id).arg(m + 1));
            message.setThreadId(id);
            message.setFrom(from);
            message.setContent(last && t == 0 ? QStringLiteral("See you at 8 & bring the <map>") : text());
            messageTime = last ? time : messageTime.addSecs(600);
            message.setCreated(messageTime);
            messages.prepend(message);
            if (from != world.me.ref()) {
                senders.removeAll(from);
                senders.prepend(from);
            }
        }
        // The service sometimes leaves a sender's name out; the client must then ask for the profile.
        if (t == 1 && !senders.isEmpty())
            senders.first().setName(QString());

        Qn::QnThread thread(id);
        thread.setSubject(t % 3 == 0 ? QString() : pick(Phrases));
        thread.setUpdatedTime(time);
        thread.setUnread(t < unreadThreads ? (t == 0 ? 1 : between(1, count)) : 0);
        thread.setSenders(senders);
        inbox.append(thread);
        world.messages.insert(id, messages);
    }
}

void WorldGenerator::makeNotifications(World &world)
{
    const QStringList titles
            = {"%1 commented on your post.",       "%1 likes your photo.",        "%1 tagged you in an album.",
               "%1 accepted your friend request.", "%1 invited you to an event.", "%1 posted in a group.",
               "%1 likes a page you manage.",      "%1 answered your question."};
    QDateTime time = referenceTime();
    const QStringList firstTypes = NotifiedObjectTypes + OtherObjectTypes;
    for (int i = 0; i < mConfig.notifications; ++i) {
        Qn::QnNotification notification(QStringLiteral("notif_%1").arg(800000 + i));
        const QString type = i < firstTypes.size() ? firstTypes.at(i)
                                                   : (chance(75) ? pick(NotifiedObjectTypes) : pick(OtherObjectTypes));
        notification.setObjectType(type);
        notification.setObjectId(QString::number(600000000000000LL + i));
        notification.setTitle(pick(titles).arg(randomFriend(world).name()));
        // Every notified type appears unread at least once; after that two in three are unread.
        notification.setUnread(i < NotifiedObjectTypes.size() || chance(66));
        time = time.addSecs(-60 * between(1, 300));
        notification.setUpdatedTime(time);
        world.notifications.append(notification);
    }
}

void WorldGenerator::makeRequestsAndInvitations(World &world)
{
    for (int i = 0; i < mConfig.friendRequests; ++i) {
        const Qn::QnUser user = makeUser(QString::number(100000000900000LL + i));
        world.strangers.append(user);
        world.friendRequests.append(user);
    }
    QDateTime start = referenceTime().addDays(3);
    for (int i = 0; i < mConfig.eventInvitations; ++i) {
        Qn::QnEvent event(QString::number(400000000000000LL + i));
        event.setName(i == 0 ? QStringLiteral("Midsummer picnic")
                             : (i == 1 ? QStringLiteral("Board games & pizza") : pick(Phrases)));
        event.setOwner(randomFriend(world));
        event.setLocation(pick(Places));
        event.setStartTime(start);
        start = start.addDays(between(1, 14));
        world.eventInvitations.append(event);
    }
}

} // namespace QuillnetSim
