package hello;

import java.io.BufferedReader;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.net.URL;

/** The sample application: a greeting, its arguments and a resource from its jar. */
public class Main {
    public static void main(String[] args) throws Exception {
        System.out.println("Hello from a hux executable!");
        for (String arg : args) {
            System.out.println("argument: " + arg);
        }
        URL url = Main.class.getResource("/hello/greeting.txt");
        System.out.println("resource: " + url);
        if (url != null) {
            InputStream in = url.openStream();
            BufferedReader reader = new BufferedReader(new InputStreamReader(in, "UTF-8"));
            System.out.println("greeting: " + reader.readLine());
            reader.close();
        }
        System.out.println("java.version: " + System.getProperty("java.version"));
    }
}
