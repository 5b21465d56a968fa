<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_LOADING_IOS_DATABASES</source>
        <translation>Loading messages from iPhone...</translation>
    </message>
    <message>
        <source>IDS_TRANSFER_TURN_OFF_ICLOUD_BACKUP</source>
        <translation>Failed to transfer data to device. Please turn off iCloud backup on your iPhone to try again.</translation>
    </message>
    <message>
        <source>IDS_TRANSFER_TURN_OFF_BACKUP_ENCRYPTION</source>
        <translation>Failed to transfer data to device. Your iTunes backup is encrypted. Please run iTunes on computer and then uncheck &quot;Encrypt iPhone backup&quot; option to try again.</translation>
    </message>
    <message>
        <source>Received:%L1KB</source>
        <translation>Received:%L1KB</translation>
    </message>
    <message>
        <source>Extracting %1</source>
        <translation>Extracting %1</translation>
    </message>
    <message>
        <source>Extracted: %L1KB / %L2KB</source>
        <translation>Extracted: %L1KB / %L2KB</translation>
    </message>
</context>
</TS>
