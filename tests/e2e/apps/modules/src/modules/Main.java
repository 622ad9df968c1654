package modules;

import java.awt.Rectangle;
import java.io.ByteArrayInputStream;
import java.sql.Timestamp;
import javax.net.ssl.TrustManagerFactory;
import javax.net.ssl.X509TrustManager;
import javax.xml.parsers.DocumentBuilderFactory;
import org.w3c.dom.Document;

// Uses a module beyond java.base each way an application does: java.xml,
// java.sql and java.desktop by their classes, java.logging only by name (as
// a library loaded at run time reaches it), and the trusted certificates.
public class Main {
    public static void main(String[] args) throws Exception {
        if (args.length > 0 && args[0].equals("certificates")) {
            TrustManagerFactory factory = TrustManagerFactory.getInstance(TrustManagerFactory.getDefaultAlgorithm());
            factory.init((java.security.KeyStore) null);
            X509TrustManager manager = (X509TrustManager) factory.getTrustManagers()[0];
            System.out.println("trusted certificates " + manager.getAcceptedIssuers().length);
            return;
        }
        Document document = DocumentBuilderFactory.newInstance().newDocumentBuilder()
                .parse(new ByteArrayInputStream("<a><b>xml text</b></a>".getBytes("UTF-8")));
        System.out.println("xml " + document.getDocumentElement().getTextContent());
        System.out.println("sql " + new Timestamp(0L).toString().length() + " " + java.sql.Types.VARCHAR);
        System.out.println("desktop " + new Rectangle(1, 2, 3, 4) + " " + java.awt.Color.RED.getRGB());
        Class<?> logger = Class.forName("java.util.logging.Logger");
        Object log = logger.getMethod("getLogger", String.class).invoke(null, "modules.app");
        System.out.println("logging " + logger.getMethod("getName").invoke(log));
    }
}
