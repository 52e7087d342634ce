package eu.veltrano.zamo.DeviceCommunication.provider;

/**
 * File transfers with a device's storage by its 16-byte remote id. Each native says whether the operation
 * started; progress, directory rows and the end arrive on the callbacks object. Names speak from the PC's side:
 * put sends a PC file to the device, get fetches a device file.
 */
public final class Fsjni {
    public static final String MODULE = "Fsjni";

    /** Set by the binding at load: the one callbacks object. */
    static FsprotoCallbacks callbacks;

    private Fsjni() {}

    public static void load() throws WrapperException {
        NativeBinding.load(MODULE, "fsjni");
    }

    public static FsprotoCallbacks getCallbacks() {
        return callbacks;
    }

    public static native boolean putFileToRemote(byte[] remoteId, String storage, String localFile, String remoteFile,
            short attributes) throws WrapperException;

    public static native boolean getFileFromRemote(byte[] remoteId, String storage, String remoteFile,
            String localFile) throws WrapperException;

    /** `second` is accepted and not used. */
    public static native boolean getFileListFromRemote(byte[] remoteId, String storage, String second)
            throws WrapperException;

    public static native boolean deleteFileFromRemote(byte[] remoteId, String storage, String remoteFile)
            throws WrapperException;
}
