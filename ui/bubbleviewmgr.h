#pragma once

#include "store/msgdataset.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <functional>
#include <memory>

class QTemporaryFile;

// The page of the conversation view: every link the user follows is handed
// to linkClicked instead of being loaded, and every other navigation than
// loading our own pages is refused.
class BubbleWebPage : public QWebEnginePage
{
    Q_OBJECT
public:
    explicit BubbleWebPage(QObject *parent = nullptr);

    // The engine ends every refused navigation with loadFinished(false)
    // although the shown page stays; this tells such an end from a load.
    bool takeRefusedNavigation();

signals:
    void linkClicked(const QUrl &url);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;

private:
    int m_refused = 0;
};

// Shows a message list as pages of 50 chat bubbles in a web view, keeps the
// view on the message chosen in the list, and handles the links of a page:
// the page links, and attachment files, opened with the desktop's program
// for pictures and media and saved where the user says for anything else.
class BubbleViewMgr : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPageSize = 50;

    explicit BubbleViewMgr(QObject *parent = nullptr);
    ~BubbleViewMgr() override;

    // Keeps the view (not owned) and gives it a page of ours whose link
    // clicks come to onLinkClicked.
    void setWebView(QWebEngineView *view);
    QWebEngineView *webView() const { return m_view; }

    const MsgMessageList &messages() const { return m_messages; }
    int currentPage() const { return m_currentPage; }
    int pageCount() const { return m_pageCount; }
    QString pendingAnchor() const { return m_pendingAnchor; }

    // The whole document of page p (1 to pageCount), empty outside.
    QString pageHtml(int page) const;
    // Builds page p and loads it into the view; nothing outside 1..pageCount.
    void renderPage(int page);
    // The URL that relative references of a page resolve against: the
    // program's folder, where "bubble/" and "emoji/" are installed.
    static QUrl baseUrl();
    // Pages bigger than this are loaded from a file instead of from memory.
    static constexpr qsizetype kMaxInlinePageBytes = 600 * 1024;

    // What opens a picture or media file (the desktop's program by default)
    // and what asks where to save any other file (a save dialog by default;
    // an empty answer cancels). Tests put their own in place.
    using FileOpener = std::function<void(const QString &path)>;
    using SaveAsker = std::function<QString(const QString &title, const QString &proposed)>;
    void setFileOpener(FileOpener opener) { m_open = std::move(opener); }
    void setSaveAsker(SaveAsker asker) { m_askSave = std::move(asker); }

    // Whether a file of this suffix is opened rather than saved.
    static bool opensDirectly(const QString &suffix);

public slots:
    void showBubble(MsgMessageList messages);
    void onLoadFinish(bool ok);
    void onLinkClicked(const QUrl &url);
    void firstPage();
    void previousPage();
    void nextPage();
    void lastPage();
    void scrollToPos(int row);

signals:
    // A page was handed to the view (tests and the window may wait for it).
    void pageRendered(int page);

private:
    void loadHtml(const QString &html);
    void scrollToAnchor(const QString &anchor);
    // Whether path is the file of an attachment of the shown messages.
    bool isShownAttachment(const QString &path) const;
    void saveAttachment(const QString &path);

    QPointer<QWebEngineView> m_view;
    MsgMessageList m_messages;
    int m_currentPage = 0;
    int m_pageCount = 0;
    QString m_pendingAnchor;
    std::unique_ptr<QTemporaryFile> m_bigPage;
    FileOpener m_open;
    SaveAsker m_askSave;
};
