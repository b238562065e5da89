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
</context>
</TS>
