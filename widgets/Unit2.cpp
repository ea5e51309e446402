#include "widgets/Unit2.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

TForm2::TForm2(QWidget* parent)
    : QDialog(parent),
      Edit1(new QLineEdit(this)),
      BitBtn1(new QPushButton(QStringLiteral("OK"), this)),
      BitBtn2(new QPushButton(QStringLiteral("Abort"), this)) {
    setWindowTitle(QStringLiteral("Send Message"));
    Edit1->setObjectName(QStringLiteral("Edit1"));
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    Edit1->setFixedWidth(513);
    BitBtn1->setDefault(true);
    BitBtn2->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Edit1);
    layout->addLayout(buttons);
    // Sized to its contents, like a fixed dialog.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(BitBtn1, &QPushButton::clicked, this, [this] { done(ResultOk); });
    connect(BitBtn2, &QPushButton::clicked, this, [this] { done(ResultAbort); });
}

void TForm2::showEvent(QShowEvent* event) {
    // The dialog is reused: an opening must never offer the previous message again.
    Edit1->clear();
    Edit1->setFocus(Qt::OtherFocusReason);
    QDialog::showEvent(event);
}

std::optional<QString> TForm2::Ask(const QString& title) {
    setWindowTitle(title);
    if (exec() != ResultOk) return std::nullopt;
    return Edit1->text();
}

TAskLine TForm2::Asker() {
    return [this](const QString& title) { return Ask(title); };
}
