package lib;

public class One {
    public static String say() {
        return "one from lib1";
    }
}
