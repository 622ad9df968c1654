package redir;

import java.io.OutputStream;
import java.lang.reflect.Field;

/** Test application for stream redirection and the splash screen, driven by its arguments. */
public class Main {
    public static void main(String[] args) throws Exception {
        for (int i = 0; i < args.length; i++) {
            String cmd = args[i];
            if (cmd.equals("flood")) {
                // System.out and System.err written at the same time from two threads.
                final int lines = Integer.parseInt(args[++i]);
                Thread err = new Thread() {
                    public void run() {
                        for (int n = 0; n < lines; n++) {
                            System.err.println("err line " + n + " .........................................");
                        }
                    }
                };
                err.start();
                for (int n = 0; n < lines; n++) {
                    System.out.println("out line " + n + " ...............................");
                }
                err.join();
            } else if (cmd.equals("print")) {
                System.out.println("stdout: " + args[++i]);
                System.err.println("stderr: " + args[++i]);
            } else if (cmd.equals("native")) {
                // The launcher's native write, given the standard output descriptor.
                Class<?> c = Class.forName("com.mordavin.hux.RedirOutputStream");
                OutputStream out = (OutputStream) c.getConstructor().newInstance();
                Field h = c.getDeclaredField("h");
                h.setAccessible(true);
                h.setLong(out, Long.parseLong(args[++i]));
                System.out.flush();
                out.write(args[++i].getBytes("UTF-8"));
                out.write('\n');
            } else if (cmd.equals("splash")) {
                java.awt.SplashScreen splash = java.awt.SplashScreen.getSplashScreen();
                System.out.println("splash=" + (splash == null ? "null" : "shown url=" + splash.getImageURL()));
            } else if (cmd.equals("sleep")) {
                System.out.println("sleeping");
                System.out.flush();
                Thread.sleep(Long.parseLong(args[++i]));
            }
        }
    }
}
