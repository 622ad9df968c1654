import java.io.InputStream;

/** The benchmark application: reports when main was entered and how long its work took. */
public class BenchMain {
    public static void main(String[] args) throws Exception {
        long entry = System.nanoTime();
        System.out.println("entry " + entry);
        String mode = args.length > 0 ? args[0] : "hello";
        long start = System.nanoTime();
        if (mode.equals("classes")) {
            int n = Integer.parseInt(args[1]);
            int jars = Integer.parseInt(args[2]);
            for (int i = 0; i < n; i++) {
                Class.forName("gen.p" + (i % jars) + ".C" + i);
            }
        } else if (mode.equals("parallel")) {
            final int n = Integer.parseInt(args[1]);
            final int jars = Integer.parseInt(args[2]);
            final int threads = Integer.parseInt(args[3]);
            Thread[] all = new Thread[threads];
            final Throwable[] failure = new Throwable[1];
            for (int t = 0; t < threads; t++) {
                final int first = t;
                all[t] = new Thread() {
                    public void run() {
                        try {
                            for (int i = first; i < n; i += threads) {
                                Class.forName("gen.p" + (i % jars) + ".C" + i);
                            }
                        } catch (Throwable e) {
                            failure[0] = e;
                        }
                    }
                };
                all[t].start();
            }
            for (Thread t : all) {
                t.join();
            }
            if (failure[0] != null) {
                throw new IllegalStateException(failure[0]);
            }
        } else if (mode.equals("resources")) {
            int n = Integer.parseInt(args[1]);
            byte[] buf = new byte[4096];
            long total = 0;
            for (int i = 0; i < n; i++) {
                InputStream in = BenchMain.class.getResourceAsStream("/res/r" + (i % 100) + ".txt");
                int got;
                while ((got = in.read(buf)) > 0) {
                    total += got;
                }
                in.close();
            }
            if (total == 0) {
                throw new IllegalStateException("no resource bytes");
            }
        }
        System.out.println("work " + (System.nanoTime() - start));
    }
}
