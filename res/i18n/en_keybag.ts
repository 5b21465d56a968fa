<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_KEYBAG_NO_ITERATION_COUNT</source>
        <translation>The backup's keybag is damaged: it gives no key-derivation iteration count. The backup cannot be decrypted.</translation>
    </message>
    <message>
        <source>IDS_KEYBAG_TOO_MANY_ITERATIONS_%1_%2</source>
        <translation>The backup's keybag asks for %1 key-derivation iterations, more than the %2 this program accepts. The keybag is probably damaged.</translation>
    </message>
    <message>
        <source>IDS_KEYBAG_BAD_CLASS_KEY_%1</source>
        <translation>The backup's keybag is damaged: the wrapped key of protection class %1 has the wrong length.</translation>
    </message>
    <message>
        <source>IDS_KEYBAG_NO_PASSWORD_CLASS</source>
        <translation>The backup's keybag holds no key that a password unlocks. The backup cannot be decrypted.</translation>
    </message>
    <message>
        <source>IDS_BACKUP_FILE_NO_KEY_%1</source>
        <translation>Cannot decrypt the backup file %1: no key for it could be unwrapped from the backup's keybag.</translation>
    </message>
</context>
</TS>
