package lib;

public class Dup {
    public static String say() {
        return "dup from lib1 jar";
    }
}
