// TUrlLabel: a blue, underlined label that opens its URL (a web link or a "mailto:"
// address) with the desktop's default handler when clicked. UI thread only.
#pragma once

#include <QLabel>
#include <QString>
#include <functional>

// Called with the shell-style result code when a link cannot be opened.
using TOnExecFail = std::function<void(int WinCode)>;

class TUrlLabel : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(QString URL READ URL WRITE SetURL)

  public:
    // Opens a link and returns a shell-style result: above 32 is success, 32 or less is
    // the error code.
    using TOpener = std::function<int(const QString& url)>;
    // Shows the message of an open failure that nobody handled.
    using TErrorReporter = std::function<void(const QString& message)>;

    // The code reported when the desktop could not open a link: the desktop's opener
    // gives no reason, so every failure is reported as "no application is associated
    // with the link" (31, the shell's SE_ERR_NOASSOC).
    static constexpr int kNoAssociation = 31;
    // The default opener: QDesktopServices::openUrl, 33 on success, kNoAssociation on
    // failure (also for text that is not a valid URL).
    static int DesktopOpener(const QString& url);

    explicit TUrlLabel(QWidget* parent = nullptr);
    explicit TUrlLabel(const QString& caption, QWidget* parent = nullptr);

    QString Caption() const { return caption_; }
    // Shows the text; while URL was never set explicitly, URL follows the caption.
    void SetCaption(const QString& caption);
    QString URL() const { return url_; }
    // Stores the link and stops it from following the caption.
    void SetURL(const QString& url);
    bool UrlSetExplicitly() const { return urlSet_; }

    // Unset by default; when set, open failures go here instead of raising.
    TOnExecFail OnExecFail;

    void SetOpener(TOpener opener);
    void SetErrorReporter(TErrorReporter reporter);

    // The open step: opens URL; on failure calls OnExecFail(code) if set, else throws
    // std::runtime_error "Action failed! Win32 error code: " + code in decimal.
    void Open();

  private:
    // Clicks arrive from Qt's event loop, which exceptions must not cross: the error of
    // Open() goes to the error reporter (a message box unless replaced).
    void OnLinkActivated();
    void ShowCaption();

    QString caption_;
    QString url_;
    bool urlSet_ = false;
    TOpener opener_;
    TErrorReporter reportError_;
};
