<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_SAVE_ATTACHMENT</source>
        <translation>Save Attachment</translation>
    </message>
    <message>
        <source>IDS_SAVE_ATTACHMENT_SUC</source>
        <translation>Attachment saved successfully.</translation>
    </message>
    <message>
        <source>IDS_SAVE_ATTACHMENT_FILE_ERROR</source>
        <translation>Failed to save attachment.</translation>
    </message>
    <message>
        <source>can not find %1.</source>
        <translation>can not find %1.</translation>
    </message>
</context>
</TS>
