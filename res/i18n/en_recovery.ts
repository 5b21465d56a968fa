<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_RECOVERING_DELETED_MESSAGES</source>
        <translation>Searching the message database for deleted messages...</translation>
    </message>
    <message>
        <source>IDS_RECOVER_NOT_SUPPORTED</source>
        <translation>Deleted messages cannot be recovered from this kind of message database.</translation>
    </message>
    <message>
        <source>IDS_CHOOSE_IPHONE_OR_DB_TO_RECOVER</source>
        <translation>Please choose an iPhone or a local database first.</translation>
    </message>
    <message>
        <source>IDS_NO_DELETED_MESSAGES_FOUND</source>
        <translation>No deleted messages were found</translation>
    </message>
    <message>
        <source>IDS_RECOVERED_%1_MESSAGES_%2_HANDLES</source>
        <translation>%1 deleted messages and %2 deleted contacts were recovered.&lt;br/&gt;Recovered messages are shown in red.</translation>
    </message>
</context>
</TS>
