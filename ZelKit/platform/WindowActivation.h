#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QString>

#include <optional>

class QWidget;

// Brings a top-level window to the user: shown, raised and asked to take focus. Wayland
// compositors give focus only to a window that presents an xdg-activation token, such as
// the one the hub passes with "activate" (ZelHubClient::activationToken()).
class ZELKIT_EXPORT WindowActivation
{
public:
    WindowActivation() = delete;

    // Without a token, or on X11, this is show(), raise() and activateWindow(); there the
    // window manager decides on focus as it always does.
    static void showActive(QWidget *window, const std::optional<QString> &token);
};
