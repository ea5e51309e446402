// TAboutBox: the "Info" window with the product picture, name, version, rights notice,
// contact link and a short note. Created once at start and shown modally. UI thread only.
#pragma once

#include <QDialog>
#include <QPixmap>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class TUrlLabel;

class TAboutBox : public QDialog {
    Q_OBJECT

  public:
    // The contact address of the link and the note.
    static constexpr const char* kContactAddress = "quarn-lobby@example.org";

    explicit TAboutBox(QWidget* parent = nullptr);

    // The 180 x 135 product picture, drawn in code so the program needs no file beside it.
    static QPixmap ProductPicture();

    // Owned by the dialog.
    QLabel* ProgramIcon;
    QLabel* ProductName;
    QLabel* Version;
    QLabel* Copyright;
    TUrlLabel* UrlLabel1;
    QPlainTextEdit* Memo1;
    QPushButton* OKButton;

  protected:
    // Centres the window on its screen and gives OK the focus at every opening.
    void showEvent(QShowEvent* event) override;
};
