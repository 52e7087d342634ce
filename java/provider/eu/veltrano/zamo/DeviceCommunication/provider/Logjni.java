package eu.veltrano.zamo.DeviceCommunication.provider;

/**
 * Device log files to the log events XML. Failures throw WrapperException (module "Logjni", 16 zero bytes as id).
 */
public final class Logjni {
    public static final String MODULE = "Logjni";

    private Logjni() {}

    /** Loads the binding; call once before the native. */
    public static void load() throws WrapperException {
        NativeBinding.load(MODULE, "logjni");
    }

    /**
     * Decodes the files in order and returns the XML of all their entries, sorted by time, as the codec's bytes
     * (the document declares ISO-8859-1). A file that cannot be read gives "File not found: " + its name.
     */
    public static native byte[] getXmlLog(String[] fileNames) throws WrapperException;
}
