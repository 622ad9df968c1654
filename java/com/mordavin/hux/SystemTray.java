package com.mordavin.hux;

/** An icon in the notification area. */
public class SystemTray {
    public static final int INFOTYPE_NONE = 0;
    public static final int INFOTYPE_INFO = 1;
    public static final int INFOTYPE_WARNING = 2;
    public static final int INFOTYPE_ERROR = 3;
    public static final int MOUSE_MOVE = 512;
    public static final int LEFT_CLICK = 514;
    public static final int LEFT_DOUBLE_CLICK = 515;
    public static final int RIGHT_CLICK = 517;
    public static final int RIGHT_DOUBLE_CLICK = 518;
    public static final int MIDDLE_CLICK = 520;
    public static final int MIDDLE_DOUBLE_CLICK = 521;

    static {
        NativeLink.link(SystemTray.class);
    }

    protected long h;

    public SystemTray(int icon, String tip) {
        h = 0;
        init(icon, tip, null, null, 0);
    }

    public SystemTray(int icon, String tip, String info, String infoTitle, int infoFlags) {
        h = 0;
        init(icon, tip, info, infoTitle, infoFlags);
    }

    public void Change(int icon, String tip) {
        Change(icon, tip, null, null, -1);
    }

    public native void Change(int icon, String tip, String info, String infoTitle, int infoFlags);

    public native void Show();

    public native void Hide();

    public static native void setSystemTrayCallback(SystemTrayCallback callback);

    protected native void init(int icon, String tip, String info, String infoTitle, int infoFlags);

    @Override
    protected native void finalize();
}
