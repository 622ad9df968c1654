package lib2;

public class Two {
    public static String say() {
        return "two from lib2";
    }
}
