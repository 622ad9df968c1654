package wire.parts;

import org.springframework.stereotype.Component;

@Component
public class Helper {
    public String name() {
        return "helper";
    }
}
