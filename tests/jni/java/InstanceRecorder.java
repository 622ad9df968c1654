import com.mordavin.hux.Instances;
import java.io.ByteArrayOutputStream;
import java.io.ObjectOutputStream;
import java.io.Serializable;

/** Records what the instance receiver binding delivers. */
public class InstanceRecorder implements Instances.ReceiverInterface {
    public static final StringBuffer log = new StringBuffer();

    public void onReceive(int sender, Serializable object) {
        log.append(sender).append(':').append(object).append(';');
        if ("throw".equals(object)) {
            throw new IllegalStateException("thrown by the receiver");
        }
    }

    public static void bind(boolean bound) {
        Instances.setReceiver(bound ? new InstanceRecorder() : null);
    }

    /** The message the natives send for `text`: kind word 0, then the stream. */
    public static byte[] message(String text) throws Exception {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        bytes.write(new byte[4]);
        ObjectOutputStream out = new ObjectOutputStream(bytes);
        out.writeObject(text);
        out.close();
        return bytes.toByteArray();
    }

    public static String take() {
        String s = log.toString();
        log.setLength(0);
        return s;
    }
}
