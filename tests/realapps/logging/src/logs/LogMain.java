package logs;

import org.apache.logging.log4j.LogManager;
import org.apache.logging.log4j.Logger;

/** Logs through Log4j 2 and its 1.2 bridge, whose pattern converters are plugins of the bridge's jar. */
public class LogMain {
    public static void main(String[] args) {
        Logger log = LogManager.getLogger(LogMain.class);
        log.info("through the API");
        org.apache.log4j.Logger.getLogger("legacy").warn("through the 1.2 bridge");
    }
}
