package trayapp;

import com.mordavin.hux.SystemTray;
import com.mordavin.hux.SystemTrayCallback;
import com.mordavin.hux.SystemTrayMenu;

import java.io.BufferedReader;
import java.io.InputStreamReader;

/**
 * A tray application driven by a desktop host: it shows two icons and a menu,
 * prints every callback as one line and takes commands on standard input.
 */
public class Desk {
    static SystemTray first;
    static SystemTray second;
    static SystemTrayMenu menu;

    static String name(SystemTray tray) {
        return tray == first ? "first" : tray == second ? "second" : "null";
    }

    static synchronized void say(String line) {
        System.out.println(line);
        System.out.flush();
    }

    public static void main(String[] args) throws Exception {
        menu = new SystemTrayMenu();
        SystemTrayMenu more = new SystemTrayMenu();
        more.Append("Inner", 7);
        menu.Append("&Open", 5);
        menu.AppendSeparator();
        menu.Append("More", more);
        menu.Append("Big_id", 1001);
        SystemTray.setSystemTrayCallback(new SystemTrayCallback() {
            public void OnMouseClick(SystemTray tray, int message) {
                say("click " + name(tray) + " " + message);
                if (message == SystemTray.RIGHT_CLICK) menu.Popup();
            }

            public void OnMenuCommand(int id) {
                say("command " + id);
            }
        });
        long start = System.nanoTime();
        first = new SystemTray(1, "hux tray");
        first.Show();
        second = new SystemTray(1, "second");
        second.Show();
        say("shown " + (System.nanoTime() - start) / 1000000);
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in, "UTF-8"));
        String line;
        while ((line = in.readLine()) != null) {
            if (line.startsWith("change ")) {
                first.Change(1, line.substring(7));
            } else if (line.equals("hide second")) {
                second.Hide();
            } else if (line.equals("show second")) {
                second.Show();
            } else if (line.equals("grow menu")) {
                menu.Append("Later", 9);
            } else if (line.equals("quit")) {
                break;
            }
            say("did " + line);
        }
        say("done");
    }
}
