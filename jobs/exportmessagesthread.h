#pragma once

#include "store/msgdataset.h"

#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>

class ProgressForm;

// The export formats of ExportMessagesThread.
enum ExportFormat {
    ExportTxt = 0, // one text file at the output path
    ExportCsv = 1, // one CSV file at the output path
    ExportPdf = 2, // one PDF file per conversation in the output folder
    ExportHtml = 3, // one XHTML page per conversation, with "files" and "emoji"
    ExportDb = 4, // one local message database in the output folder
};

// Writes a chosen list of messages to export files under a progress dialog.
// Text and CSV go to one file, put in place only when it is complete. PDF and
// HTML give one file per conversation in the output folder, each under a
// safe, free name made from the conversation's name, so that nothing the
// folder already holds is replaced. A run that is cancelled or fails removes
// every file it wrote and every folder it made, and nothing else.
class ExportMessagesThread : public QThread
{
    Q_OBJECT
public:
    ExportMessagesThread(const MsgMessageList &messages, const QString &outputPath, int format,
                         ProgressForm *form, QObject *parent = nullptr);
    ~ExportMessagesThread() override;

    // The folder whose "bubble" and "emoji" subfolders the HTML export
    // copies; the program's own folder unless set.
    QString resourceFolder;
    // Called on the job's thread after each message was written, with the
    // number written so far. For tests that act at a known point of the run.
    std::function<void(int)> itemHook;

    // The per-conversation order: conversations by their newest message,
    // each conversation's messages in message order.
    static bool compareByChat(const _MsgMessage *a, const _MsgMessage *b);
    // The name of a conversation's file (before it is made safe and free).
    static QString chatFileName(const _MsgChat *chat, const QString &suffix);

    // Files written by the last run that stayed (empty after a failure).
    const QStringList &writtenFiles() const { return m_written; }

protected:
    void run() override;

private:
    void removeOutput() noexcept;
    void copyResources(const QString &outFolder);
    void copyFolderFiles(const QString &from, const QString &to);

    MsgMessageList m_messages;
    QString m_outputPath;
    int m_format;
    ProgressForm *m_form;
    QStringList m_written;
    // Folders this run made, deepest first.
    QStringList m_madeFolders;
};
