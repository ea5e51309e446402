// TForm2: the one-line message dialog of the operator commands ("Send Message"). One
// instance is created at start and reused; every opening starts with an empty, focused
// field. UI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>

class QLineEdit;
class QPushButton;

// What the console calls to ask for one line: the text on OK, nothing otherwise. Tests
// inject their own answer in place of the modal dialog.
using TAskLine = std::function<std::optional<QString>(const QString& title)>;

class TForm2 : public QDialog {
    Q_OBJECT

  public:
    // Results besides QDialog::Rejected (Escape or closing the window).
    enum TResult { ResultOk = QDialog::Accepted, ResultAbort = 3 };

    explicit TForm2(QWidget* parent = nullptr);

    // Owned by the dialog.
    QLineEdit* Edit1;      // 513 pixels wide
    QPushButton* BitBtn1;  // OK, the default button
    QPushButton* BitBtn2;  // Abort

    // Sets the title, shows the dialog modally and returns the field's text after OK.
    std::optional<QString> Ask(const QString& title);
    // Ask() of this dialog, as the console's TAskLine.
    TAskLine Asker();

  protected:
    // Every way of opening (exec, open, show) passes here.
    void showEvent(QShowEvent* event) override;
};
