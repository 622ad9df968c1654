package com.mordavin.hux;

import java.io.IOException;
import java.io.OutputStream;

/** Writes to the launcher's redirection target for System.out / System.err. */
public class RedirOutputStream extends OutputStream {
    static {
        NativeLink.link(RedirOutputStream.class);
    }

    protected long h;

    public RedirOutputStream() {
        h = 0;
    }

    @Override
    public native void write(int b) throws IOException;
}
