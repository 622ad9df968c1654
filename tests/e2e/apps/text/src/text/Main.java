package text;

/**
 * Prints what reached Java, every character outside printable ASCII as
 * \\uXXXX, so that the output reads the same in every locale: each argument,
 * the class named by the property "load", the text of the resource named by
 * the property "resource", then each system property named
 * in the property "show" (comma-separated).
 */
public class Main {
    static String escape(String s) {
        if (s == null) {
            return "<null>";
        }
        StringBuilder b = new StringBuilder();
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c >= 0x20 && c < 0x7F && c != '\\') {
                b.append(c);
            } else {
                b.append(String.format("\\u%04x", (int) c));
            }
        }
        return b.toString();
    }

    public static void main(String[] args) {
        System.out.println("main entered");
        for (int i = 0; i < args.length; i++) {
            System.out.println("arg=" + escape(args[i]));
        }
        String load = System.getProperty("load");
        if (load != null) {
            try {
                System.out.println("loaded=" + Class.forName(load).getName());
            } catch (ClassNotFoundException e) {
                System.out.println("not loaded=" + load);
            }
        }
        String resource = System.getProperty("resource");
        if (resource != null) {
            java.net.URL url = Main.class.getResource(resource);
            String content = "<null>";
            if (url != null) {
                try {
                    java.io.InputStream in = url.openStream();
                    byte[] buffer = new byte[256];
                    int n = in.read(buffer);
                    in.close();
                    content = new String(buffer, 0, Math.max(n, 0), "UTF-8").trim();
                } catch (java.io.IOException e) {
                    content = "<" + e + ">";
                }
            }
            System.out.println("resource " + escape(resource) + "=" + escape(content));
        }
        String show = System.getProperty("show", "");
        for (String key : show.split(",")) {
            if (key.length() > 0) {
                System.out.println("property " + key + "=" + escape(System.getProperty(key)));
            }
        }
    }
}

/**
 * A main class named beyond the Basic Multilingual Plane (U+1D49C, a letter
 * Java takes in names): it says so, then prints what Main prints.
 */
class 𝒜 {
    public static void main(String[] args) {
        System.out.println("main class " + Main.escape(𝒜.class.getName()));
        Main.main(args);
    }
}
