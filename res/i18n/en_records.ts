<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>You</source>
        <translation>You</translation>
    </message>
    <message>
        <source>Unknown</source>
        <translation>Unknown</translation>
    </message>
    <message>
        <source>unknown</source>
        <translation>unknown</translation>
    </message>
    <message>
        <source>started</source>
        <translation>started</translation>
    </message>
    <message>
        <source>stopped</source>
        <translation>stopped</translation>
    </message>
    <message>
        <source>%1 Added %2 to the conversation.
%3</source>
        <translation>%1 Added %2 to the conversation.
%3</translation>
    </message>
    <message>
        <source>%1 named the conversation &quot;%2&quot;.
%3</source>
        <translation>%1 named the conversation &quot;%2&quot;.
%3</translation>
    </message>
    <message>
        <source>%1 left the conversation.
%2</source>
        <translation>%1 left the conversation.
%2</translation>
    </message>
    <message>
        <source>%1 %2 sharing location with %3.
%4</source>
        <translation>%1 %2 sharing location with %3.
%4</translation>
    </message>
    <message>
        <source>System Information.
%1</source>
        <translation>System Information.
%1</translation>
    </message>
</context>
</TS>
