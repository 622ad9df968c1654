package com.mordavin.hux;

/** Receives clicks on notification-area icons and chosen menu commands. */
public interface SystemTrayCallback {
    void OnMouseClick(SystemTray tray, int message);

    void OnMenuCommand(int id);
}
