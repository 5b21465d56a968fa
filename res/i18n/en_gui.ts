<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_AN_ERROR_OCCURRED_%1_CONTACT_%2</source>
        <translation>An Error Occurred. &lt;br/&gt;&lt;br/&gt;%1&lt;br/&gt;&lt;br/&gt; Or you can contact %2 for help.</translation>
    </message>
    <message>
        <source>IDS_AN_ERROR_OCCURRED_%1</source>
        <translation>An Error Occurred. &lt;br/&gt;&lt;br/&gt;%1</translation>
    </message>
    <message>
        <source>IDS_PROGRESS_%1</source>
        <translation>Progress:%1%</translation>
    </message>
    <message>
        <source>IDS_PROGRESS_CANCEL</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>IDS_PROGRESS_CANCELLING</source>
        <translation>Cancelling…</translation>
    </message>
    <message>
        <source>IDS_PROGRESS_FINISHING</source>
        <translation>Finishing…</translation>
    </message>
</context>
</TS>
