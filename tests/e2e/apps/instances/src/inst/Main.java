package inst;

import com.mordavin.hux.Instances;
import java.io.InputStream;
import java.io.Serializable;
import java.security.MessageDigest;
import java.util.Arrays;
import java.util.HashMap;
import java.util.Map;

/** Instance registry and messaging, driven by the first argument. */
public class Main {
    static synchronized void say(String line) {
        System.out.println(line);
        System.out.flush();
    }

    static String sha(byte[] b) throws Exception {
        byte[] d = MessageDigest.getInstance("SHA-256").digest(b);
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < 8; i++) sb.append(String.format("%02x", d[i]));
        return sb.toString();
    }

    static byte[] pattern(int n, int seed) {
        byte[] b = new byte[n];
        int x = seed * 7919 + n;
        for (int i = 0; i < n; i++) {
            x = x * 1103515245 + 12345;
            b[i] = (byte) (x >>> 16);
        }
        return b;
    }

    // Non-ASCII and control characters as \\uXXXX, so the output is plain ASCII.
    static String escape(String s) {
        if (s == null) return "null";
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c >= 0x20 && c < 0x7f && c != '|' && c != '\\') sb.append(c);
            else sb.append(String.format("\\u%04x", (int) c));
        }
        return sb.toString();
    }

    static void waitForEndOfInput() throws Exception {
        InputStream in = System.in;
        while (in.read() >= 0) {
        }
    }

    static String info() {
        return "first=" + Instances.getFirstInstance() + " current=" + Instances.getCurrentInstance()
                + " instances=" + Arrays.toString(Instances.getInstances());
    }

    public static void main(String[] args) throws Exception {
        String mode = args.length > 0 ? args[0] : "info";
        if (mode.equals("info")) {
            say(info());
            long t = System.nanoTime();
            Instances.sendObject(Instances.getCurrentInstance(), "nothing");
            Instances.sendObject("nothing");
            Instances.flush();
            say("flushed ms=" + (System.nanoTime() - t) / 1000000);
        } else if (mode.equals("hub")) {
            Instances.setReceiver(new Instances.ReceiverInterface() {
                public void onReceive(int sender, Serializable o) {
                    try {
                        if (o instanceof byte[]) {
                            byte[] b = (byte[]) o;
                            say("recv from=" + sender + " len=" + b.length + " sha=" + sha(b));
                        } else {
                            say("recv from=" + sender + " obj=" + o);
                        }
                    } catch (Exception e) {
                        say("error " + e);
                    }
                }
            });
            say(info());
            say("ready");
            waitForEndOfInput();
        } else if (mode.equals("send")) {
            say(info());
            for (int i = 1; i < args.length; i++) {
                int n = Integer.parseInt(args[i]);
                byte[] b = pattern(n, i);
                Instances.sendObject(Instances.getFirstInstance(), b);
                say("sent len=" + n + " sha=" + sha(b));
            }
            Instances.flush();
            say("flushed");
        } else if (mode.equals("sendtext")) {
            Instances.sendObject(0, args[1]);
            Instances.flush();
            say("flushed");
        } else if (mode.equals("sendextra")) {
            Object p = Class.forName("extra.Payload").newInstance();
            Instances.sendObject(Instances.getFirstInstance(), (Serializable) p);
            Instances.sendObject(Instances.getFirstInstance(), "after extra");
            Instances.flush();
            say("flushed");
        } else if (mode.equals("self")) {
            final Object lock = new Object();
            final String[] got = new String[1];
            Instances.setReceiver(new Instances.ReceiverInterface() {
                public void onReceive(int sender, Serializable o) {
                    synchronized (lock) {
                        got[0] = "self from=" + sender + " obj=" + o;
                        lock.notifyAll();
                    }
                }
            });
            Instances.sendObject(Instances.getCurrentInstance(), "to myself");
            synchronized (lock) {
                long end = System.currentTimeMillis() + 10000;
                while (got[0] == null && System.currentTimeMillis() < end) lock.wait(100);
            }
            say("current=" + Instances.getCurrentInstance());
            say(got[0] == null ? "self none" : got[0]);
            // Unbinding: later messages are not delivered.
            Instances.setReceiver(null);
            Instances.sendObject(Instances.getCurrentInstance(), "after unbind");
            Instances.flush();
            Thread.sleep(300);
            synchronized (lock) {
                say(got[0] == null ? "self none" : got[0]);
            }
        } else if (mode.equals("slow")) {
            // A receiver that takes its time over every object.
            final long ms = Long.parseLong(args[1]);
            Instances.setReceiver(new Instances.ReceiverInterface() {
                public void onReceive(int sender, Serializable o) {
                    say("recv from=" + sender + " obj=" + o);
                    try {
                        Thread.sleep(ms);
                    } catch (InterruptedException e) {
                        return;
                    }
                }
            });
            say(info());
            say("ready");
            waitForEndOfInput();
        } else if (mode.equals("sendto")) {
            int target = Integer.parseInt(args[1]);
            int n = Integer.parseInt(args[2]);
            for (int i = 0; i < n; i++) Instances.sendObject(target, "object " + i);
            Instances.flush();
            say("flushed");
        } else if (mode.equals("filtered")) {
            // Integers are refused by the filter; other objects pass.
            Class<?> config = Class.forName("java.io.ObjectInputFilter$Config");
            Object filter = config.getMethod("createFilter", String.class).invoke(null, "!java.lang.Integer");
            try {
                Instances.setObjectFilter("not a filter");
                say("accepted a string as filter");
            } catch (IllegalArgumentException e) {
                say("refused a string as filter");
            }
            Instances.setObjectFilter(filter);
            Instances.setReceiver(new Instances.ReceiverInterface() {
                public void onReceive(int sender, Serializable o) {
                    say("recv from=" + sender + " obj=" + o + " type=" + o.getClass().getName());
                }
            });
            say("ready");
            waitForEndOfInput();
        } else if (mode.equals("sendmixed")) {
            Instances.sendObject(0, "a string");
            Instances.sendObject(0, Integer.valueOf(42));
            Instances.sendObject(0, Long.valueOf(7));
            Instances.flush();
            say("flushed");
        } else if (mode.equals("flooded")) {
            // Returns from main while other instances keep sending to it.
            final int[] got = new int[1];
            Instances.setReceiver(new Instances.ReceiverInterface() {
                public void onReceive(int sender, Serializable o) {
                    synchronized (got) {
                        got[0]++;
                        got.notifyAll();
                    }
                }
            });
            say("ready " + Instances.getCurrentInstance());
            synchronized (got) {
                long end = System.currentTimeMillis() + 30000;
                while (got[0] < Integer.parseInt(args[1]) && System.currentTimeMillis() < end) got.wait(50);
            }
            say("returning at=" + System.currentTimeMillis());
        } else if (mode.equals("busyexit")) {
            // Daemon threads keep calling the natives while main returns
            // ("return") or the application exits ("exit").
            final int self = Instances.getCurrentInstance();
            Instances.setReceiver(new Instances.ReceiverInterface() {
                public void onReceive(int sender, Serializable o) {
                }
            });
            final java.util.concurrent.atomic.AtomicInteger calls = new java.util.concurrent.atomic.AtomicInteger();
            for (int t = 0; t < 3; t++) {
                Thread busy = new Thread() {
                    public void run() {
                        byte[] body = pattern(200, 5);
                        for (int i = 0;; i++) {
                            Instances.getInstances();
                            if (i % 4 == 0) Instances.sendObject(i % 8 == 0 ? self : 0, body);
                            calls.incrementAndGet();
                        }
                    }
                };
                busy.setDaemon(true);
                busy.start();
            }
            while (calls.get() < 300) Thread.sleep(1);
            say("ready");
            waitForEndOfInput();
            say("leaving");
            if (args[1].equals("exit")) System.exit(0);
        } else if (mode.equals("flood")) {
            // Sends to `target` until it is gone (or 30 s).
            int target = Integer.parseInt(args[1]);
            byte[] body = pattern(3000, 1);
            long end = System.currentTimeMillis() + 30000;
            int sent = 0;
            while (System.currentTimeMillis() < end) {
                boolean present = false;
                for (int p : Instances.getInstances()) present |= p == target;
                if (!present) break;
                for (int i = 0; i < 10; i++) Instances.sendObject(target, body);
                sent += 10;
                Instances.flush();
            }
            say("flood sent=" + sent);
        } else if (mode.equals("forwardhub")) {
            // Prints every launch handed over to this instance.
            Instances.setReceiver(launchPrinter(0));
            say("ready " + Instances.getCurrentInstance() + " first=" + Instances.getFirstInstance());
            waitForEndOfInput();
        } else if (mode.equals("documents")) {
            // An application that opens the documents it is started with, and
            // those of the launches handed over to it.
            Instances.setReceiver(launchPrinter(0));
            StringBuilder sb = new StringBuilder();
            for (int i = 1; i < args.length; i++) sb.append('|').append(escape(args[i]));
            say("ready " + Instances.getCurrentInstance() + " opened" + sb);
            waitForEndOfInput();
        } else if (mode.equals("forwardlate")) {
            // Binds its receiver only after `ms`, as an application still
            // starting up does.
            say("ready " + Instances.getCurrentInstance() + " first=" + Instances.getFirstInstance());
            Thread.sleep(Long.parseLong(args[1]));
            Instances.setReceiver(launchPrinter(0));
            say("bound");
            waitForEndOfInput();
        } else if (mode.equals("forwardslow")) {
            // Takes `ms` over every launch after printing it.
            Instances.setReceiver(launchPrinter(Long.parseLong(args[1])));
            say("ready " + Instances.getCurrentInstance() + " first=" + Instances.getFirstInstance());
            waitForEndOfInput();
        } else if (mode.equals("sendbig")) {
            // Sends byte[]s of the given sizes to the first instance, flushes
            // with the given bound (-1: plain flush()) and returns from main.
            long bound = Long.parseLong(args[1]);
            int target = Integer.parseInt(args[2]);
            for (int i = 3; i < args.length; i++) {
                byte[] b = pattern(Integer.parseInt(args[i]), i);
                Instances.sendObject(target == 0 ? Instances.getFirstInstance() : target, b);
                say("sent len=" + b.length + " sha=" + sha(b));
            }
            if (bound < 0) {
                Instances.flush();
                say("flushed");
            } else {
                say("flushed missing=" + Instances.flush(bound));
            }
        } else if (mode.equals("load")) {
            load(Integer.parseInt(args[1]), Integer.parseInt(args[2]), Integer.parseInt(args[3]));
        }
    }

    // Prints every launch handed over to this instance, then takes `ms`.
    static Instances.ReceiverInterface launchPrinter(final long ms) {
        final int[] n = new int[1];
        return new Instances.ReceiverInterface() {
            public void onReceive(int sender, Serializable o) {
                if (!(o instanceof com.mordavin.hux.ForwardedLaunch)) {
                    say("other " + o);
                    return;
                }
                com.mordavin.hux.ForwardedLaunch l = (com.mordavin.hux.ForwardedLaunch) o;
                String[] a = l.getArguments();
                StringBuilder sb = new StringBuilder();
                for (int i = 0; i < a.length && i < 10; i++) sb.append('|').append(escape(a[i]));
                say("launch " + (++n[0]) + " n=" + a.length + " hash=" + Arrays.hashCode(a) + " dir="
                        + escape(l.getWorkingDirectory()) + " args=" + sb);
                try {
                    Thread.sleep(ms);
                } catch (InterruptedException e) {
                    return;
                }
            }
        };
    }

    // Every instance sends `n` objects to each other instance and checks what
    // arrives: content, per-sender order, duplicates.
    static void load(final int n, int group, int seconds) throws Exception {
        final int self = Instances.getCurrentInstance();
        final Map<Integer, int[]> seen = new HashMap<Integer, int[]>(); // next seq, count, bad
        final int[] totals = new int[1];
        Instances.setReceiver(new Instances.ReceiverInterface() {
            public void onReceive(int sender, Serializable o) {
                synchronized (seen) {
                    int[] s = seen.get(sender);
                    if (s == null) seen.put(sender, s = new int[3]);
                    byte[] b = (byte[]) o;
                    java.nio.ByteBuffer bb = java.nio.ByteBuffer.wrap(b);
                    int from = bb.getInt(), seq = bb.getInt(), len = bb.getInt();
                    byte[] body = Arrays.copyOfRange(b, 12, b.length);
                    boolean ok = from == sender && len == body.length && Arrays.equals(body, pattern(len, from + seq));
                    if (!ok) {
                        s[2]++;
                        say("bad from=" + sender + " seq=" + seq);
                    } else if (seq != s[0]) {
                        s[2]++;
                        say("order from=" + sender + " seq=" + seq + " expected=" + s[0]);
                    }
                    s[0] = seq + 1;
                    s[1]++;
                    totals[0]++;
                    if (totals[0] % 100 == 0) say("progress " + totals[0]);
                    seen.notifyAll();
                }
            }
        });
        long end = System.currentTimeMillis() + 30000;
        int[] all = Instances.getInstances();
        while (all.length < group && System.currentTimeMillis() < end) {
            Thread.sleep(20);
            all = Instances.getInstances();
        }
        // Objects that arrive before an instance has bound its receiver are
        // dropped: give every member time to bind before sending.
        Thread.sleep(2000);
        // Report the hub as this instance sees it, whenever it changes.
        Thread watch = new Thread() {
            public void run() {
                int last = 0;
                while (true) {
                    int h = Instances.getFirstInstance();
                    if (h != last) say("hub " + h + " at " + System.currentTimeMillis());
                    last = h;
                    try {
                        Thread.sleep(5);
                    } catch (InterruptedException e) {
                        return;
                    }
                }
            }
        };
        watch.setDaemon(true);
        watch.start();
        int peers = 0;
        StringBuilder list = new StringBuilder();
        for (int p : all) {
            if (p != self) {
                peers++;
                list.append(' ').append(p);
            }
        }
        say("peers" + list);
        long t0 = System.nanoTime();
        for (int seq = 0; seq < n; seq++) {
            for (int p : all) {
                if (p == self) continue;
                int len = 16 + (seq * 337 + p) % 2500;
                java.nio.ByteBuffer bb = java.nio.ByteBuffer.allocate(12 + len);
                bb.putInt(self).putInt(seq).putInt(len).put(pattern(len, self + seq));
                Instances.sendObject(p, bb.array());
            }
        }
        long f;
        do {
            f = System.nanoTime();
            Instances.flush();
        } while ((System.nanoTime() - f) / 1000000 > 4500 && System.currentTimeMillis() < end + seconds * 1000L);
        say("sent " + n * peers + " ms=" + (System.nanoTime() - t0) / 1000000);
        long deadline = System.currentTimeMillis() + seconds * 1000L;
        synchronized (seen) {
            while (totals[0] < n * peers && System.currentTimeMillis() < deadline) seen.wait(100);
            for (Map.Entry<Integer, int[]> e : seen.entrySet())
                say("summary from=" + e.getKey() + " got=" + e.getValue()[1] + " bad=" + e.getValue()[2]);
            say("done received=" + totals[0] + " expected=" + n * peers);
        }
        waitForEndOfInput();
    }
}
