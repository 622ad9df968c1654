package exits;

/** Ends in the ways whose exit codes scripts rely on. */
public class Main {
    public static void main(String[] args) throws Exception {
        String how = args.length > 0 ? args[0] : "return";
        if (how.equals("return")) {
            System.out.println("returning");
        } else if (how.equals("throw-after-worker")) {
            // A non-daemon thread outlives main: the process waits for it.
            Thread worker = new Thread() {
                public void run() {
                    try {
                        Thread.sleep(400);
                    } catch (InterruptedException e) {
                        return;
                    }
                    System.out.println("worker finished");
                }
            };
            worker.start();
            throw new IllegalStateException("main gives up");
        } else if (how.equals("handler")) {
            Thread.setDefaultUncaughtExceptionHandler(new Thread.UncaughtExceptionHandler() {
                public void uncaughtException(Thread t, Throwable e) {
                    System.out.println("handled in " + t.getName() + ": " + e.getMessage());
                }
            });
            throw new RuntimeException("caught by the handler");
        } else if (how.equals("error")) {
            throw new StackOverflowError("deep");
        } else if (how.equals("wait")) {
            Runtime.getRuntime().addShutdownHook(new Thread() {
                public void run() {
                    System.out.println("hook ran");
                    System.out.flush();
                }
            });
            System.out.println("waiting");
            System.out.flush();
            Thread.sleep(60000);
        }
    }
}
