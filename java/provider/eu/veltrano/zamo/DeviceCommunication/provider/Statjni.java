package eu.veltrano.zamo.DeviceCommunication.provider;

/** Status reporting of a device by its 16-byte remote id; what the device reports arrives on the callbacks object. */
public final class Statjni {
    public static final String MODULE = "Statjni";

    /** Set by the binding at load: the one callbacks object. */
    static StatprotoCallbacks callbacks;

    private Statjni() {}

    public static void load() throws WrapperException {
        NativeBinding.load(MODULE, "statjni");
    }

    public static StatprotoCallbacks getCallbacks() {
        return callbacks;
    }

    public static native boolean registerDevice(byte[] remoteId) throws WrapperException;

    public static native boolean unregisterDevice(byte[] remoteId) throws WrapperException;

    public static native boolean requestSignature(byte[] remoteId) throws WrapperException;

    public static native boolean requestNotifications(byte[] remoteId) throws WrapperException;
}
