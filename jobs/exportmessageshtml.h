#pragma once

#include "jobs/bubblemarkup.h"
#include "store/absformatexport.h"
#include "store/datafolder.h"
#include "store/msgdataset.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTextStream>

#include <memory>

// One XHTML page of messages drawn as chat bubbles, the same markup as the
// conversation view. Attachments, thumbnails and contact cards are copied
// into the subfolder "files" of the output folder, each under a free name,
// and the page links to those copies. The page expects "files/style.css" and
// the emoji pictures in "emoji/" beside it (the export job puts them there).
//
// Nothing is ever written outside the output folder and its "files" folder,
// and no file that is already there is replaced: every copy and the page
// itself take a free name. writtenFiles() lists what was written, so that a
// job that stops early can take it away again.
class ExportMessagesHtml : public AbsFormatExport<_MsgMessage>
{
public:
    // fileName: the page's name inside outputFolder (a plain file name).
    ExportMessagesHtml(const QDir &outputFolder, const QString &fileName);
    ~ExportMessagesHtml() override;

    // Makes "files" when missing, opens the page and writes its head. Throws
    // std::runtime_error when the page cannot be written there.
    void begin() override;
    // Writes one message as one line.
    void write(_MsgMessage *message) override;
    // Writes the foot and closes the page. Throws std::runtime_error when
    // the page could not be written completely.
    void end() override;

    // Copies the file at path into "files" under a free name made from its
    // own name and returns that name; copied (when given) tells whether the
    // copy was made.
    QString copyToFiles(const QString &path, bool *copied = nullptr);

    // The page's path (set once begin has chosen it).
    QString pagePath() const { return m_pagePath; }
    // Files this exporter wrote, the page included, in order.
    const QStringList &writtenFiles() const { return m_written; }
    // Whether begin made the "files" folder.
    bool madeFilesFolder() const { return m_madeFiles; }
    // The free names handed out so far, shared by the pages of one export
    // (each page has its own otherwise). Set before begin.
    void setFileNames(std::shared_ptr<UniqueFileNames> names) { m_names = std::move(names); }

private:
    // The link of the placeholder picture in "files", put there when the
    // export job has not.
    QString placeholderLink();

    qint64 m_dateHeader = kNoDateHeader;
    QDir m_outputDir;
    QDir m_filesDir;
    QString m_fileName;
    QFile m_file; // the page under a temporary name until end()
    QString m_pagePath;
    QTextStream m_stream;
    QStringList m_written;
    bool m_madeFiles = false;
    std::shared_ptr<UniqueFileNames> m_names = std::make_shared<UniqueFileNames>();
};

// The relative link of a file name in "files", percent-encoded so that names
// holding "#", "%" or blanks still reach their file.
QString filesLink(const QString &name);
