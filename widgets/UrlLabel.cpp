#include "widgets/UrlLabel.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>
#include <stdexcept>

int TUrlLabel::DesktopOpener(const QString& url) {
    const QUrl target(url, QUrl::TolerantMode);
    if (!target.isValid() || target.isEmpty()) return kNoAssociation;
    return QDesktopServices::openUrl(target) ? 33 : kNoAssociation;
}

TUrlLabel::TUrlLabel(QWidget* parent) : TUrlLabel(QString(), parent) {}

TUrlLabel::TUrlLabel(const QString& caption, QWidget* parent)
    : QLabel(parent),
      caption_(caption),
      url_(caption),
      opener_(&TUrlLabel::DesktopOpener),
      reportError_([this](const QString& message) {
          QMessageBox::critical(this, QStringLiteral("Error"), message);
      }) {
    setTextFormat(Qt::RichText);
    // Our own handler, not setOpenExternalLinks(): that would open links behind the
    // opener's back and bypass OnExecFail.
    setOpenExternalLinks(false);
    setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    setCursor(Qt::PointingHandCursor);
    QPalette pal = palette();
    pal.setColor(QPalette::Link, QColor(0, 0, 255));
    pal.setColor(QPalette::WindowText, QColor(0, 0, 255));
    setPalette(pal);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    connect(this, &QLabel::linkActivated, this, [this](const QString&) { OnLinkActivated(); });
    ShowCaption();
}

void TUrlLabel::ShowCaption() {
    // The href is only a marker: the click opens URL_, whatever the caption says.
    setText(QStringLiteral("<a href=\"open\" style=\"color:#0000ff; text-decoration:underline\">") +
            caption_.toHtmlEscaped() + QStringLiteral("</a>"));
}

void TUrlLabel::SetCaption(const QString& caption) {
    caption_ = caption;
    if (!urlSet_) url_ = caption;
    ShowCaption();
}

void TUrlLabel::SetURL(const QString& url) {
    url_ = url;
    urlSet_ = true;
}

void TUrlLabel::SetOpener(TOpener opener) {
    opener_ = opener ? std::move(opener) : TOpener(&TUrlLabel::DesktopOpener);
}

void TUrlLabel::SetErrorReporter(TErrorReporter reporter) {
    reportError_ = std::move(reporter);
}

void TUrlLabel::Open() {
    const int result = opener_(url_);
    if (result > 32) return;
    if (OnExecFail) {
        OnExecFail(result);
        return;
    }
    throw std::runtime_error("Action failed! Win32 error code: " + std::to_string(result));
}

void TUrlLabel::OnLinkActivated() {
    try {
        Open();
    } catch (const std::exception& e) {
        if (reportError_) reportError_(QString::fromStdString(e.what()));
    }
}
