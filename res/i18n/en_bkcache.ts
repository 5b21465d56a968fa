<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_LOADING_ITUNES_BACKUP</source>
        <translation>Loading iTunes backup...</translation>
    </message>
    <message>
        <source>IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP</source>
        <translation>Found no message database file in this iTunes backup.</translation>
    </message>
    <message>
        <source>IDS_CACHING_BACKUP_FILE_%1</source>
        <translation>Saving %1...</translation>
    </message>
    <message>
        <source>IDS_ITUNES_BACKUP_LOCKED</source>
        <translation>This iTunes backup is encrypted and has not been unlocked with its password, so its messages cannot be read.</translation>
    </message>
    <message>
        <source>IDS_BACKUP_CACHE_UNSAFE_PATH_%1</source>
        <translation>Cannot save the backup file %1: its place in the cache folder is taken by a link or by something that is not a folder.</translation>
    </message>
    <message>
        <source>IDS_BACKUP_CACHE_DB_FAILED_%1</source>
        <translation>Cannot keep the list of cached backup files: %1</translation>
    </message>
</context>
</TS>
