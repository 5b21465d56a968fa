<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_ROOT_DEVICE</source>
        <translation>Devices</translation>
    </message>
    <message>
        <source>IDS_ROOT_LOCALDB</source>
        <translation>Local Databases</translation>
    </message>
    <message>
        <source>IDS_NONE_INSTALL_ITUNES</source>
        <translation>Failed to load (Apple Mobile Device) framework. Plese click %1 for help.</translation>
    </message>
    <message>
        <source>IDS_NONE_INSTALL_ITUNES_NO_HELP</source>
        <translation>Failed to load (Apple Mobile Device) framework.</translation>
    </message>
    <message>
        <source>Messages: %1</source>
        <translation>Messages: %1</translation>
    </message>
    <message>
        <source>Messages: 0</source>
        <translation>Messages: 0</translation>
    </message>
</context>
</TS>
