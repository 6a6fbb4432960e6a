#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QColor>
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

// The session is Wayland's, whether this process draws through it or through XWayland.
ZELKIT_EXPORT bool isWaylandSession();

// The colour of the desktop's panel where it is fixed by the desktop (GNOME's black top
// bar, waybar's dark default); none where it follows the colour scheme (Plasma), which
// the application's palette follows too.
ZELKIT_EXPORT std::optional<QColor> panelColor();

// The process draws through Wayland itself: its popups cannot be placed.
ZELKIT_EXPORT bool isNativeClient();

// Under sway: the focused workspace's area, the screen less its bars, in global
// coordinates; none elsewhere or when sway does not answer.
ZELKIT_EXPORT std::optional<QRect> swayWorkArea();

} // namespace WaylandSession
