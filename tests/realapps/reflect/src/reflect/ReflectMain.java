package reflect;

import java.util.Set;
import java.util.TreeSet;
import org.reflections.Reflections;
import org.reflections.util.ClasspathHelper;

/**
 * A Reflections scan of a library's package: it finds the jar from a
 * package's resource URL, reads it, and lists the subtypes it found.
 */
public class ReflectMain {
    public static void main(String[] args) {
        System.out.println("urls for the package: " + ClasspathHelper.forPackage("org.apache.commons.cli").size());
        Reflections reflections = new Reflections("org.apache.commons.cli");
        Set<String> names = new TreeSet<String>();
        for (Class<?> c : reflections.getSubTypesOf(org.apache.commons.cli.ParseException.class)) {
            names.add(c.getName());
        }
        System.out.println("subtypes of ParseException: " + names);
    }
}
