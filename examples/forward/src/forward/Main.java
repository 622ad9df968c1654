package forward;

import com.mordavin.hux.ForwardedLaunch;
import com.mordavin.hux.Instances;
import java.io.Serializable;
import java.util.Arrays;

/**
 * A single-instance application ("singleinstance forward"): the first launch
 * keeps running; every later launch hands its arguments and working directory
 * to it and ends at once. Run it, then run it again with other arguments from
 * another directory.
 */
public class Main {
    public static void main(String[] args) throws Exception {
        System.out.println("first launch: " + Arrays.toString(args) + " (pid " + Instances.getCurrentInstance() + ")");
        Instances.setReceiver(new Instances.ReceiverInterface() {
            public void onReceive(int sender, Serializable object) {
                if (object instanceof ForwardedLaunch) {
                    ForwardedLaunch launch = (ForwardedLaunch) object;
                    System.out.println("launch from pid " + sender + " in " + launch.getWorkingDirectory() + ": "
                            + Arrays.toString(launch.getArguments()));
                    System.out.flush();
                }
            }
        });
        System.out.println("waiting for later launches; press Enter to quit");
        System.out.flush();
        System.in.read();
    }
}
