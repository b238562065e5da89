<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- Engineering English: the texts of every locale without a catalogue of its own ("C" included). -->
<TS version="2.1" language="en">
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
            <numerusform>%n like</numerusform>
            <numerusform>%n likes</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_event_feed_comment" numerus="yes">
        <source>%n comment(s)</source>
        <extracomment>Footer of a news feed item: how many comments the post has.</extracomment>
        <translation>
            <numerusform>%n comment</numerusform>
            <numerusform>%n comments</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_new_message_banner">
        <source>Unread messages: %1</source>
        <extracomment>Body of the message group when it is not the text of a single message: %1 is the number of unread messages (no plural forms: any number).</extracomment>
        <translation>Unread messages: %1</translation>
    </message>
    <message id="qtn_qnk_notification_new_message" numerus="yes">
        <source>%n new message(s)</source>
        <extracomment>Notification inside the message group: %n is the number of unread messages it announces.</extracomment>
        <translation>
            <numerusform>%n new message</numerusform>
            <numerusform>%n new messages</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_new_friend_request_banner" numerus="yes">
        <source>Friend request from %1</source>
        <extracomment>Body of the friend request group. One request: the first form, without a count, %1 is the requester's name. Several requests: the form for their number %n, without a name.</extracomment>
        <translation>
            <numerusform>Friend request from %1</numerusform>
            <numerusform>%n friend requests</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_notification_new_friend_request" numerus="yes">
        <source>%n new friend request(s)</source>
        <extracomment>Notification inside the friend request group: %n is the number of new requests.</extracomment>
        <translation>
            <numerusform>%n new friend request</numerusform>
            <numerusform>%n new friend requests</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_new_event_banner">
        <source>Event invitations: %1</source>
        <extracomment>Body of the event invitation group: %1 is the number of invitations (no plural forms: any number).</extracomment>
        <translation>Event invitations: %1</translation>
    </message>
    <message id="qtn_qnk_notification_event" numerus="yes">
        <source>%n new event invitation(s)</source>
        <extracomment>Notification inside the event invitation group: %n is the number of new invitations.</extracomment>
        <translation>
            <numerusform>%n new event invitation</numerusform>
            <numerusform>%n new event invitations</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_notification_new_notification" numerus="yes">
        <source>%n new notification(s)</source>
        <extracomment>Body of the general notification group (%n: the notifications not yet seen) and of the notification inside it (%n: the new ones).</extracomment>
        <translation>
            <numerusform>%n new notification</numerusform>
            <numerusform>%n new notifications</numerusform>
        </translation>
    </message>
    <message id="qtn_qnk_notification_open">
        <source>Open</source>
        <extracomment>Label of the action a click on a notification makes: opens what it is about.</extracomment>
        <translation>Open</translation>
    </message>
</context>
</TS>
