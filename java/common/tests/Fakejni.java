package vlntest;

import eu.veltrano.zamo.DeviceCommunication.provider.NativeBinding;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;

/** Natives of the test binding over the fake registration library. */
public final class Fakejni {
    public static final String MODULE = "Fakejni";

    /** Set by the binding at load: the strong reference to its callbacks object. */
    static Object callbacks;

    private Fakejni() {}

    public static void load() throws WrapperException {
        NativeBinding.load(MODULE, "fakejni");
    }

    public static FakeCallbacks getCallbacks() {
        return (FakeCallbacks) callbacks;
    }

    public static native boolean registerRemote(byte[] remoteId) throws WrapperException;

    public static native boolean unregisterRemote(byte[] remoteId) throws WrapperException;

    /** The fake library's slot number + 1 for the id's handle; -1 when not registered. */
    public static native int query(byte[] remoteId) throws WrapperException;

    public static native long handleOf(byte[] remoteId) throws WrapperException;

    /** Has the library call back for the id's registration (on its own thread). */
    public static native boolean emit(byte[] remoteId, int type, byte[] payload) throws WrapperException;

    public static native int libraryRegistrations(byte[] remoteId) throws WrapperException;

    public static native int fail(int kind) throws Exception;

    public static native String decodeUtf8(byte[] bytes) throws WrapperException;

    /** The UTF-8 of the text, cut to at most maxBytes at a character boundary (all of it when negative). */
    public static native byte[] encodeUtf8(String text, int maxBytes) throws WrapperException;

    public static native String decodeLatin1(byte[] bytes) throws WrapperException;

    public static native byte[] encodeLatin1(String text) throws WrapperException;

    public static native void misuse();
}
