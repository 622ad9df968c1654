package com.mordavin.hux;

import java.util.HashSet;

/** A pop-up menu for a notification-area icon. */
public class SystemTrayMenu {
    static {
        NativeLink.link(SystemTrayMenu.class);
    }

    protected long h;
    protected HashSet<SystemTrayMenu> popups;

    public SystemTrayMenu() {
        h = 0;
        popups = new HashSet<SystemTrayMenu>();
        init();
    }

    public HashSet<SystemTrayMenu> getSubmenu() {
        return popups;
    }

    public native void Append(String text, int id);

    public native void Append(String text, SystemTrayMenu submenu);

    public native void AppendSeparator();

    public native void Popup();

    protected native void init();

    @Override
    protected native void finalize();
}
