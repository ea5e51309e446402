// quarn-console's connect dialog: the server (host and port), the account and its
// password, and the reason the last attempt failed. UI thread only.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QSpinBox;

class TConnectDialog : public QDialog {
    Q_OBJECT

  public:
    explicit TConnectDialog(QWidget* parent = nullptr);

    void SetServer(const QString& host, quint16 port);
    void SetUser(const QString& user);
    void SetPassword(const QString& password);
    // Shown above the fields, in the dialog's warning colour; empty hides it.
    void SetError(const QString& error);

    QString Host() const;
    quint16 Port() const;
    QString User() const;
    QString Password() const;

    QLineEdit* HostEdit = nullptr;
    QSpinBox* PortEdit = nullptr;
    QLineEdit* UserEdit = nullptr;
    QLineEdit* PasswordEdit = nullptr;

  private:
    QLabel* error_ = nullptr;
};
