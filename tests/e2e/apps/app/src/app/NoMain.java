package app;

/** A class without a main method. */
public class NoMain {
    public static void notMain(String[] args) {
    }
}
