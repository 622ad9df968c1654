package settings;

import com.typesafe.config.Config;
import com.typesafe.config.ConfigFactory;
import com.typesafe.config.ConfigRenderOptions;
import jakarta.mail.Address;
import jakarta.mail.Provider;
import jakarta.mail.Session;
import java.util.Properties;

/**
 * Reads settings that several jars contribute to: the configuration
 * library's reference.conf defaults (merged, the first jar's values winning)
 * and the mail library's provider and address-type lists.
 */
public class SettingsMain {
    public static void main(String[] args) throws Exception {
        Config config = ConfigFactory.load();
        for (String path : new String[] {"plugin", "shared"}) {
            System.out.println(path + " " + config.getConfig(path).root().render(ConfigRenderOptions.concise()));
        }
        Session session = Session.getInstance(new Properties());
        for (Provider p : session.getProviders()) {
            if (p.getClassName().startsWith("plugin.")) System.out.println("provider " + p);
        }
        System.out.println("foo " + session.getProvider("foo").getClassName());
        for (String type : new String[] {"news", "x-chat"}) {
            Address address = new Address() {
                @Override
                public String getType() {
                    return type;
                }

                @Override
                public String toString() {
                    return type;
                }

                @Override
                public boolean equals(Object other) {
                    return other == this;
                }

                @Override
                public int hashCode() {
                    return type.hashCode();
                }
            };
            try {
                session.getTransport(address);
                System.out.println(type + " has a transport");
            } catch (Exception e) {
                System.out.println(type + " " + e);
            }
        }
    }
}
