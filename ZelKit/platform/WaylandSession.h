#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QRect>

#include <optional>

// What the hub needs to know of a Wayland session. Wayland lets no client place its own
// windows, and Qt 6.4 has no surface a tray application could anchor a popup to; X
// clients of the session's XWayland are still placed where they ask.
namespace WaylandSession {

// In a Wayland session with XWayland, has Qt use it first (unless the user chose a
// platform), so that the popup and the menu open at the tray icon. Call before the
// application object exists.
ZELKIT_EXPORT void preferXWayland();

// The process draws through Wayland itself: its popups cannot be placed.
ZELKIT_EXPORT bool isNativeClient();

// Under sway: the focused workspace's area, the screen less its bars, in global
// coordinates; none elsewhere or when sway does not answer.
ZELKIT_EXPORT std::optional<QRect> swayWorkArea();

} // namespace WaylandSession
