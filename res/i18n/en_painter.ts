<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_PRINT_MMS</source>
        <translation>Print Messages</translation>
    </message>
</context>
</TS>
