#pragma once

#include <QPixmap>

// The window's pictures, drawn by the program itself at their source sizes;
// the image controls scale them to fit.
QPixmap drawBanner();      // 444 x 79, across the top of the window
QPixmap drawSidePicture(); // 640 x 506, under the Properties box
QPixmap drawIcon(int size = 48);
