// The state of the Caps Lock, Num Lock and Scroll Lock keys, where the window system tells
// it (X11 through Xkb); unknown elsewhere (Wayland, offscreen).
#pragma once

namespace kvt {

struct LockKeyState {
    bool known = false;
    bool caps = false;
    bool num = false;
    bool scroll = false;
};

LockKeyState ReadLockKeys();

}  // namespace kvt
