<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Pelicorde</name>
    <message>
        <source>IDS_NO_MESSAGES_CHOSEN</source>
        <translation>There are no messages to work on. Select some messages first.</translation>
    </message>
    <message>
        <source>IDS_SEL_EXPORT_MESSAGES_PATH</source>
        <translation>Please select Save Path for messages.</translation>
    </message>
    <message>
        <source>Text Files(*.txt)</source>
        <translation>Text Files(*.txt)</translation>
    </message>
    <message>
        <source>Doc Files(*.doc)</source>
        <translation>Doc Files(*.doc)</translation>
    </message>
    <message>
        <source>CSV Files(*.csv)</source>
        <translation>CSV Files(*.csv)</translation>
    </message>
    <message>
        <source>PDF Files(*.pdf)</source>
        <translation>PDF Files(*.pdf)</translation>
    </message>
    <message>
        <source>HTML Files(*.html)</source>
        <translation>HTML Files(*.html)</translation>
    </message>
    <message>
        <source>IDS_TITLE_SEL_OUTPUT_FOLDER_EXTRACT_MEDIA_FILES</source>
        <translation>Please select Save Path for media files.</translation>
    </message>
    <message>
        <source>IDS_TITLE_EXTRACT_MEDIA_FILES</source>
        <translation>Extracting media files now...</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_SEL_MMS</source>
        <translation>Confirm to delete the selected Messages?</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_CHAT_MMS</source>
        <translation>Confirm to delete Messages with this contact?</translation>
    </message>
    <message>
        <source>IDS_DELETE_SOURCE_GONE</source>
        <translation>The selected messages belong to a source that is no longer listed. Nothing was deleted.</translation>
    </message>
</context>
</TS>
