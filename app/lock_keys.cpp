#include "app/lock_keys.h"

#include <dlfcn.h>

#include <QGuiApplication>

namespace kvt {

namespace {

// libX11 is loaded on demand so the program does not depend on it outside X11 sessions.
using XkbGetIndicatorStateFn = int (*)(void* display, unsigned int deviceSpec, unsigned int* state);
constexpr unsigned int kXkbUseCoreKbd = 0x0100;

XkbGetIndicatorStateFn IndicatorFunction() {
    static XkbGetIndicatorStateFn fn = [] {
        void* lib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
        if (lib == nullptr) return XkbGetIndicatorStateFn{};
        return reinterpret_cast<XkbGetIndicatorStateFn>(dlsym(lib, "XkbGetIndicatorState"));
    }();
    return fn;
}

}  // namespace

LockKeyState ReadLockKeys() {
    LockKeyState state;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 == nullptr || x11->display() == nullptr) return state;
    XkbGetIndicatorStateFn fn = IndicatorFunction();
    unsigned int bits = 0;
    if (fn == nullptr || fn(x11->display(), kXkbUseCoreKbd, &bits) != 0) return state;
    // Core keyboard indicators: bit 0 Caps Lock, bit 1 Num Lock, bit 2 Scroll Lock.
    state.known = true;
    state.caps = (bits & 1u) != 0;
    state.num = (bits & 2u) != 0;
    state.scroll = (bits & 4u) != 0;
    return state;
}

}  // namespace kvt
