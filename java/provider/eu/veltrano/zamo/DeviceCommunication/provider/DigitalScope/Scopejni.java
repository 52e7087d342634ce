package eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope;

import eu.veltrano.zamo.DeviceCommunication.provider.NativeBinding;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;

/**
 * The digital scope service of a device by its 16-byte remote id. The int natives return the scope result code
 * (0 to 16), or 1024 when the id is not registered or the call failed. Channel and trigger numbers use their low
 * 16 bits.
 */
public final class Scopejni {
    public static final String MODULE = "Scopejni";
    public static final int RC_BROKEN_LINK = 1024;

    /** Set by the binding at load: the one callbacks object. */
    static ProtocolDigitalScopeCallbacks callbacks;

    private Scopejni() {}

    public static void load() throws WrapperException {
        NativeBinding.load(MODULE, "scopejni");
    }

    public static ProtocolDigitalScopeCallbacks getCallbacks() {
        return callbacks;
    }

    public static native boolean registerRemote(byte[] remoteId) throws WrapperException;

    public static native void unregisterRemote(byte[] remoteId) throws WrapperException;

    /** Copies the 16 signature bytes into `signature` (which must have 16 bytes). */
    public static native boolean getRemoteSignature(byte[] remoteId, byte[] signature) throws WrapperException;

    public static native int getRemoteCapabilities(byte[] remoteId, DigScopeCapabilities capabilities)
            throws WrapperException;

    public static native int addChannel(byte[] remoteId, short channel, float sampleTime) throws WrapperException;

    public static native int modifyChannel(byte[] remoteId, short channel, float sampleTime) throws WrapperException;

    public static native int removeChannel(byte[] remoteId, short channel) throws WrapperException;

    public static native int addTrigger(byte[] remoteId, short channel, int kind, byte[] data) throws WrapperException;

    public static native int modifyTrigger(byte[] remoteId, short channel, int kind, byte[] data)
            throws WrapperException;

    public static native int removeTrigger(byte[] remoteId, short trigger) throws WrapperException;

    public static native int setScopeParameters(byte[] remoteId, int mode, float first, float second)
            throws WrapperException;

    public static native int armTrigger(byte[] remoteId) throws WrapperException;

    public static native int cancel(byte[] remoteId) throws WrapperException;

    public static native int getRawConfig(byte[] remoteId) throws WrapperException;

    public static native int getRawData(byte[] remoteId) throws WrapperException;
}
