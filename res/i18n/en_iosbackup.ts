<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_BACKING_UP_IOS</source>
        <translation>Backing up iPhone...</translation>
    </message>
    <message>
        <source>IDS_RESTORING_BACKUP_TO_IOS</source>
        <translation>Restoring iPhone...</translation>
    </message>
</context>
</TS>
