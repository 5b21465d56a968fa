<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>Birthday:</source>
        <translation>Birthday:</translation>
    </message>
    <message>
        <source>Phone:</source>
        <translation>Phone:</translation>
    </message>
    <message>
        <source>E-Mail:</source>
        <translation>E-Mail:</translation>
    </message>
    <message>
        <source>Address:</source>
        <translation>Address:</translation>
    </message>
</context>
</TS>
