package trayapp;

import com.mordavin.hux.SystemTray;
import com.mordavin.hux.SystemTrayCallback;
import com.mordavin.hux.SystemTrayMenu;

import java.lang.reflect.Field;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;

/** Exercises the notification-area natives: icons, menus, callbacks, finalizers. */
public class Main {
    static final AtomicInteger finalized = new AtomicInteger();

    static class CountedTray extends SystemTray {
        CountedTray(int icon, String tip) {
            super(icon, tip);
        }

        void finalizeNow() {
            finalize();
        }

        @Override
        protected void finalize() {
            super.finalize();
            finalized.incrementAndGet();
        }
    }

    static class Callback implements SystemTrayCallback {
        public void OnMouseClick(SystemTray tray, int message) {
            System.out.println("click " + message);
        }

        public void OnMenuCommand(int id) {
            System.out.println("command " + id);
        }
    }

    static long handle(Object o) throws Exception {
        Field f = o.getClass() == SystemTrayMenu.class || o instanceof SystemTrayMenu
                ? SystemTrayMenu.class.getDeclaredField("h")
                : SystemTray.class.getDeclaredField("h");
        f.setAccessible(true);
        return f.getLong(o);
    }

    public static void main(String[] args) throws Exception {
        SystemTray.setSystemTrayCallback(new Callback());
        SystemTray plain = new SystemTray(1, "tip");
        SystemTray balloon = new SystemTray(1, "tip", "info", "title", SystemTray.INFOTYPE_INFO);
        System.out.println("handles " + (handle(plain) != 0) + " " + (handle(balloon) != handle(plain)));
        plain.Change(1, "ignored while hidden");
        plain.Show();
        plain.Change(1, "new tip");
        plain.Change(0, null, "balloon", "title", SystemTray.INFOTYPE_WARNING);
        plain.Hide();
        plain.Show();
        balloon.Show();
        balloon.Show();
        SystemTray.setSystemTrayCallback(null);
        SystemTray.setSystemTrayCallback(new Callback());

        SystemTrayMenu menu = new SystemTrayMenu();
        SystemTrayMenu sub = new SystemTrayMenu();
        sub.Append("Inner", 2);
        menu.Append("Open", 1);
        menu.AppendSeparator();
        menu.Append("More", sub);
        menu.Append(null, 1001);
        menu.Append("Nothing", (SystemTrayMenu) null);
        menu.Popup();
        System.out.println("menu " + (handle(menu) != 0) + " submenus " + menu.getSubmenu().size());

        // An explicit finalize leaves a handle that names nothing any more.
        CountedTray early = new CountedTray(1, "early");
        early.Show();
        early.finalizeNow();
        early.Show();
        early.Change(1, "gone");
        early.Hide();
        early.finalizeNow();
        finalized.set(0);

        // Several threads at once.
        List<Thread> threads = new ArrayList<Thread>();
        for (int t = 0; t < 4; t++) {
            Thread th = new Thread(new Runnable() {
                public void run() {
                    for (int i = 0; i < 200; i++) {
                        CountedTray icon = new CountedTray(1, "t" + i);
                        icon.Show();
                        icon.Change(1, "c" + i);
                        if (i % 2 == 0) icon.Hide();
                        SystemTrayMenu m = new SystemTrayMenu();
                        m.Append("x", i);
                    }
                }
            });
            threads.add(th);
            th.start();
        }
        for (Thread th : threads) th.join();

        // Hidden icons and menus are only reachable from here: collect them.
        for (int i = 0; i < 10 && finalized.get() < 100; i++) {
            System.gc();
            System.runFinalization();
            Thread.sleep(20);
        }
        System.out.println("finalized " + (finalized.get() >= 100 ? "many" : String.valueOf(finalized.get())));
        System.out.println("done");
    }
}
