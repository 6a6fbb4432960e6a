#pragma once

#include <ZelKit/platform/ZelStatusItem.h>

class QSystemTrayIcon;
class QTimer;

// The status item through Qt's system tray icon, for XEmbed tray hosts: they tell where
// the icon is, so the geometry is known; a click carries no position of its own.
class ZELKIT_EXPORT TrayIconStatusItem : public ZelStatusItem
{
    Q_OBJECT
public:
    explicit TrayIconStatusItem(QObject *parent = nullptr);
    ~TrayIconStatusItem() override;

    bool isAvailable() const override;
    void setIcon(const QIcon &icon) override;
    void setToolTip(const QString &text) override;
    void setVisible(bool visible) override;
    QRect geometry() const override;
    // The tray's _NET_SYSTEM_TRAY_COLORS, where it sets them.
    std::optional<QColor> hostForeground() const override;

private:
    void checkAvailability();

    QSystemTrayIcon *m_tray = nullptr;
    QTimer *m_availabilityPoll = nullptr;
    bool m_available = false;
};
