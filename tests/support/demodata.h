#pragma once

#include <QByteArray>
#include <QString>

// A data folder that shows a full window without a phone: one local
// database "Demo Archive" of the given size, a saved iPhone copy "Demo
// iPhone" and a saved Android copy "Demo Android" (a tenth of the size
// each). Their pictures are small drawn JPEG images. Existing folders of
// those names are replaced.
struct DemoDataSpec
{
    int messages = 20000;
    int chats = 120;
    bool attachmentFiles = true;
    quint32 seed = 20130101;
    // The saved iPhone copy has messages deleted the way a phone deletes
    // them: a whole conversation and a few messages of the busiest one,
    // which "Recover Deleted Messages" brings back in red.
    bool deletedMessages = true;
};

// dataFolder is the program's data folder itself (the folder that holds
// "local_databases"). Returns the number of messages written in all.
int fillDemoDataFolder(const QString &dataFolder, const DemoDataSpec &spec = {});

// Gives every chat of an archive its newest message date, as the program's
// own archives keep it.
void fillChatLastDates(const QString &smsDbPath);

// A small landscape picture (240 x 180, JPEG), different for each n.
QByteArray drawDemoPicture(int n);
