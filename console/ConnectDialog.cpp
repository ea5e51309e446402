#include "ConnectDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

TConnectDialog::TConnectDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Connect to a Quarn lobby server"));
    auto* layout = new QVBoxLayout(this);
    error_ = new QLabel(this);
    error_->setWordWrap(true);
    error_->setStyleSheet(QStringLiteral("color: #b00020"));
    error_->hide();
    layout->addWidget(error_);

    auto* form = new QFormLayout;
    HostEdit = new QLineEdit(QStringLiteral("127.0.0.1"), this);
    PortEdit = new QSpinBox(this);
    PortEdit->setRange(1, 65535);
    PortEdit->setValue(6668);
    UserEdit = new QLineEdit(this);
    PasswordEdit = new QLineEdit(this);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("&Server:"), HostEdit);
    form->addRow(QStringLiteral("&Port:"), PortEdit);
    form->addRow(QStringLiteral("&Account:"), UserEdit);
    form->addRow(QStringLiteral("Pass&word:"), PasswordEdit);
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&Connect"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    // Connect is offered once there is something to connect to.
    auto update = [this, buttons] {
        buttons->button(QDialogButtonBox::Ok)
            ->setEnabled(!HostEdit->text().trimmed().isEmpty() && !UserEdit->text().isEmpty());
    };
    connect(HostEdit, &QLineEdit::textChanged, this, update);
    connect(UserEdit, &QLineEdit::textChanged, this, update);
    update();
}

void TConnectDialog::SetServer(const QString& host, quint16 port) {
    HostEdit->setText(host);
    PortEdit->setValue(port);
}

void TConnectDialog::SetUser(const QString& user) {
    UserEdit->setText(user);
}

void TConnectDialog::SetPassword(const QString& password) {
    PasswordEdit->setText(password);
}

void TConnectDialog::SetError(const QString& error) {
    error_->setText(error);
    error_->setVisible(!error.isEmpty());
    if (!error.isEmpty()) PasswordEdit->setFocus();
}

QString TConnectDialog::Host() const {
    return HostEdit->text().trimmed();
}

quint16 TConnectDialog::Port() const {
    return static_cast<quint16>(PortEdit->value());
}

QString TConnectDialog::User() const {
    return UserEdit->text();
}

QString TConnectDialog::Password() const {
    return PasswordEdit->text();
}
