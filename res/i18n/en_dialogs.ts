<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>DataSourceSelForm</name>
    <message>
        <source>Dialog</source>
        <translation>Select a Device</translation>
    </message>
    <message>
        <source>IDS_TITLE_SELECT_ONE_DEVICE_TO_TRANSFER</source>
        <translation>Please select a Device.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_ONE_DATASOURCE</source>
        <translation>Need to select a Device to continue.</translation>
    </message>
</context>
<context>
    <name>LocalDbSelForm</name>
    <message>
        <source>选择或输入新的数据库名称:</source>
        <translation>Select current database to merge or enter a new database name:</translation>
    </message>
    <message>
        <source>选择现有的数据库会将短信息附加到里面,输入新的名字会创建新的本地数据库.</source>
        <translation>Selecting current Database will merge messages;entering new DB name will create a new Database.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>选择要备份到哪个数据库</source>
        <translation>Select one Database for backup</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME</source>
        <translation>Select one Database or enter a new Database name</translation>
    </message>
    <message>
        <source>IDS_INVALID_LOCALDB_NAME</source>
        <translation>A database name cannot be only dots, and cannot contain control characters or any of these characters: \ / : * ? &quot; &amp;lt; &amp;gt; |</translation>
    </message>
</context>
<context>
    <name>CountrySelForm</name>
    <message>
        <source>IDS_SEL_YOUR_PHONE_COUNTRY</source>
        <translation>Select your country code:</translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Dialog</source>
        <translation>Select Country Code</translation>
    </message>
    <message>
        <source>IDS_CANT_CONTINUE_WITHOUT_SEL_ONE_COUNTRY</source>
        <translation>Please select a cuntry code first to continue.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_SEL_COUNTRY_%1</source>
        <translation>Confirm to select %1?</translation>
    </message>
</context>
<context>
    <name>LoadItunesBackupDlg</name>
    <message>
        <source>Dialog</source>
        <translation>Select an iTunes Backup</translation>
    </message>
    <message>
        <source>Load</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>IDS_SELECT_AN_ITUNES_BACKUP_TO_LOAD</source>
        <translation>Please select an iTunes Backup to load.</translation>
    </message>
    <message>
        <source>IDS_NO_BACKUP_LISTED_THERE_CLICK_&lt;a href=&quot;#&quot;&gt;Here&lt;/a&gt;_ADD</source>
        <translation>Can&apos;t find your iTunes Backup on the list? Please manually import it by clicking &lt;a href=&quot;#&quot;&gt;HERE&lt;/a&gt;.</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_ONE_ITUNES_BACKUP</source>
        <translation>Need to select an iTunes Backup to continue.</translation>
    </message>
    <message>
        <source>IDS_LOAD_BK_EXISTS</source>
        <translation>This iTunes Backup has been listed on the left.</translation>
    </message>
    <message>
        <source>IDS_BACKUP_KIND_NOT_SUPPORTED</source>
        <translation>backups of this kind (Manifest.db, made by newer iPhones) are not supported</translation>
    </message>
</context>
<context>
    <name>PasscodeDlg</name>
    <message>
        <source>Dialog</source>
        <translation>Backup Password</translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>IDS_PLEASE_ENTER_PASSWORD_TO_LOAD_BACKUP</source>
        <translation>This iTunes Backup is encrypted. Please enter password:</translation>
    </message>
    <message>
        <source>IDS_ENTER_PASSWORD</source>
        <translation>Enter password</translation>
    </message>
    <message>
        <source>IDS_PWD_IS_NULL</source>
        <translation>Password is required.</translation>
    </message>
    <message>
        <source>IDS_INVALID_PASSWORD</source>
        <translation>Invalid password.</translation>
    </message>
</context>
<context>
    <name>SetMsgNumDialog</name>
    <message>
        <source>Dialog</source>
        <translation>Assign Number</translation>
    </message>
    <message>
        <source>IDS_SET_MESSAGE_NUMBER</source>
        <translation>Set Contact Info for Message</translation>
    </message>
    <message>
        <source>IDS_EMPATY_PHONE_NUMNBER_PLEASE_INPUT</source>
        <translation>Phone number is required.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_SET_UNKNOWN_MSG_NUMBER_AS_%1</source>
        <translation>Confirm to set phone number as %1 for the message?</translation>
    </message>
</context>
</TS>
