<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_ANDROID_%1_CANT_READ_MMC_NUMBER</source>
        <translation>Failed to load country code from your phone. Please click "OK" button to select a country code manually.</translation>
    </message>
    <message>
        <source>IDS_SEL_ONE_ANDROID_DEVICE</source>
        <translation>Please select an Android device:</translation>
    </message>
    <message>
        <source>IDS_NOTHING_TO_TRANSFER_TO_ANDROID</source>
        <translation>There are no messages to transfer to an Android phone. Group messages and system messages can't be transferred.</translation>
    </message>
    <message>
        <source>IDS_NO_ANDROID_TARGET</source>
        <translation>Please connect the Android phone that should receive these messages first. Saved copies and the phone the messages come from can't receive them.</translation>
    </message>
    <message>
        <source>IDS_ANDROID_TRANSFER_TARGET_GONE</source>
        <translation>The chosen Android phone has been disconnected. No messages were transferred.</translation>
    </message>
    <message>
        <source>IDS_ANDROID_TRANSFER_SOURCE_GONE</source>
        <translation>The device the messages come from has been disconnected. No messages were transferred.</translation>
    </message>
</context>
</TS>
