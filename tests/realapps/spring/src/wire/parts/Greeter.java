package wire.parts;

import org.springframework.beans.factory.annotation.Autowired;
import org.springframework.stereotype.Component;

@Component
public class Greeter {
    @Autowired private Helper helper;

    public String greet() {
        return "wired: " + helper.name();
    }
}
