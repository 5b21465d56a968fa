<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_MERGE_BACKUP_DATABASE_CHANGED</source>
        <translation>The message database in this iTunes backup is no longer the one these messages were read from (the backup changed since it was loaded). Nothing was changed: load the backup again, then merge once more.</translation>
    </message>
    <message>
        <source>IDS_FILE_RELAY_ENTRIES_SKIPPED_%1</source>
        <translation>The iPhone's databases were loaded. %1 entries of its archive were links or special files and were left out.</translation>
    </message>
</context>
</TS>
