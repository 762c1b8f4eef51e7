// The station's icon: a printer taking a firmware download, drawn in code so
// it scales cleanly to every size the desktop asks for.
#pragma once

#include <QIcon>
#include <QImage>

namespace velloquin {

// The icon drawn at `size` x `size` pixels.
QImage DrawAppIcon(int size);
// The window and About icon, with the usual sizes.
QIcon AppIcon();

}  // namespace velloquin
