package wire;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import org.springframework.context.annotation.AnnotationConfigApplicationContext;
import org.springframework.context.support.ClassPathXmlApplicationContext;
import org.springframework.core.SpringVersion;
import org.springframework.core.io.Resource;
import org.springframework.core.io.support.PathMatchingResourcePatternResolver;

/** Wires components found by a package scan, as Spring applications start. */
public class WireMain {
    public static void main(String[] args) throws Exception {
        List<String> found = new ArrayList<>();
        for (Resource r : new PathMatchingResourcePatternResolver().getResources("classpath*:wire/parts/*.class")) {
            found.add(r.getFilename());
        }
        Collections.sort(found);
        System.out.println("classpath*: found " + found);
        System.out.println("Spring " + SpringVersion.getVersion());
        try (AnnotationConfigApplicationContext context = new AnnotationConfigApplicationContext("wire.parts")) {
            System.out.println(context.getBean(wire.parts.Greeter.class).greet());
        }
        // XML with the namespaces of three Spring jars: each jar's handler
        // and schema lists must be found.
        try (ClassPathXmlApplicationContext context = new ClassPathXmlApplicationContext("wire.xml")) {
            System.out.println("xml " + context.getBean(wire.parts.Greeter.class).greet() + " " + context.getBean("names"));
        }
    }
}
