package eu.veltrano.zamo.DeviceCommunication.provider;

import java.util.Arrays;

/** A failure reported by a native binding: its text, the binding's module name and the remote id it concerned. */
public class WrapperException extends Exception {
    private static final long serialVersionUID = 1L;

    private final String module;
    private final byte[] remoteId;

    public WrapperException(String text, String module, byte[] remoteId) {
        super(text);
        this.module = module;
        this.remoteId = remoteId == null ? new byte[0] : remoteId.clone();
    }

    public String getText() {
        return getMessage();
    }

    public String getModule() {
        return module;
    }

    public byte[] getRemoteId() {
        return remoteId.clone();
    }

    @Override
    public String toString() {
        StringBuilder hex = new StringBuilder();
        for (byte b : remoteId) hex.append(String.format("%02X", b & 0xFF));
        return "WrapperException(" + getMessage() + ", " + module + ", " + hex + ")";
    }

    @Override
    public boolean equals(Object other) {
        if (!(other instanceof WrapperException)) return false;
        WrapperException o = (WrapperException) other;
        return String.valueOf(getMessage()).equals(String.valueOf(o.getMessage()))
                && String.valueOf(module).equals(String.valueOf(o.module))
                && Arrays.equals(remoteId, o.remoteId);
    }

    @Override
    public int hashCode() {
        return String.valueOf(getMessage()).hashCode() * 31 + Arrays.hashCode(remoteId);
    }
}
