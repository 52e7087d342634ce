package eu.veltrano.zamo.DeviceCommunication.provider;

/**
 * Loads a binding for its natives class. The system property "<module>.binding" names the binding file to load
 * instead of the one on java.library.path (a test build, say); the binding itself finds its wrapped library (the
 * property or environment variable "<module>.library", else beside the binding).
 */
public final class NativeBinding {
    private NativeBinding() {}

    /** The id of failures that concern no device. */
    static byte[] noDevice() {
        return new byte[16];
    }

    /**
     * Loads the binding `library` (file lib<library>.so) of module `module`. A failure of the binding's own load
     * (its wrapped library is missing, say) arrives as the WrapperException the binding threw; a binding file that
     * cannot be loaded at all as a WrapperException with the JVM's error as its cause.
     */
    public static void load(String module, String library) throws WrapperException {
        String path = System.getProperty(module + ".binding");
        try {
            if (path != null && !path.isEmpty()) {
                System.load(path);
            } else {
                System.loadLibrary(library);
            }
        } catch (UnsatisfiedLinkError e) {
            WrapperException failure = new WrapperException("Error: binding load failed", module, noDevice());
            failure.initCause(e);
            throw failure;
        }
    }
}
