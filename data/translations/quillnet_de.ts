<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name></name>
    <message id="qtn_qnk_title_events_feed">
        <source>%1</source>
        <extracomment>Title of a news feed item in the Event Feed: the poster's name, or "poster -> recipient".</extracomment>
        <translation>%1</translation>
    </message>
    <message id="qtn_qnk_event_feed_like" numerus="yes">
        <source>%n like(s)</source>
        <extracomment>Footer of a news feed item: how many people like the post.</extracomment>
        <translation>
            <numerusform>Gefällt %n Person</numerusform>
            <numerusform>Gefällt %n Personen</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_event_feed_comment" numerus="yes">
        <source>%n comment(s)</source>
        <extracomment>Footer of a news feed item: how many comments the post has.</extracomment>
        <translation>
            <numerusform>%n Kommentar</numerusform>
            <numerusform>%n Kommentare</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_new_message_banner">
        <source>Unread messages: %1</source>
        <extracomment>Body of the message group when it is not the text of a single message: %1 is the number of unread messages (no plural forms: any number).</extracomment>
        <translation>Ungelesene Nachrichten: %1</translation>
    </message>
    <message id="qtn_qnk_notification_new_message" numerus="yes">
        <source>%n new message(s)</source>
        <extracomment>Notification inside the message group: %n is the number of unread messages it announces.</extracomment>
        <translation>
            <numerusform>%n neue Nachricht</numerusform>
            <numerusform>%n neue Nachrichten</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_new_friend_request_banner" numerus="yes">
        <source>Friend request from %1</source>
        <extracomment>Body of the friend request group. One request: the first form, without a count, %1 is the requester's name. Several requests: the form for their number %n, without a name.</extracomment>
        <translation>
            <numerusform>Freundschaftsanfrage von %1</numerusform>
            <numerusform>%n Freundschaftsanfragen</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_notification_new_friend_request" numerus="yes">
        <source>%n new friend request(s)</source>
        <extracomment>Notification inside the friend request group: %n is the number of new requests.</extracomment>
        <translation>
            <numerusform>%n neue Freundschaftsanfrage</numerusform>
            <numerusform>%n neue Freundschaftsanfragen</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_new_event_banner">
        <source>Event invitations: %1</source>
        <extracomment>Body of the event invitation group: %1 is the number of invitations (no plural forms: any number).</extracomment>
        <translation>Einladungen zu Veranstaltungen: %1</translation>
    </message>
    <message id="qtn_qnk_notification_event" numerus="yes">
        <source>%n new event invitation(s)</source>
        <extracomment>Notification inside the event invitation group: %n is the number of new invitations.</extracomment>
        <translation>
            <numerusform>%n neue Einladung</numerusform>
            <numerusform>%n neue Einladungen</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_notification_new_notification" numerus="yes">
        <source>%n new notification(s)</source>
        <extracomment>Body of the general notification group (%n: the notifications not yet seen) and of the notification inside it (%n: the new ones).</extracomment>
        <translation>
            <numerusform>%n neue Benachrichtigung</numerusform>
            <numerusform>%n neue Benachrichtigungen</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_notification_open">
        <source>Open</source>
        <extracomment>Label of the action a click on a notification makes: opens what it is about.</extracomment>
        <translation>Öffnen</translation>
    </message>
</context>
</TS>
