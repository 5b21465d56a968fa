<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_BACKING_UP_SMS</source>
        <translation>Backing up Messages to Local Database...</translation>
    </message>
    <message>
        <source>SMS: %1/%2</source>
        <translation>Messages: %1/%2</translation>
    </message>
    <message>
        <source>IDS_SUC_BACKUP_%1_SMS</source>
        <translation>Successfully Backup %1 Messages to local Database.</translation>
    </message>
    <message>
        <source>IDS_DELETING_MMS</source>
        <translation>Deleting Messages...</translation>
    </message>
    <message>
        <source>IDS_SUC_DELETE_%1_MESSAGES</source>
        <translation>Successfully Deleted %1 Messages.</translation>
    </message>
    <message>
        <source>IDS_SUC_DELETE_%1_OF_%2_MESSAGES</source>
        <translation>Deleted %1 of the %2 chosen Messages. The others were no longer in the database: they had been deleted already, perhaps by another window of the program.</translation>
    </message>
    <message>
        <source>IDS_EXTRACTING_MEDIA_FILES</source>
        <translation>Extracting MMS attachment now.Please wait...</translation>
    </message>
    <message>
        <source>IDS_SUC_EXTRACT_%1_MEDIA_FILES_TO_%2</source>
        <translation>Successfully extacted %1 MMS attachment to %2.</translation>
    </message>
    <message>
        <source>IDS_UPDATING_LOCALDB_%1_MESSAGES</source>
        <translation>Updating local database %1 messages...</translation>
    </message>
</context>
</TS>
