package com.mordavin.hux;

import java.io.Serializable;

/**
 * A later launch of this application, handed over to the running instance
 * (configuration value "singleinstance forward"): the arguments its main
 * method would have received and the working directory they are relative to.
 * The running instance receives it through its receiver
 * ({@link Instances#setReceiver}).
 */
public final class ForwardedLaunch implements Serializable {
    private static final long serialVersionUID = 0x6875784657440001L;

    private final String[] args;
    private final String workingDirectory;

    public ForwardedLaunch(String[] args, String workingDirectory) {
        this.args = args == null ? new String[0] : args.clone();
        this.workingDirectory = workingDirectory;
    }

    /** The arguments, as the launch's main method would have received them. */
    public String[] getArguments() {
        return args == null ? new String[0] : args.clone();
    }

    /** The working directory of the launch (relative arguments are relative to it). */
    public String getWorkingDirectory() {
        return workingDirectory;
    }

    @Override
    public String toString() {
        StringBuilder sb = new StringBuilder("ForwardedLaunch[");
        sb.append(workingDirectory).append(':');
        if (args != null) {
            for (int i = 0; i < args.length; i++) sb.append(i == 0 ? " " : ", ").append(args[i]);
        }
        return sb.append(']').toString();
    }
}
