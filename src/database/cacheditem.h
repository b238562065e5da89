// One published news feed post as the daemon recorded it: what the Event Feed got and the
// counts it last showed, so a later pass can tell new, changed and vanished posts apart.
#pragma once

#include <QString>
#include <QtGlobal>

struct CachedItem
{
    qint64 rowId = -1; // items.id, grows with every publication
    QString quillnetId; // the service's post id
    qint64 homeviewId = -1; // the Event Feed's id of the published item
    int comments = 0;
    int likes = 0;
};
