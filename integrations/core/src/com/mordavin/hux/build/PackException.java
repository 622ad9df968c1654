package com.mordavin.hux.build;

/** A failure of a packing step, told in one line. */
public final class PackException extends Exception {
    private static final long serialVersionUID = 1L;

    public PackException(String message) {
        super(message);
    }
}
