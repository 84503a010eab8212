#pragma once
// The keys the small windows of the shell answer themselves: Ctrl+W closes,
// Ctrl+Q quits, Escape closes whatever else is held. Ctrl must be alone:
// Shift, Alt, Super or Caps Lock with it leave the key to the window's
// contents. Main queue only.
class QKeyEvent;
class QWidget;

namespace TLWindowCommandKeys {

// True when the key was taken (the window was closed or the application asked
// to quit); otherwise the caller passes the event on.
bool handleKeyPress(QWidget& window, const QKeyEvent& event);

}  // namespace TLWindowCommandKeys
