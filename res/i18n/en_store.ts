<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_DB_KIND_NOT_READ</source>
        <translation>This database is of a kind the program does not read.</translation>
    </message>
    <message>
        <source>IDS_ATTACHMENTS_NOT_COPIED_%1</source>
        <translation>%1 attachment file(s) could not be copied; their messages were kept without the file.</translation>
    </message>
</context>
</TS>
