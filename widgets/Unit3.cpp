#include "widgets/Unit3.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTextBlock>
#include <QVBoxLayout>

#include "widgets/UrlLabel.h"

QPixmap TAboutBox::ProductPicture() {
    // Drawn at run time so that the executable, copied alone into another folder, still
    // shows it: a night sky over a hill with two speech bubbles, the lobby's chat.
    QPixmap picture(180, 135);
    picture.fill(Qt::black);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, 135);
    sky.setColorAt(0.0, QColor(10, 20, 70));
    sky.setColorAt(1.0, QColor(90, 40, 120));
    p.fillRect(picture.rect(), sky);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 220));
    for (auto [x, y] : {std::pair{20, 15}, {150, 22}, {95, 10}, {60, 35}, {165, 60}, {35, 55}})
        p.drawEllipse(QPoint(x, y), 1, 1);

    QPainterPath hill;
    hill.moveTo(0, 135);
    hill.cubicTo(40, 85, 120, 80, 180, 110);
    hill.lineTo(180, 135);
    hill.closeSubpath();
    p.setBrush(QColor(20, 90, 50));
    p.drawPath(hill);

    auto bubble = [&p](QRectF box, QPointF tail, QColor colour) {
        QPainterPath path;
        path.addRoundedRect(box, 10, 10);
        QPainterPath pointer;
        pointer.moveTo(box.center().x() - 8, box.bottom() - 1);
        pointer.lineTo(tail);
        pointer.lineTo(box.center().x() + 8, box.bottom() - 1);
        pointer.closeSubpath();
        p.setBrush(colour);
        p.setPen(QPen(Qt::white, 2));
        p.drawPath(path.united(pointer));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        for (int i = -1; i <= 1; ++i) p.drawEllipse(box.center() + QPointF(i * 12, 0), 3, 3);
    };
    bubble(QRectF(18, 28, 70, 36), QPointF(40, 82), QColor(40, 110, 200));
    bubble(QRectF(92, 40, 70, 36), QPointF(130, 94), QColor(200, 120, 30));

    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(18);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 105, 180, 28), Qt::AlignCenter, QStringLiteral("QUARN"));
    return picture;
}

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      ProgramIcon(new QLabel(this)),
      ProductName(new QLabel(QStringLiteral("IRC Server for Quarn (38)"), this)),
      Version(new QLabel(QStringLiteral("Version 1.0.0.6"), this)),
      Copyright(
          new QLabel(QStringLiteral("Copyright (c) 2026 the Quarn lobby server developers"), this)),
      UrlLabel1(new TUrlLabel(this)),
      Memo1(new QPlainTextEdit(this)),
      OKButton(new QPushButton(QStringLiteral("OK"), this)) {
    setWindowTitle(QStringLiteral("Info"));
    ProgramIcon->setObjectName(QStringLiteral("ProgramIcon"));
    ProductName->setObjectName(QStringLiteral("ProductName"));
    Version->setObjectName(QStringLiteral("Version"));
    Copyright->setObjectName(QStringLiteral("Copyright"));
    UrlLabel1->setObjectName(QStringLiteral("UrlLabel1"));
    Memo1->setObjectName(QStringLiteral("Memo1"));
    OKButton->setObjectName(QStringLiteral("OKButton"));

    ProgramIcon->setPixmap(ProductPicture());
    ProgramIcon->setFixedSize(180, 135);

    const QString address = QString::fromLatin1(kContactAddress);
    UrlLabel1->SetCaption(QStringLiteral("Send comments and bugs to ") + address);
    UrlLabel1->SetURL(QStringLiteral("mailto:") + address);

    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setPlainText(QStringList{
        QStringLiteral("Is Quarn's online service down, or was your connection closed?"),
        QStringLiteral("This IRC server is designed for Quarn's"),
        QStringLiteral("IRC implementation"),
        QString(),
        QStringLiteral("Please mail your comments and bug reports to the address above."),
        QString(),
        QStringLiteral("USE AT YOUR OWN RISK!"),
    }
                            .join(QLatin1Char('\n')));
    // Room for the seven lines without a scroll bar.
    const QFontMetrics metrics(Memo1->font());
    Memo1->setFixedHeight(metrics.lineSpacing() * 8 + 2 * Memo1->frameWidth() + 8);
    Memo1->setMinimumWidth(metrics.horizontalAdvance(Memo1->document()->firstBlock().text()) + 40);

    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* texts = new QVBoxLayout;
    texts->addWidget(ProductName);
    texts->addWidget(Version);
    texts->addWidget(Copyright);
    texts->addWidget(UrlLabel1);
    texts->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(ProgramIcon, 0, Qt::AlignTop);
    top->addLayout(texts);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKButton);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(Memo1);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    OKButton->setFocus(Qt::OtherFocusReason);
}
