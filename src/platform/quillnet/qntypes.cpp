#include "platform/quillnet/qntypes.h"

#include "platform/quillnet/qndatafilter.h"
#include "platform/quillnet/qnerror.h"
#include "platform/quillnet/qnevent.h"
#include "platform/quillnet/qnlinkinfo.h"
#include "platform/quillnet/qnmessage.h"
#include "platform/quillnet/qnnotification.h"
#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qnthread.h"
#include "platform/quillnet/qnuser.h"
#include "platform/quillnet/qnuserref.h"

namespace Qn {

void registerMetaTypes()
{
    // The declared names ("Qn::QnPosts") become aliases of the real types ("QList<Qn::QnPost>"),
    // which is what queued string-based connections look up.
    qRegisterMetaType<Qn::PictureType>();
    qRegisterMetaType<Qn::MessageBoxType>();
    qRegisterMetaType<Qn::RequestKind>();
    qRegisterMetaType<Qn::QnError>();
    qRegisterMetaType<Qn::QnDataFilter>();
    qRegisterMetaType<Qn::QnLinkInfo>();
    qRegisterMetaType<Qn::QnUserRef>();
    qRegisterMetaType<Qn::QnUserRefs>();
    qRegisterMetaType<Qn::QnPost>();
    qRegisterMetaType<Qn::QnPosts>();
    qRegisterMetaType<Qn::QnUser>();
    qRegisterMetaType<Qn::QnUsers>();
    qRegisterMetaType<Qn::QnEvent>();
    qRegisterMetaType<Qn::QnEvents>();
    qRegisterMetaType<Qn::QnThread>();
    qRegisterMetaType<Qn::QnThreads>();
    qRegisterMetaType<Qn::QnMessage>();
    qRegisterMetaType<Qn::QnMessages>();
    qRegisterMetaType<Qn::QnNotification>();
    qRegisterMetaType<Qn::QnNotificationList>();
}

} // namespace Qn
