package extra;

import java.io.Serializable;

/** A class only the sending application has. */
public class Payload implements Serializable {
    private static final long serialVersionUID = 1L;
    public String text = "extra payload";

    public String toString() {
        return text;
    }
}
