package eu.veltrano.zamo.DeviceCommunication.provider;

/**
 * The parameter database service of a device by its 16-byte remote id. The natives only start requests and say
 * whether they went out (false also when the id is not registered); the answers arrive on the callbacks object.
 */
public final class Pardbjni {
    public static final String MODULE = "Pardbjni";

    /** Set by the binding at load: the one callbacks object. */
    static PardbprotoCallbacks callbacks;

    private Pardbjni() {}

    public static void load() throws WrapperException {
        NativeBinding.load(MODULE, "pardbjni");
    }

    public static PardbprotoCallbacks getCallbacks() {
        return callbacks;
    }

    public static native boolean connectRemoteHw(byte[] remoteId) throws WrapperException;

    public static native boolean disconnectRemoteHw(byte[] remoteId) throws WrapperException;

    public static native boolean getParameterSignature(byte[] remoteId) throws WrapperException;

    public static native boolean storeParameters(byte[] remoteId) throws WrapperException;

    public static native boolean readParameter(byte[] remoteId, int index) throws WrapperException;

    public static native boolean writeParameter(byte[] remoteId, int index, byte[] data) throws WrapperException;
}
