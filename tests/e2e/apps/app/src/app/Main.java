package app;

import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.net.URL;
import java.util.ArrayList;
import java.util.Enumeration;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;

/** A test application driven by its arguments: each command prints what it observes. */
public class Main {
    static String read(InputStream in) throws Exception {
        if (in == null) {
            return "<null stream>";
        }
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buf = new byte[4096];
        int n;
        while ((n = in.read(buf)) > 0) {
            out.write(buf, 0, n);
        }
        in.close();
        return new String(out.toByteArray(), "UTF-8");
    }

    static int depth;

    static void descend() {
        depth++;
        descend();
    }

    public static void main(String[] args) throws Exception {
        System.out.println("main entered");
        for (int i = 0; i < args.length; i++) {
            String cmd = args[i];
            if (cmd.equals("args")) {
                for (int j = 0; j < args.length; j++) {
                    System.out.println("arg[" + j + "]=" + args[j]);
                }
            } else if (cmd.equals("exit")) {
                System.exit(Integer.parseInt(args[++i]));
            } else if (cmd.equals("throw")) {
                throw new IllegalStateException("boom from main");
            } else if (cmd.equals("sleep")) {
                Runtime.getRuntime().addShutdownHook(new Thread() {
                    public void run() {
                        System.out.println("shutdown hook ran");
                        System.out.flush();
                    }
                });
                System.out.println("sleeping");
                System.out.flush();
                Thread.sleep(Long.parseLong(args[++i]));
            } else if (cmd.equals("resource")) {
                URL url = Main.class.getResource(args[++i]);
                System.out.println("url=" + url);
                if (url != null) {
                    System.out.println("content=" + read(url.openStream()).trim());
                }
            } else if (cmd.equals("stream")) {
                InputStream in = Main.class.getClassLoader().getResourceAsStream(args[++i]);
                System.out.println("stream=" + (in == null ? "null" : read(in).length() + " bytes"));
            } else if (cmd.equals("resources")) {
                Enumeration<URL> e = ClassLoader.getSystemClassLoader().getResources(args[++i]);
                while (e.hasMoreElements()) {
                    System.out.println("each=" + e.nextElement());
                }
            } else if (cmd.equals("class")) {
                Class<?> c = Class.forName(args[++i]);
                Package p = c.getPackage();
                System.out.println("class=" + c.getName() + " loader=" + c.getClassLoader().getClass().getName()
                        + " says=" + c.getMethod("say").invoke(null)
                        + " version=" + (p == null ? "-" : p.getImplementationVersion()));
            } else if (cmd.equals("loader")) {
                System.out.println("loader=" + Main.class.getClassLoader().getClass().getName());
                System.out.println("system=" + ClassLoader.getSystemClassLoader().getClass().getName());
                System.out.println("context=" + Thread.currentThread().getContextClassLoader().getClass().getName());
                System.out.println("same=" + (Main.class.getClassLoader() == Thread.currentThread().getContextClassLoader()));
            } else if (cmd.equals("urltext")) {
                String text;
                try {
                    text = read(new URL(args[++i]).openStream()).trim();
                } catch (java.io.IOException e) {
                    text = e.toString();
                }
                System.out.println("urltext=" + text);
            } else if (cmd.equals("access")) {
                // Whether java.lang is open to this code (--add-opens).
                boolean open;
                try {
                    String.class.getDeclaredField("value").setAccessible(true);
                    open = true;
                } catch (RuntimeException closed) {
                    open = false;
                }
                System.out.println("access=" + open);
            } else if (cmd.equals("property")) {
                String key = args[++i];
                System.out.println("property " + key + "=" + System.getProperty(key));
            } else if (cmd.equals("thread")) {
                // On Linux the first thread's id is the process id.
                String self = java.nio.file.Files.readSymbolicLink(java.nio.file.Paths.get("/proc/self")).toString();
                String thread = java.nio.file.Files.readSymbolicLink(java.nio.file.Paths.get("/proc/thread-self")).toString();
                System.out.println("firstThread=" + thread.equals(self + "/task/" + self));
            } else if (cmd.equals("env")) {
                String key = args[++i];
                System.out.println("env " + key + "=" + System.getenv(key));
            } else if (cmd.equals("depth")) {
                // How deep main's own thread can recurse before its stack runs out.
                depth = 0;
                try {
                    descend();
                } catch (StackOverflowError e) {
                    // reached the end of the stack
                }
                System.out.println("depth=" + depth);
            } else if (cmd.equals("threads")) {
                final int threads = Integer.parseInt(args[++i]);
                final int rounds = Integer.parseInt(args[++i]);
                final AtomicInteger failures = new AtomicInteger();
                final AtomicInteger loads = new AtomicInteger();
                List<Thread> all = new ArrayList<Thread>();
                for (int t = 0; t < threads; t++) {
                    final int id = t;
                    Thread th = new Thread() {
                        public void run() {
                            for (int r = 0; r < rounds; r++) {
                                try {
                                    String name = (r + id) % 2 == 0 ? "/lib/shared.txt" : "/lib2/only2.txt";
                                    String s = read(Main.class.getResourceAsStream(name));
                                    if (s.length() == 0) {
                                        failures.incrementAndGet();
                                    }
                                    Class<?> c = Class.forName((r + id) % 3 == 0 ? "lib.One" : "lib2.Two");
                                    if (c == null) {
                                        failures.incrementAndGet();
                                    }
                                    loads.incrementAndGet();
                                } catch (Throwable e) {
                                    failures.incrementAndGet();
                                    e.printStackTrace();
                                }
                            }
                        }
                    };
                    all.add(th);
                    th.start();
                }
                for (Thread th : all) {
                    th.join();
                }
                System.out.println("threads done loads=" + loads.get() + " failures=" + failures.get());
            }
        }
        System.out.println("main done");
    }
}
