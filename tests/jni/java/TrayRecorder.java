import com.mordavin.hux.SystemTray;
import com.mordavin.hux.SystemTrayCallback;

/** Records what the tray handlers deliver. */
public class TrayRecorder implements SystemTrayCallback {
    public static final StringBuffer log = new StringBuffer();
    public static SystemTray first;
    public static SystemTray second;

    public void OnMouseClick(SystemTray tray, int message) {
        log.append("click ").append(tray == first ? "first" : tray == second ? "second" : String.valueOf(tray))
                .append(' ').append(message).append(';');
    }

    public void OnMenuCommand(int id) {
        log.append("command ").append(id).append(';');
        if (id == 9) {
            throw new IllegalStateException("thrown by the callback");
        }
    }

    public static void setUp() {
        first = new SystemTray(1, "first");
        second = new SystemTray(1, "second");
        first.Show();
        SystemTray.setSystemTrayCallback(new TrayRecorder());
    }

    public static String take() {
        String s = log.toString();
        log.setLength(0);
        return s;
    }
}
