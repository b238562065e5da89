// The part of the Quillnet app stand-in that a tapped feed item reaches: the call that shows the
// item's post, reported as one line of text.
#pragma once

#include <QString>

#include "homescreen/busservice.h"

class FeedItemViewerAdaptor;

namespace HomeScreen {

class FeedItemViewer : public BusService
{
    Q_OBJECT
    Q_DISABLE_COPY(FeedItemViewer)

public:
    static constexpr char ServiceName[] = "com.tarvo.quillnet.eventfeed";
    static constexpr char ObjectPath[] = "/EventFeedMessage";

    explicit FeedItemViewer(QObject *parent = nullptr);
    ~FeedItemViewer() override;

private:
    friend class ::FeedItemViewerAdaptor;
    void showItem(const QString &postId);
};

} // namespace HomeScreen
