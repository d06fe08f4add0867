package com.pemrix.vss;

/** Raised for every failure of the shadow copy service or of the bridge to it. */
public class VssException extends Exception {
    public VssException(String message) {
        super(message);
    }
}
