#pragma once

#include "store/msgdataset.h"

#include <QDir>
#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>

class ProgressForm;

// Copies the attachment files of a list of messages into one folder under a
// progress dialog, each under the name it had on the phone (made safe and
// free in that folder), dated with its message's date. Files are only ever
// written directly inside the output folder. A run that is cancelled or fails
// removes the files it wrote and the folders it made.
class AttachmentExtractThread : public QThread
{
    Q_OBJECT
public:
    // outputPath: the folder to fill, made with its missing parents by run.
    AttachmentExtractThread(ProgressForm *form, const MsgMessageList &messages,
                            const QString &outputPath, QObject *parent = nullptr);
    ~AttachmentExtractThread() override;

    // The name an attachment gets in the output folder before collisions are
    // resolved: the last part of its phone name (else of its file), with the
    // characters no file name may hold removed, never empty, ".", ".." or a
    // device name, and short enough for any file system.
    static QString outputFileName(const _MsgAttachment &a);

    // Files written by the last run, in order.
    const QStringList &writtenFiles() const { return m_written; }

    // Called on the job's thread after each file was written, with the
    // number written so far. For tests that act at a known point of the run.
    std::function<void(int)> itemHook;

protected:
    void run() override;

private:
    void removeOutput() noexcept;

    ProgressForm *m_form;
    MsgMessageList m_messages;
    QDir m_outputDir;
    QStringList m_written;
    // Folders run made (the output folder and its missing parents), deepest
    // first.
    QStringList m_madeFolders;
};
