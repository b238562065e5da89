// The home screen's Event Feed as a service on the session bus: keeps the items that programs such as
// quillnet-daemon publish, in memory and within limits, and reports every change as one line of text.
#pragma once

#include <QMap>
#include <QString>
#include <QVariantMap>

#include "homescreen/busservice.h"

class EventFeedAdaptor;

namespace HomeScreen {

// What the feed keeps at most; a call that would go beyond is refused.
struct Limits
{
    int maxItems = 1000;
    int maxKeys = 32;
    // Characters of an item's keys and texts together (a list entry counts one more than its text,
    // a number or a truth value eight).
    int maxItemSize = 64 * 1024;
};

class EventFeedService : public BusService
{
    Q_OBJECT
    Q_DISABLE_COPY(EventFeedService)

public:
    static constexpr char ServiceName[] = "com.tarvo.home.EventFeed";
    static constexpr char ObjectPath[] = "/eventfeed";

    explicit EventFeedService(const Limits &limits = Limits(), QObject *parent = nullptr);
    ~EventFeedService() override;

    const QMap<qlonglong, QVariantMap> &items() const { return mItems; }

    // Someone asked the feed to show fresh content: tells the publishers (refreshRequested).
    void requestRefresh();
    // Acts on the adds taken while hung and answers them, late, as a slow Event Feed would. Only
    // addItem hangs: the other calls return nothing.
    void answerHeld();

signals:
    // Relayed to the bus by the adaptor.
    void refreshRequested();

private:
    // The calls arriving from the bus, made by the generated adaptor and nothing else.
    friend class ::EventFeedAdaptor;
    qlonglong addItem(const QVariantMap &parameters);
    void updateItem(qlonglong id, const QVariantMap &parameters);
    void removeItem(qlonglong id);
    void removeItemsBySourceName(const QString &sourceName);

    // Empty when the map may be kept; otherwise why not.
    QString refusal(const QVariantMap &item) const;

    const Limits mLimits;
    QMap<qlonglong, QVariantMap> mItems;
    qlonglong mLastId = 0;
};

} // namespace HomeScreen
