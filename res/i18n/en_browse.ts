<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_CAN_NOT_FOUND_AND_MESSAGES</source>
        <translation>Can&apos;t find any Message.</translation>
    </message>
    <message>
        <source>IDS_CAN_NOT_FOUNDSMS_KEYWORD_%0</source>
        <translation>Find no Message with keyword %1.</translation>
    </message>
    <message>
        <source>IDS_CAN_NOT_FOUNDCONTACT_KEYWORD_%0</source>
        <translation>Find no contact with keyword %1.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_THIS_LOCALDB</source>
        <translation>Confirm to delete this Database?</translation>
    </message>
    <message>
        <source>IDS_DEL_LOCALDB_SUC</source>
        <translation>Successfully Deleted Database %0.</translation>
    </message>
    <message>
        <source>IDS_DEL_LOCALDB_FAILED_%1_%2</source>
        <translation>Could not delete Database %1: some of its files could not be removed from the folder %2.</translation>
    </message>
    <message>
        <source>IDS_SUC_CLEAR_CACHE</source>
        <translation>Successfully cleared cache files.</translation>
    </message>
    <message>
        <source>IDS_CLEAR_CACHE_FAILED_%1</source>
        <translation>Some cache files could not be removed. These folders are still there:&lt;br/&gt;%1</translation>
    </message>
    <message>
        <source>IDS_NO_WEB_SITE_CONFIGURED</source>
        <translation>No web site is configured for this copy of Pelicorde, so there is no page to open.</translation>
    </message>
    <message>
        <source>IDS_ANDROID_TIPS_DEBUGGING_%1</source>
        <translation>* Enable USB debugging on your Android device: in Settings, About phone, tap Build number seven times; then turn on USB debugging in Developer options.%1&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>IDS_ANDROID_TIPS_AUTHORIZE</source>
        <translation>* Connect the phone with a USB cable, unlock it and tap Allow when it asks &quot;Allow USB debugging?&quot; for this computer.&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>IDS_ANDROID_TIPS_UDEV</source>
        <translation>* Let your user reach the phone over USB: install udev rules for Android devices (on Debian and Ubuntu the package android-sdk-platform-tools-common) and make sure your user is a member of the plugdev group (sudo usermod -aG plugdev $USER, then log in again). Then unplug the phone and plug it in again.&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
</context>
<context>
    <name>AboutUsForm</name>
    <message>
        <source>Dialog</source>
        <translation>About Pelicorde</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
</context>
</TS>
