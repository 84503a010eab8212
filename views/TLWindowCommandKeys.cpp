#include "TLWindowCommandKeys.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>

namespace TLWindowCommandKeys {

namespace {

// The X server's Lock bit in the key event's state: Qt reports Caps Lock only
// there, not among its keyboard modifiers.
constexpr quint32 kX11LockMask = 0x2;

bool isCommandAlone(const QKeyEvent& event) {
    Qt::KeyboardModifiers held = event.modifiers() & ~Qt::KeypadModifier;
    return held == Qt::ControlModifier && (event.nativeModifiers() & kX11LockMask) == 0;
}

}  // namespace

bool handleKeyPress(QWidget& window, const QKeyEvent& event) {
    switch (event.key()) {
    case Qt::Key_W:
        if (!isCommandAlone(event)) return false;
        window.close();
        return true;
    case Qt::Key_Q:
        if (!isCommandAlone(event)) return false;
        QCoreApplication::quit();
        return true;
    case Qt::Key_Escape:
        window.close();
        return true;
    default:
        return false;
    }
}

}  // namespace TLWindowCommandKeys
