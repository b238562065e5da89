// The records of docs/protocol.md as the service writes them and as the administration calls read
// them. Written from the document alone, apart from the client library's own JSON code, so that a
// member the client gets wrong does not read back fine from the simulator.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QSet>

#include "jsonwriter.h"
#include "platform/quillnet/qnevent.h"
#include "platform/quillnet/qnmessage.h"
#include "platform/quillnet/qnnotification.h"
#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qnthread.h"
#include "platform/quillnet/qnuser.h"

namespace QuillnetSim {

class WireJson
{
public:
    // Entries read from one list of an administration body; the rest is ignored.
    static constexpr int MaxListEntries = 1000;

    // UTC with milliseconds and "Z": "2024-06-01T12:00:00.000Z".
    static QString timeText(const QDateTime &time);
    // A date-time with an offset, or milliseconds since the epoch, in the years 1 to 9999; anything
    // else is invalid.
    static QDateTime parseTime(const QJsonValue &value);

    // Every member the record has. Optional times and user refs that are not set are left out.
    static void write(JsonWriter &out, const Qn::QnUserRef &ref);
    static void write(JsonWriter &out, const Qn::QnUser &user);
    static void write(JsonWriter &out, const Qn::QnPost &post);
    static void write(JsonWriter &out, const Qn::QnEvent &event);
    static void write(JsonWriter &out, const Qn::QnThread &thread);
    static void write(JsonWriter &out, const Qn::QnMessage &message);
    static void write(JsonWriter &out, const Qn::QnNotification &notification);
    // Only id, name and the user members named in fields; an empty set means every member.
    static void write(JsonWriter &out, const Qn::QnUser &user, const QSet<QString> &fields);

    // Bodies of administration calls. Missing members and members of another type stay empty;
    // user refs without an id are dropped.
    static Qn::QnPost readPost(const QJsonObject &object);
    static Qn::QnUser readUser(const QJsonObject &object);
    static Qn::QnEvent readEvent(const QJsonObject &object);
    static Qn::QnThread readThread(const QJsonObject &object);
    static Qn::QnMessage readMessage(const QJsonObject &object);
    static Qn::QnNotification readNotification(const QJsonObject &object);
};

} // namespace QuillnetSim
