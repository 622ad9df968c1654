package lib;

public class Dup {
    public static String say() {
        return "dup from the top level";
    }
}
