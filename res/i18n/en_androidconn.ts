<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_GET_ANDROID_DEVICE_INFO</source>
        <translation>Getting Android info...</translation>
    </message>
    <message>
        <source>IDS_CHECKING_APK_INSTALL</source>
        <translation>Checking and installing Quillmarsh SMS Sync now...</translation>
    </message>
    <message>
        <source>IDS_ANDROID_APP_TOO_OLD_%1</source>
        <translation>Quillmarsh SMS Sync on Android is too old. %1 needed. Please update it from Google Play.</translation>
    </message>
    <message>
        <source>IDS_ANDROID_INSTALL_APP_FAILED_%1</source>
        <translation>Please go to Google Play on your Android Phone to download and install Quillmarsh SMS Sync first and then try again. &lt;br/&gt;&lt;br/&gt;Error:%1</translation>
    </message>
    <message>
        <source>IDS_ANDROID_CONNECT_HELP</source>
        <translation>Please try the following:&lt;br/&gt;&lt;br/&gt;1 Go to Google Play on your phone to download and installed the latest version Quillmarsh SMS Sync.&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>IDS_ANDROID_CONNECT_HELP_TOOL_%1</source>
        <translation>2 click &lt;a href=&quot;%1&quot;&gt;&lt;b&gt;HERE&lt;/b&gt;&lt;/a&gt; to run Quillmarsh Device Manager and then restart your phone to try again.&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>IDS_ANDROID_CONNECT_HELP_RESTART</source>
        <translation>2 Allow USB debugging for this computer on your phone&apos;s screen, then restart your phone to try again.&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>IDS_CONNECTING_ANDROID_DEVICE</source>
        <translation>Connecting to Android...</translation>
    </message>
    <message>
        <source>IDS_WIFI_SOCK_WRONG_FOR_EXAMPLE</source>
        <translation>Input Error. Please input the correct WiFi connection info.</translation>
    </message>
    <message>
        <source>IDS_WIFI_FORM_INTRO</source>
        <translation>Run Quillmarsh SMS Sync on Android phone and click Connection button to get the Wifi connection info. Now input the info to the following Text Box. </translation>
    </message>
    <message>
        <source>IDS_WIFI_FORM_CONNECT</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>IDS_WIFI_FORM_CANCEL</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>IDS_WIFI_FORM_TITLE</source>
        <translation>Connect Android via WiFi</translation>
    </message>
    <message>
        <source>IDS_WIFI_FORM_TIPS_DOWNLOAD</source>
        <translation>If you haven&apos;t installed Quillmarsh SMS Sync on Android phone, please go to the Market (Google Play) on your Android to search Quillmarsh SMS Sync to download and install. </translation>
    </message>
</context>
</TS>
