<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_ANDROID_%1_CANT_READ_MMC_NUMBER</source>
        <translation>Failed to load country code from your phone. Please click &quot;OK&quot; button to select a country code manually.</translation>
    </message>
    <message>
        <source>IDS_IOS_NO_DEVICE_ID</source>
        <translation>Failed to read the identity of your iPhone. Please unplug it and plug it in again to try again.</translation>
    </message>
    <message>
        <source>IDS_IOS_BACKUP_KIND_NOT_SUPPORTED</source>
        <translation>The backup of your iPhone keeps its file list in Manifest.db, as newer iPhones do. Backups of this kind are not supported.</translation>
    </message>
    <message>
        <source>IDS_SEL_ONE_IOS_DEVICE</source>
        <translation>Please select an iPhone:</translation>
    </message>
    <message>
        <source>IDS_CANT_RESTORE_IOS_VERSION_BELOW_60</source>
        <translation>Failed to recover. Only iOS 6 or above is supported.</translation>
    </message>
    <message>
        <source>IDS_RESTORE_IOS_TIPS_FIND_MY_IPHONE_MUST_OFF</source>
        <translation>Notes:&lt;br/&gt;
1. If your iPhone is protected with a passcode, please enter your passcode on iPhone first.&lt;br/&gt;
2. Please make sure that iCloud Backup is turned off on your iPhone.&lt;br/&gt;
3. Find My iPhone must be disabled before restoring.%1&lt;br/&gt;
</translation>
    </message>
    <message>
        <source>IDS_FIND_MY_IPHONE_GUIDE_LINK_%1</source>
        <translation> &lt;a href=&quot;%1&quot;&gt;How to disable Find My iPhone&lt;/a&gt;</translation>
    </message>
    <message>
        <source>IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS</source>
        <translation>Successfully recovered %1 messages to iPhone.</translation>
    </message>
    <message>
        <source>IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS_%2_UNKNOWN_NUMBER</source>
        <translation>Successfully recovered %1 messages to iPhone. %2 messages with unknown contact info can&apos;t be recovered. Please right click the messages to set contact info to try again.</translation>
    </message>
    <message>
        <source>IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT</source>
        <translation>Failed to export messages to iTunes backup because your current iTunes backup is encrypted.</translation>
    </message>
    <message>
        <source>IDS_NO_MESSAGES_TO_TRANSFER</source>
        <translation>There are no messages to transfer.</translation>
    </message>
    <message>
        <source>IDS_TRANSFER_FAILED_AT_RESTORE</source>
        <translation>The messages were not transferred: restoring the backup to your iPhone failed. Your iPhone and the backup on this computer are as they were.</translation>
    </message>
    <message>
        <source>IDS_TRANSFER_FAILED_AT_RESTORE_NOT_PUT_BACK_%1</source>
        <translation>The messages were not transferred: restoring the backup to your iPhone failed. Your iPhone is as it was, but these files of the backup on this computer could not be put back:&lt;br/&gt;%1</translation>
    </message>
    <message>
        <source>IDS_TRANSFER_CANCELLED_AT_RESTORE</source>
        <translation>The messages were not transferred: restoring the backup to your iPhone was stopped part-way, so what your iPhone holds now is not known. The backup on this computer was put back as it was.</translation>
    </message>
    <message>
        <source>IDS_TRANSFER_CANCELLED_AT_RESTORE_NOT_PUT_BACK_%1</source>
        <translation>The messages were not transferred: restoring the backup to your iPhone was stopped part-way, so what your iPhone holds now is not known. These files of the backup on this computer could not be put back:&lt;br/&gt;%1</translation>
    </message>
</context>
</TS>
