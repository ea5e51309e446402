#include "icon/ProgramIcon.h"

#include <QDirIterator>

QIcon ProgramIcon() {
    QIcon icon;
    // Each picture is added at its own size, so Qt picks the nearest one for a title bar,
    // a task bar or an about box instead of scaling a single picture.
    QDirIterator pictures(QStringLiteral(":/icons"));
    while (pictures.hasNext()) icon.addFile(pictures.next());
    return icon;
}
