package eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope;

import eu.veltrano.zamo.DeviceCommunication.provider.NativeBinding;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;

/**
 * Scope captures, as the device delivers them, to the scope capture XML. Failures throw WrapperException (module
 * "Scopecodecjni") carrying the remote id the caller passed.
 */
public final class Scopecodecjni {
    public static final String MODULE = "Scopecodecjni";

    private Scopecodecjni() {}

    /** Loads the binding; call once before the native. */
    public static void load() throws WrapperException {
        NativeBinding.load(MODULE, "scopecodecjni");
    }

    /**
     * Decodes a capture of the device `remoteId` (16 bytes; it only names the device in exceptions) and returns the
     * XML as the codec's bytes. A decoder failure throws with the decoder's text for its result code.
     */
    public static native byte[] decodeByteBuffer(byte[] remoteId, byte[] capture) throws WrapperException;
}
