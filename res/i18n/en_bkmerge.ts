<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_MERGING_IOS6_MESSAGES</source>
        <translation>Saving messages to iPhone...</translation>
    </message>
    <message>
        <source>IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG</source>
        <translation>No message for recovering. Only found %1 messages with unknown contact info. Please right click the messages to set contact info first and try again.</translation>
    </message>
    <message>
        <source>IDS_MERGE_BACKUP_ENCRYPTED</source>
        <translation>This backup is encrypted. Messages can only be merged into a backup made without encryption.</translation>
    </message>
    <message>
        <source>IDS_MERGE_DATABASE_DAMAGED_%1</source>
        <translation>The merged message database did not pass its check (%1). The backup was left as it was.</translation>
    </message>
    <message>
        <source>IDS_MERGE_BACKUP_NOT_RESTORED_%1</source>
        <translation>These files of the backup could not be put back as they were: %1</translation>
    </message>
</context>
</TS>
