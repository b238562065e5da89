<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="qtn_qnk_helper_test">
        <source>Hello</source>
        <translation>Hallo</translation>
    </message>
</context>
</TS>
