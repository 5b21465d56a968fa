<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_ANDROID_LOADING_SMS</source>
        <translation>Loading Messages...</translation>
    </message>
    <message>
        <source>IDS_ANDROID_RECEIVING_%1_%2</source>
        <translation>Receiving %1(%L2 KB)</translation>
    </message>
    <message>
        <source>IDS_RESTORING_SMS_TO_ANDROID</source>
        <translation>Sending Messages to Device...</translation>
    </message>
    <message>
        <source>IDS_ANDROID_SENDING_SMS_%1_%2</source>
        <translation>Messages: %1/%2</translation>
    </message>
    <message>
        <source>IDS_SUC_RESTORE_%1_SMS_TO_ANDROID</source>
        <translation>Successfully Transferred %1 Messages.</translation>
    </message>
    <message>
        <source>IDS_SKIP_%1_SMS_GROUP_OR_SYS_MESSAGES</source>
        <translation>%1 group messages or system messages can&apos;t be transferred.</translation>
    </message>
    <message>
        <source>IDS_ANDROID_DEFAULT_SMS_APP_TIPS</source>
        <translation>Please click &quot;YES&quot; to temporarily set our Quillmarsh app as your default SMS app when the message pops out on your Android&apos;s screen. Then click the &quot;OK&quot; button to start transferring messages to your Android.&lt;br/&gt;&lt;br/&gt;Note: It will resume your default Messaging app settings after transferring messages to Android.</translation>
    </message>
    <message>
        <source>IDS_ANDROID_DEFAULT_SMS_APP_RESUME</source>
        <translation>&lt;br/&gt;Now please click &quot;YES&quot; to resume your default Messaging app settings when the message pops out on your Android&apos;s screen.</translation>
    </message>
</context>
</TS>
