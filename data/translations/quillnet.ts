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
</context>
</TS>
