// The program's icon in every size rendered from its SVG, embedded so that the executable
// copied alone into another folder still shows it. Call after the QGuiApplication exists;
// UI thread only.
#pragma once

#include <QIcon>

QIcon ProgramIcon();
